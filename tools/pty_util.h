#pragma once

#include <QString>

namespace varek::sim {

// A pseudo-terminal whose master side a simulator (or a test) keeps, and whose
// slave side is linked into a ports/ directory as COMn, so the program opens it
// like a serial port. The master is put in raw mode; the link is removed and the
// master closed on destruction.
class PtyPair {
public:
    PtyPair();
    ~PtyPair();
    PtyPair(const PtyPair&) = delete;
    PtyPair& operator=(const PtyPair&) = delete;

    int masterFd() const { return m_master; }
    // The slave descriptor kept open by this object (to look at line settings).
    int keptSlaveFd() const { return m_keepSlave; }
    const QString& slavePath() const { return m_slavePath; }

    // Creates (or replaces) portsDir/COMn as a symbolic link to the slave.
    // Returns the link's path; throws std::runtime_error on failure.
    QString linkAs(const QString& portsDir, int n);
    void unlink();

    // Writes all bytes to the master (blocking as needed). False on failure.
    bool writeAll(const char* data, qsizetype size);
    bool writeAll(const QByteArray& bytes) { return writeAll(bytes.constData(), bytes.size()); }

    // Waits up to ms for readable data on the master; true when some is there.
    bool waitReadable(int ms) const;
    // Every byte waiting on the master now (what the program sent), without waiting.
    QByteArray readAvailable();

private:
    int m_master = -1;
    int m_keepSlave = -1; // keeps the pty alive while no one has the slave open
    QString m_slavePath;
    QString m_link;
};

} // namespace varek::sim
