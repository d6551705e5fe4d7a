#include "link/tty_device.h"

#include <QFile>

#include <cerrno>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <termios.h>
#include <unistd.h>

namespace varek::tty {

int openExclusive(const QString& path, int* error) {
    const QByteArray name = QFile::encodeName(path);
    const int fd = ::open(name.constData(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        *error = errno;
        return -1;
    }
    if (!::isatty(fd)) {
        *error = ENOTTY;
        ::close(fd);
        return -1;
    }
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        *error = (errno == EWOULDBLOCK) ? EBUSY : errno;
        ::close(fd);
        return -1;
    }
    if (::ioctl(fd, TIOCEXCL) != 0) {
        *error = errno;
        ::close(fd);
        return -1;
    }
    *error = 0;
    return fd;
}

void closeExclusive(int fd) {
    if (fd < 0) return;
    ::ioctl(fd, TIOCNXCL);
    ::close(fd);
}

bool isPseudoTerminal(int fd) {
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISCHR(st.st_mode)) return false;
    const unsigned int maj = major(st.st_rdev);
    return maj >= 136 && maj <= 143;
}

bool failureIsPtyLimitation(int fd, int error) {
    return (error == ENOTTY || error == EINVAL) && isPseudoTerminal(fd);
}

int setModemLines(int fd, int lines, bool on) {
    if (::ioctl(fd, on ? TIOCMBIS : TIOCMBIC, &lines) == 0) return 0;
    const int err = errno;
    return failureIsPtyLimitation(fd, err) ? 0 : err;
}

} // namespace varek::tty
