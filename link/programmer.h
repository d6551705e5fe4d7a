#pragma once

#include <QObject>
#include <QString>
#include <QStringList>
#include <atomic>
#include <functional>

class QThread;

namespace varek {

// Time limits of the programming device's exchanges, in ms. The defaults are
// the protocol's figures; tests shorten them only where a test is about
// something else.
struct ProgrammerTiming {
    // Read, after "d": wait for a byte, then the line time-out; the read ends
    // when no byte arrives for readWait.
    int readWait = 500;
    int readLine = 50;
    // After each dump line: poll for a byte every dumpWait, line time-out
    // dumpLine, for dumpPhase after the line was sent.
    int dumpWait = 10;
    int dumpLine = 20;
    int dumpPhase = 100;
    // After "s" or "w": likewise, for finalPhase after the command was sent.
    int finalWait = 50;
    int finalLine = 50;
    int finalPhase = 10000;
};

// Line settings of the programming device: 2400 baud, 8 data bits, no parity,
// one stop bit, no flow control.
constexpr qint32 ProgrammerBaud = 2400;
// The device name of the programmer port COMn for ProgrammerExchange::start
// ("\\.\COM3" for 3).
inline QString zintorDeviceName(quint8 n) {
    return QStringLiteral("\\\\.\\COM%1").arg(n);
}

// Bound on an unterminated reply line (far above any real line).
constexpr qint32 ProgrammerMaxLineLength = 4096;

// One exchange with the Zintor programming device: read its memory ("d"),
// store an image in it (dump lines, then "s") or write an image into the
// controller (dump lines, then "w").
//
// The exchange runs on a worker thread that owns its port object (a
// TLineSerial, with RaiseErrors on and MaxLineLength 4096) for the whole
// exchange, so the window stays responsive while the bytes on the line keep
// the protocol's order and timing. Every signal is emitted on the thread that
// owns this object (the user-interface thread), in the order of events:
//
//   logLine(text)      a reply line for the log list (Memo1). While listening
//                      after a dump line, empty replies are not logged; after
//                      "s"/"w" and during a read they are. The exchange's own
//                      notes (a cancel) come this way too.
//   dumpLine(text)     read only: a reply line not beginning with "#", for the
//                      dump list (Memo3); empty lines included.
//   progress(percent)  store/write: after dump line i of M, i*100/(M-1) rounded
//                      half to even (0 when M is 1); 0 again once all lines are
//                      sent, before the final command.
//   status(text)       a Russian line for the status bar: what is being done,
//                      how far, and about how long is left.
//   finished(ok, msg)  the end. ok: the exchange ran to its end (for a read the
//                      window then shows the log page as after a read). Not ok:
//                      msg is the message to show: a Russian line that says
//                      what happened and what to do (serial_failure.h), then
//                      the ESerialError's message "Communication error %d: %s";
//                      or, after cancel(), a note that the transfer was
//                      cancelled (wasCancelled() is true).
//
// The port is opened at start and always closed before finished(): after a
// normal end, after an error (also a failed ConfigureLine), after cancel(), and
// when the device disappears mid-exchange. One exchange at a time per object:
// start() while one runs returns false. The lines are copied at start, so
// nothing done to the dump list meanwhile changes what is sent.
//
// The main window keeps one object of this class where a port object lived
// while an exchange ran (ZintorPort).
class ProgrammerExchange : public QObject {
    Q_OBJECT
public:
    enum class Command { Read, Store, Write };

    explicit ProgrammerExchange(QObject* parent = nullptr);
    // A running exchange is stopped at once (also after its final command) and waited for.
    ~ProgrammerExchange() override;

    void setTiming(const ProgrammerTiming& timing) { m_timing = timing; }
    const ProgrammerTiming& timing() const { return m_timing; }

    // deviceName: "\\.\COM" + n (ComZintor). lines: the dump lines for Store
    // and Write (ignored for Read), sent each with CR LF.
    bool start(Command command, const QStringList& lines, const QString& deviceName);
    bool isRunning() const { return m_thread != nullptr; }

    // Store/write: stops before the next dump line; the final command is not
    // sent. After the final command was sent it has no effect. Read: stops
    // listening.
    void cancel() { m_cancel = true; }
    bool wasCancelled() const { return m_wasCancelled; }

    // The progress figure after line i of m (exposed for the window and tests).
    static int progressFor(int i, int m);

signals:
    void logLine(const QString& text);
    void dumpLine(const QString& text);
    void progress(int percent);
    void status(const QString& text);
    void finished(bool ok, const QString& message);

private:
    struct Run;
    void runExchange(Command command, QStringList lines, QString deviceName);
    void post(std::function<void()> emitter);
    void onThreadDone(bool ok, QString message, bool cancelled);

    ProgrammerTiming m_timing;
    QThread* m_thread = nullptr;
    std::atomic<bool> m_cancel{false};
    std::atomic<bool> m_quit{false};
    bool m_wasCancelled = false;
};

} // namespace varek
