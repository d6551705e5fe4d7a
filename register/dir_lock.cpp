#include "register/dir_lock.h"

#include "core/errors.h"

#include <QDir>
#include <QFile>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

namespace varek {

DirLock::~DirLock() {
    release();
}

void DirLock::acquire(const QString& dir) {
    if (held()) return;
    QString path = dir;
    if (!path.endsWith(QLatin1Char('/'))) path += QLatin1Char('/');
    if (!QDir(path).exists())
        throw EDatabaseError(QStringLiteral("Каталог с данными %1 не найден.").arg(path));
    const QString file = path + lockFileName();
    const int fd = ::open(QFile::encodeName(file).constData(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0) {
        const int e = errno;
        throw EDatabaseError(QStringLiteral("Не удалось открыть файл блокировки %1: %2.")
                                 .arg(file, QString::fromLocal8Bit(std::strerror(e))));
    }
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        const int e = errno;
        ::close(fd);
        if (e == EWOULDBLOCK)
            throw EDatabaseError(
                QStringLiteral("Каталог с данными %1 уже используется другой копией программы.").arg(path));
        throw EDatabaseError(QStringLiteral("Не удалось заблокировать каталог с данными %1: %2.")
                                 .arg(path, QString::fromLocal8Bit(std::strerror(e))));
    }
    m_fd = fd;
}

void DirLock::release() {
    if (m_fd < 0) return;
    ::flock(m_fd, LOCK_UN);
    ::close(m_fd);
    m_fd = -1;
}

} // namespace varek
