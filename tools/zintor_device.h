#pragma once

#include "tools/pty_util.h"

#include <QByteArray>
#include <QList>
#include <QString>
#include <QStringList>
#include <atomic>
#include <mutex>
#include <thread>

namespace varek::sim {

// How the simulated programming device misbehaves, if at all.
struct ZintorOptions {
    bool silent = false;  // reads everything, answers nothing
    int slowMs = 0;       // pause before each reply line
    int stallMs = 0;      // pause in the middle of each reply line (longer than the line time-out)
    bool garbage = false; // every reply line is random bytes (no CR or LF inside), then CR LF
    QString memoryOut;    // memory written here (256 dump lines, CR LF) after each "s" and "w"
};

// The Zintor programming device on the master side of a pseudo-terminal, on
// its own thread. It keeps an 8 KB memory (all FF at first) and speaks lines
// ended by CR LF:
//   "d"                 -> "# Zintor memory, 8192 bytes", before each 64 lines a
//                          remark "# page k", the 256 dump lines of its memory, "# end"
//   "AAAAA: <64 hex>"   -> stores 32 bytes at AAAAA (a multiple of 32 below 8192),
//                          answers "OK AAAAA"; a malformed line gets "ERROR bad line"
//   "s"                 -> "# storing image", then "STORED"
//   "w"                 -> "# writing controller", then "WRITTEN"
//   anything else       -> "ERROR unknown command"; empty lines are ignored.
class ZintorDevice {
public:
    static constexpr int MemorySize = 8192;

    ZintorDevice(PtyPair& pty, ZintorOptions options = {});
    ~ZintorDevice();
    ZintorDevice(const ZintorDevice&) = delete;
    ZintorDevice& operator=(const ZintorDevice&) = delete;

    void start();
    void stop();

    QByteArray memory() const;
    void setMemory(const QByteArray& memory);
    // The memory as 256 dump lines "AAAAA: HEX".
    QStringList memoryDumpLines() const;
    bool writeMemoryFile(const QString& path) const;

    // Every line received from the host, in order, without its line end.
    QList<QByteArray> receivedLines() const;
    int storeCount() const { return m_stores.load(); }

    static QString dumpLine(int address, const QByteArray& bytes32);

private:
    void run();
    void handleLine(const QByteArray& line);
    void reply(const QByteArray& line);

    PtyPair& m_pty;
    ZintorOptions m_options;
    std::thread m_thread;
    std::atomic<bool> m_stop{false};
    std::atomic<int> m_stores{0};
    mutable std::mutex m_mutex;
    QByteArray m_memory;
    QList<QByteArray> m_received;
};

// The Orvan card reader: sends each card as STX, its ten digits, CR LF, in one
// burst or in pieces with pauses between them.
class OrvanReader {
public:
    explicit OrvanReader(PtyPair& pty) : m_pty(pty) {}
    static QByteArray frame(const QByteArray& digits);
    // pieces <= 1: one write. Otherwise the frame is cut into that many parts.
    bool sendCard(const QByteArray& digits, int pieces = 1, int pauseMs = 20);

private:
    PtyPair& m_pty;
};

} // namespace varek::sim
