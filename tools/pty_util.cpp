#include "tools/pty_util.h"

#include <QByteArray>
#include <QDir>
#include <QFile>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <stdexcept>
#include <stdlib.h>
#include <termios.h>
#include <unistd.h>

namespace varek::sim {

namespace {
[[noreturn]] void fail(const char* what) {
    throw std::runtime_error(std::string(what) + ": " + std::strerror(errno));
}
} // namespace

PtyPair::PtyPair() {
    m_master = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (m_master < 0) fail("posix_openpt");
    if (::grantpt(m_master) != 0 || ::unlockpt(m_master) != 0) fail("grantpt/unlockpt");
    char name[128] = {};
    if (::ptsname_r(m_master, name, sizeof name) != 0) fail("ptsname");
    m_slavePath = QString::fromLocal8Bit(name);
    // Holding the slave open keeps the master usable while the program has the
    // port closed (no hang-up between exchanges), and lets us make the line raw:
    // no echo, no line editing, no CR/LF translation, until the program sets
    // its own line settings.
    m_keepSlave = ::open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (m_keepSlave < 0) fail("open slave");
    termios tio{};
    if (::tcgetattr(m_keepSlave, &tio) == 0) {
        ::cfmakeraw(&tio);
        ::tcsetattr(m_keepSlave, TCSANOW, &tio);
    }
    const int flags = ::fcntl(m_master, F_GETFL);
    ::fcntl(m_master, F_SETFL, flags | O_NONBLOCK);
}

PtyPair::~PtyPair() {
    unlink();
    if (m_keepSlave >= 0) ::close(m_keepSlave);
    if (m_master >= 0) ::close(m_master);
}

QString PtyPair::linkAs(const QString& portsDir, int n) {
    QDir().mkpath(portsDir);
    const QString link = QDir(portsDir).filePath(QStringLiteral("COM%1").arg(n));
    const QByteArray linkName = QFile::encodeName(link);
    ::unlink(linkName.constData());
    if (::symlink(QFile::encodeName(m_slavePath).constData(), linkName.constData()) != 0) fail("symlink");
    m_link = link;
    return link;
}

void PtyPair::unlink() {
    if (m_link.isEmpty()) return;
    // Remove the link only if it still points at our slave (another simulator
    // may have taken the name since).
    const QByteArray linkName = QFile::encodeName(m_link);
    char target[256] = {};
    const ssize_t len = ::readlink(linkName.constData(), target, sizeof target - 1);
    if (len > 0 && QString::fromLocal8Bit(target, len) == m_slavePath) ::unlink(linkName.constData());
    m_link.clear();
}

bool PtyPair::writeAll(const char* data, qsizetype size) {
    qsizetype done = 0;
    while (done < size) {
        const ssize_t n = ::write(m_master, data + done, size_t(size - done));
        if (n > 0) {
            done += n;
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            pollfd p{m_master, POLLOUT, 0};
            if (::poll(&p, 1, 1000) < 0 && errno != EINTR) return false;
            continue;
        }
        return false;
    }
    return true;
}

bool PtyPair::waitReadable(int ms) const {
    pollfd p{m_master, POLLIN, 0};
    const int r = ::poll(&p, 1, ms);
    return r > 0 && (p.revents & POLLIN);
}

QByteArray PtyPair::readAvailable() {
    QByteArray out;
    char buf[4096];
    for (;;) {
        const ssize_t n = ::read(m_master, buf, sizeof buf);
        if (n > 0) {
            out.append(buf, n);
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        break;
    }
    return out;
}

} // namespace varek::sim
