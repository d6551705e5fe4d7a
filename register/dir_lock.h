#pragma once

#include <QString>

namespace varek {

// An advisory lock (flock) on a lock file in a directory, held while the
// object lives or until release(). A second holder, in this process or
// another, is refused.
class DirLock {
public:
    DirLock() = default;
    ~DirLock();
    DirLock(const DirLock&) = delete;
    DirLock& operator=(const DirLock&) = delete;

    // Takes the lock on dir (with or without its trailing '/'): creates
    // dir/.varek.lock if needed. Throws EDatabaseError with a Russian reason
    // when the directory is missing, the file cannot be made, or another
    // program holds the lock.
    void acquire(const QString& dir);
    void release();
    bool held() const { return m_fd >= 0; }

    static QString lockFileName() { return QStringLiteral(".varek.lock"); }

private:
    int m_fd = -1;
};

} // namespace varek
