#include "link/reader_com_port.h"

#include "link/serial_ports.h"
#include "link/tty_device.h"

#include <QSocketNotifier>

#include <cerrno>
#include <poll.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

namespace varek {

TReaderComPort::TReaderComPort(QObject* parent) : QObject(parent), m_alive(std::make_shared<bool>(true)) {}

TReaderComPort::~TReaderComPort() {
    *m_alive = false;
    if (m_state != State::Closed) release();
}

void TReaderComPort::setComNumber(quint16 n) {
    if (n == m_comNumber) return;
    const bool wasOpen = m_state == State::Open;
    if (wasOpen) setOpen(false);
    m_comNumber = n;
    if (wasOpen) setOpen(true);
}

void TReaderComPort::setOpen(bool open) {
    if (open) {
        if (m_state == State::Closed) openPort();
        return;
    }
    if (m_state != State::Open) return;
    m_state = State::ShuttingDown;
    if (m_notifier) m_notifier->setEnabled(false);
    // Closing from inside OnTriggerAvail: the release happens when the handler returns.
    if (!m_inEvent) release();
}

void TReaderComPort::openPort() {
    using namespace ComPortCode;
    if (m_comNumber == 0) throw EComPortError(ENoPortChosen, QStringLiteral("No port chosen"));
    if (XoffLevel < XonLevel || XoffLevel > InQueueSize)
        throw EComPortError(EBadLimits, QStringLiteral("Invalid XON/XOFF limits"));
    const QString path = m_comNumber <= 255 ? devicePathFor(quint8(m_comNumber)) : QString();
    m_devicePath = path;
    const QString portName = QStringLiteral("COM%1").arg(m_comNumber);
    int err = ENOENT;
    const int fd = path.isEmpty() ? -1 : tty::openExclusive(path, &err);
    if (fd < 0) {
        if (err == ENOENT || err == ENXIO || err == ENODEV || err == ENOTTY)
            throw EComPortError(ENoSuchPort, QStringLiteral("No such port: %1").arg(portName), err);
        // Held by another program or port object. A refused permission is not
        // "in use": it goes on as the system error it is.
        if (err == EBUSY)
            throw EComPortError(EPortInUse, QStringLiteral("Port in use: %1").arg(portName), err);
        throw EInOutError(
            err, QStringLiteral("I/O error %1 on %2: %3").arg(err).arg(portName, qt_error_string(err)));
    }

    auto fail = [&](int e) {
        tty::closeExclusive(fd);
        throw EInOutError(e,
                          QStringLiteral("I/O error %1 on %2: %3").arg(e).arg(portName, qt_error_string(e)));
    };
    termios tio{};
    if (::tcgetattr(fd, &tio) != 0) fail(errno);
    ::cfmakeraw(&tio);
    speed_t speed = B9600;
    switch (Baud) {
    case 1200:
        speed = B1200;
        break;
    case 2400:
        speed = B2400;
        break;
    case 4800:
        speed = B4800;
        break;
    case 9600:
        speed = B9600;
        break;
    case 19200:
        speed = B19200;
        break;
    case 38400:
        speed = B38400;
        break;
    case 57600:
        speed = B57600;
        break;
    case 115200:
        speed = B115200;
        break;
    default:
        fail(EINVAL);
    }
    ::cfsetispeed(&tio, speed);
    ::cfsetospeed(&tio, speed);
    tio.c_cflag &= ~(CSIZE | PARENB | PARODD | CSTOPB | CRTSCTS);
    tio.c_cflag |= (DataBits == 7 ? CS7 : DataBits == 6 ? CS6 : DataBits == 5 ? CS5 : CS8) | CREAD | CLOCAL;
    if (StopBits == 2) tio.c_cflag |= CSTOPB;
    tio.c_iflag &= ~(IXON | IXOFF | IXANY | INPCK | ISTRIP | IGNBRK);
    if (SoftwareFlow == SoftwareFlowMode::sfReceive || SoftwareFlow == SoftwareFlowMode::sfBoth)
        tio.c_iflag |= IXOFF;
    if (SoftwareFlow == SoftwareFlowMode::sfTransmit || SoftwareFlow == SoftwareFlowMode::sfBoth)
        tio.c_iflag |= IXON;
    tio.c_cc[VSTART] = XonChar;
    tio.c_cc[VSTOP] = XoffChar;
    tio.c_cc[VMIN] = 0;
    tio.c_cc[VTIME] = 0;
    if (::tcsetattr(fd, TCSANOW, &tio) != 0 && !tty::failureIsPtyLimitation(fd, errno)) fail(errno);
    const int lines = (DTR ? TIOCM_DTR : 0) | (RTS ? TIOCM_RTS : 0);
    if (lines != 0)
        if (const int e = tty::setModemLines(fd, lines, true)) fail(e);
    ::tcflush(fd, TCIFLUSH);

    m_fd = fd;
    m_buffer.clear();
    m_buffer.reserve(ReceiveBufferSize);
    m_unannounced = 0;
    m_inEvent = false;
    m_lost = false;
    m_notifier = new QSocketNotifier(fd, QSocketNotifier::Read);
    connect(m_notifier, &QSocketNotifier::activated, this, &TReaderComPort::onReadable);
    m_state = State::Open;
}

void TReaderComPort::release() {
    if (m_notifier) {
        m_notifier->setEnabled(false);
        m_notifier->deleteLater(); // never deleted inside its own event
        m_notifier = nullptr;
    }
    if (m_fd >= 0) {
        tty::setModemLines(m_fd, TIOCM_DTR | TIOCM_RTS, false);
        tty::closeExclusive(m_fd);
        m_fd = -1;
    }
    m_buffer.clear();
    m_unannounced = 0;
    m_state = State::Closed;
}

quint8 TReaderComPort::ReadChar() {
    if (m_state == State::ShuttingDown) return 0;
    if (m_state == State::Closed && OpenOnRead) setOpen(true);
    if (m_buffer.isEmpty())
        throw EComPortError(ComPortCode::ENothingToRead, QStringLiteral("Nothing to read"));
    const quint8 c = quint8(m_buffer.at(0));
    m_buffer.remove(0, 1);
    // Room again: resume taking characters from the device.
    if (m_notifier && !m_notifier->isEnabled() && m_state == State::Open && !m_lost &&
        m_buffer.size() < ReceiveBufferSize)
        m_notifier->setEnabled(true);
    return c;
}

void TReaderComPort::fillBuffer() {
    char chunk[1024];
    while (m_fd >= 0 && m_buffer.size() < ReceiveBufferSize) {
        const qsizetype room = ReceiveBufferSize - m_buffer.size();
        const ssize_t n = ::read(m_fd, chunk, size_t(qMin<qsizetype>(room, sizeof chunk)));
        if (n > 0) {
            m_buffer.append(chunk, n);
            m_unannounced += n;
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && errno == EAGAIN) return;
        if (n < 0) {
            lose(errno);
            return;
        }
        // Nothing more to read. With the raw line's VMIN and VTIME at 0 a
        // read of an empty tty returns 0 rather than EAGAIN, so 0 is not an
        // end of file by itself: only a hang-up (the device was unplugged)
        // is, and that the device reports as POLLHUP or POLLERR.
        pollfd p{m_fd, POLLIN, 0};
        if (::poll(&p, 1, 0) > 0 && (p.revents & (POLLHUP | POLLERR | POLLNVAL))) lose(EIO);
        return;
    }
    if (m_buffer.size() >= ReceiveBufferSize && m_notifier)
        m_notifier->setEnabled(false); // resumes in ReadChar
}

// The device has gone: stop listening so the notifier does not fire without
// end, and say so once.
void TReaderComPort::lose(int error) {
    m_lost = true;
    if (m_notifier) m_notifier->setEnabled(false);
    emit deviceLost(error);
}

void TReaderComPort::onReadable() {
    if (m_state != State::Open) return;
    const std::shared_ptr<bool> alive = m_alive;
    fillBuffer();
    if (*alive) deliver();
}

void TReaderComPort::deliver() {
    if (m_inEvent) return; // the running handler's caller announces what came meanwhile
    const std::shared_ptr<bool> alive = m_alive;
    while (m_state == State::Open && m_unannounced > 0 && !m_buffer.isEmpty()) {
        m_unannounced = 0;
        m_inEvent = true;
        emit OnTriggerAvail(quint16(qMin<qsizetype>(m_buffer.size(), 65535)));
        if (!*alive) return; // the handler destroyed the port
        m_inEvent = false;
    }
    m_unannounced = 0;
    if (m_state == State::ShuttingDown) release();
}

} // namespace varek
