#include "link/line_serial.h"

#include "link/serial_ports.h"
#include "link/tty_device.h"

#include <QElapsedTimer>
#include <QRegularExpression>

#include <cerrno>
#include <poll.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

namespace varek {

ESerialError::ESerialError(qint32 code, QString description)
    : VarekError(QStringLiteral("Communication error %1: %2").arg(code).arg(description)), m_code(code),
      m_description(std::move(description)) {}

namespace {

// The device path for a name given to OpenDevice; empty when there is no such port.
QString resolveDevice(const QString& name) {
    if (name.startsWith(u'/')) return name;
    static const QRegularExpression pattern(QStringLiteral(R"(^(?:\\\\\.\\)?COM(\d{1,9})$)"),
                                            QRegularExpression::CaseInsensitiveOption);
    const auto match = pattern.match(name);
    if (!match.hasMatch()) return {};
    const qint64 n = match.captured(1).toLongLong();
    if (n < 1 || n > 255) return {};
    return devicePathFor(quint8(n));
}

bool speedFor(qint32 baud, speed_t* speed) {
    static const struct {
        qint32 baud;
        speed_t speed;
    } table[] = {
        {50, B50},         {75, B75},         {110, B110},         {134, B134},       {150, B150},
        {200, B200},       {300, B300},       {600, B600},         {1200, B1200},     {1800, B1800},
        {2400, B2400},     {4800, B4800},     {9600, B9600},       {19200, B19200},   {38400, B38400},
        {57600, B57600},   {115200, B115200}, {230400, B230400},   {460800, B460800}, {500000, B500000},
        {576000, B576000}, {921600, B921600}, {1000000, B1000000},
    };
    for (const auto& e : table)
        if (e.baud == baud) {
            *speed = e.speed;
            return true;
        }
    return false;
}

qint64 remainingMs(const QElapsedTimer& timer, qint64 limit) {
    return qMax<qint64>(0, limit - timer.elapsed());
}

} // namespace

TLineSerial::TLineSerial() = default;

TLineSerial::~TLineSerial() {
    closePort();
}

QString TLineSerial::ErrorDescription(qint32 code) {
    switch (code) {
    case SerialCode::Ok:
        return QStringLiteral("OK");
    case SerialCode::PortOwned:
        return QStringLiteral("Port owned by other process");
    case SerialCode::InstanceInUse:
        return QStringLiteral("Instance already in use");
    case SerialCode::WrongParameter:
        return QStringLiteral("Wrong paramter at call");
    case SerialCode::NotConnected:
        return QStringLiteral("Instance not yet connected");
    case SerialCode::NoDeviceAnswer:
        return QStringLiteral("No device answer detected");
    case SerialCode::BufferExceeded:
        return QStringLiteral("Maximal buffer length exceeded");
    case SerialCode::Timeout:
        return QStringLiteral("Timeout during operation");
    case SerialCode::ReadFailed:
        return QStringLiteral("Reading of data failed");
    case SerialCode::FramingError:
        return QStringLiteral("Receive framing error");
    case SerialCode::OverrunError:
        return QStringLiteral("Receive Overrun Error");
    case SerialCode::QueueOverflow:
        return QStringLiteral("Receive Queue overflow");
    case SerialCode::ParityError:
        return QStringLiteral("Receive Parity Error");
    case SerialCode::TransmitQueueFull:
        return QStringLiteral("Tranceive Queue is full");
    default:
        return qt_error_string(code);
    }
}

void TLineSerial::setError(qint32 code) {
    m_lastError = code;
    m_lastErrorDesc = ErrorDescription(code);
}

void TLineSerial::checkError() {
    if (RaiseErrors && m_lastError != 0) throw ESerialError(m_lastError, m_lastErrorDesc);
}

bool TLineSerial::linesDemandedLow() {
    if (!RequireDSR && !RequireCTS) return false;
    int lines = 0;
    if (::ioctl(m_handle, TIOCMGET, &lines) != 0)
        return !tty::failureIsPtyLimitation(m_handle, errno); // a pty has no lines to be low
    return (RequireDSR && !(lines & TIOCM_DSR)) || (RequireCTS && !(lines & TIOCM_CTS));
}

void TLineSerial::OpenDevice(const QString& name) {
    if (m_active) {
        setError(SerialCode::InstanceInUse);
        checkError();
        return;
    }
    m_lineBuffer.clear();
    m_deviceName = name;

    const QString path = resolveDevice(name);
    m_devicePath = path;
    int err = ENOENT;
    const int fd = path.isEmpty() ? -1 : tty::openExclusive(path, &err);
    if (fd < 0) {
        setError(err);
        checkError();
        return;
    }
    m_handle = fd;
    m_isPty = tty::isPseudoTerminal(fd);

    setError(0);
    if (linesDemandedLow()) {
        setError(SerialCode::NoDeviceAnswer);
        tty::closeExclusive(m_handle);
        m_handle = -1;
    } else {
        m_active = true;
        int e = tty::setModemLines(m_handle, TIOCM_RTS, true);
        if (e == 0) e = tty::setModemLines(m_handle, TIOCM_DTR, true);
        ::tcflush(m_handle, TCIOFLUSH);
        m_lineBuffer.clear();
        takeLineErrors(false);
        if (e != 0) setError(e);
    }
    checkError();
}

void TLineSerial::ConfigureLine(qint32 baud, int dataBits, QChar parity, int stopBits, bool softwareFlow,
                                bool hardwareFlow) {
    speed_t speed = B0;
    tcflag_t size = CS8;
    switch (dataBits) {
    case 5:
        size = CS5;
        break;
    case 6:
        size = CS6;
        break;
    case 7:
        size = CS7;
        break;
    case 8:
        size = CS8;
        break;
    default:
        size = 0;
        break;
    }
    if (baud < 0 || dataBits < 0 || dataBits > 255 || stopBits < 0 || stopBits > 255 || size == 0 ||
        stopBits > 2 || !speedFor(baud, &speed)) {
        setError(EINVAL);
        checkError();
        return;
    }

    termios tio{};
    if (::tcgetattr(m_handle, &tio) != 0) {
        setError(errno);
        checkError();
        return;
    }
    ::cfmakeraw(&tio);
    ::cfsetispeed(&tio, speed);
    ::cfsetospeed(&tio, speed);
    tio.c_cflag &= ~(CSIZE | PARENB | PARODD | CMSPAR | CSTOPB | CRTSCTS);
    tio.c_cflag |= size | CREAD | CLOCAL;
    if (stopBits != 0) tio.c_cflag |= CSTOPB;
    tio.c_iflag &= ~(IXON | IXOFF | IXANY | INPCK | IGNPAR | PARMRK | ISTRIP);
    switch (parity.toUpper().unicode()) {
    case 'O':
        tio.c_cflag |= PARENB | PARODD;
        break;
    case 'E':
        tio.c_cflag |= PARENB;
        break;
    case 'M':
        tio.c_cflag |= PARENB | CMSPAR | PARODD;
        break;
    case 'S':
        tio.c_cflag |= PARENB | CMSPAR;
        break;
    default:
        break;
    }
    if (tio.c_cflag & PARENB) tio.c_iflag |= INPCK;
    if (softwareFlow) {
        tio.c_iflag |= IXON | IXOFF;
        tio.c_cc[VSTART] = 0x11;
        tio.c_cc[VSTOP] = 0x13;
    }
    if (hardwareFlow) tio.c_cflag |= CRTSCTS;
    tio.c_cc[VMIN] = 0;
    tio.c_cc[VTIME] = 0;

    setError(0);
    if (::tcsetattr(m_handle, TCSANOW, &tio) != 0) {
        const int e = errno;
        if (!tty::failureIsPtyLimitation(m_handle, e)) setError(e);
    }
    // RTS held on without hardware flow (with it the driver drives RTS); DTR always on.
    if (m_lastError == 0) {
        const int e = tty::setModemLines(m_handle, hardwareFlow ? TIOCM_DTR : TIOCM_DTR | TIOCM_RTS, true);
        if (e != 0) setError(e);
    }
    checkError();
}

void TLineSerial::takeLineErrors(bool report) {
    serial_icounter_struct now{};
    if (::ioctl(m_handle, TIOCGICOUNT, &now) != 0) {
        m_haveCounters = false; // no counters here (a pseudo-terminal, some USB adapters)
        return;
    }
    if (report && m_haveCounters) {
        qint32 code = 0;
        if (now.frame != m_counters.frame) code = SerialCode::FramingError;
        if (now.overrun != m_counters.overrun) code = SerialCode::OverrunError;
        if (now.buf_overrun != m_counters.buf_overrun) code = SerialCode::QueueOverflow;
        if (now.parity != m_counters.parity) code = SerialCode::ParityError;
        if (code != 0) setError(code);
    }
    m_counters = now;
    m_haveCounters = true;
}

bool TLineSerial::preTest() {
    if (!m_active) {
        setError(SerialCode::NotConnected);
        checkError();
        return false;
    }
    if (linesDemandedLow()) {
        setError(SerialCode::NoDeviceAnswer);
        checkError();
        return false;
    }
    return true;
}

qint32 TLineSerial::SendText(const QByteArray& text) {
    if (!preTest()) return 0;
    setError(0);
    QElapsedTimer timer;
    timer.start();
    qint32 written = 0;
    bool timedOut = false;
    while (written < text.size()) {
        const ssize_t n = ::write(m_handle, text.constData() + written, size_t(text.size() - written));
        if (n > 0) {
            written += qint32(n);
            continue;
        }
        const int e = errno;
        if (n < 0 && e == EINTR) continue;
        if (n < 0 && e != EAGAIN) {
            setError(e);
            break;
        }
        const qint64 left = remainingMs(timer, IoTimeout);
        pollfd p{m_handle, POLLOUT, 0};
        if (left == 0 || (::poll(&p, 1, int(left)) == 0 && timer.elapsed() >= IoTimeout)) {
            timedOut = true;
            break;
        }
    }
    // The write is complete once its characters have left the transmitter, so
    // the caller's listening time starts after the line was sent.
    while (!timedOut && m_lastError == 0) {
        int pending = 0;
        if (::ioctl(m_handle, TIOCOUTQ, &pending) != 0 || pending <= 0) break;
        if (timer.elapsed() >= IoTimeout) {
            timedOut = true;
            break;
        }
        ::usleep(1000);
    }
    // The driver's buffer is empty; let the transmitter's own FIFO empty too
    // (the driver bounds this wait by the time the FIFO takes).
    if (!timedOut && m_lastError == 0) ::tcdrain(m_handle);
    if (timedOut) {
        ::tcflush(m_handle, TCOFLUSH);
        setError(SerialCode::Timeout);
    }
    takeLineErrors(true);
    checkError();
    return written;
}

qint32 TLineSerial::WaitingCount() {
    int n = 0;
    if (::ioctl(m_handle, FIONREAD, &n) != 0) {
        setError(errno);
        n = 0;
    } else {
        setError(0);
        takeLineErrors(false); // read and cleared, not reported
    }
    checkError();
    return n;
}

bool TLineSerial::WaitReadable(qint32 timeoutMs) {
    if (WaitingCount() > 0) return true;
    setError(0);
    QElapsedTimer timer;
    timer.start();
    for (;;) {
        pollfd p{m_handle, POLLIN, 0};
        const int r = ::poll(&p, 1, int(remainingMs(timer, qMax(0, timeoutMs))));
        if (r < 0 && errno == EINTR) continue;
        if (r < 0) {
            setError(errno);
            break;
        }
        if (r == 0) return false;
        if (p.revents & (POLLERR | POLLHUP | POLLNVAL)) {
            // Hang-up or error: the device went away. Bytes it left are still read.
            if (WaitingCount() > 0) return true;
            setError((p.revents & POLLNVAL) ? EBADF : EIO);
            break;
        }
        return true;
    }
    checkError();
    return false;
}

QByteArray TLineSerial::readBytes(qint32 n) {
    QByteArray data;
    data.reserve(n);
    QElapsedTimer timer;
    timer.start();
    char buf[4096];
    while (data.size() < n) {
        const ssize_t got = ::read(m_handle, buf, size_t(qMin<qint64>(sizeof buf, n - data.size())));
        if (got > 0) {
            data.append(buf, got);
            continue;
        }
        const int e = errno;
        if (got < 0 && e == EINTR) continue;
        if (got < 0 && e != EAGAIN) {
            setError(e);
            break;
        }
        const qint64 left = remainingMs(timer, IoTimeout);
        pollfd p{m_handle, POLLIN, 0};
        if (left == 0 || ::poll(&p, 1, int(left)) == 0) {
            ::tcflush(m_handle, TCIFLUSH);
            setError(SerialCode::Timeout);
            break;
        }
        if (!(p.revents & POLLIN)) {
            setError(EIO);
            break;
        }
    }
    if (m_lastError == 0) takeLineErrors(true);
    return data;
}

QByteArray TLineSerial::receivePacket(qint32 timeoutMs) {
    if (!preTest()) return {};
    setError(0);
    QByteArray packet;
    if (!m_lineBuffer.isEmpty()) {
        packet.swap(m_lineBuffer);
    } else {
        ::sched_yield();
        qint32 n = WaitingCount();
        if (n > 0) {
            packet = readBytes(n);
        } else if (m_lastError == 0) {
            if (WaitReadable(timeoutMs)) {
                n = WaitingCount();
                if (n > 0)
                    packet = readBytes(n);
                else if (m_lastError == 0)
                    setError(SerialCode::Timeout);
            } else if (m_lastError == 0) {
                setError(SerialCode::Timeout);
            }
        }
    }
    checkError();
    return packet;
}

LineStep assembleLine(QByteArray& collected, const QByteArray& packet, bool anyLineEnd, qint32 maxLineLength,
                      QByteArray* line) {
    collected += packet;
    qsizetype end = collected.indexOf("\r\n");
    qsizetype endLength = 2;
    if (anyLineEnd) {
        const qsizetype cr = collected.indexOf('\r');
        const qsizetype lf = collected.indexOf('\n');
        if (cr >= 0 && (lf < 0 || cr < lf)) {
            end = cr;
            endLength = (cr + 1 < collected.size() && collected[cr + 1] == '\n') ? 2 : 1;
        } else if (lf >= 0) {
            end = lf;
            endLength = 1;
        }
    }
    // The bound is on the text not yet ended by a line end, so a burst of
    // complete lines never counts against it.
    const qsizetype open = end >= 0 ? end : collected.size();
    if (maxLineLength > 0 && open > maxLineLength) return LineStep::TooLong;
    if (end < 0) return LineStep::NeedMore;
    *line = collected.left(end);
    collected.remove(0, end + endLength);
    return LineStep::Line;
}

QByteArray TLineSerial::ReceiveLine(qint32 timeoutMs) {
    if (!preTest()) return {};
    setError(0);
    QByteArray collected;
    QByteArray result;
    qint64 timeLeft = timeoutMs;
    for (;;) {
        QElapsedTimer pass;
        pass.start();
        const QByteArray packet = receivePacket(qint32(qMin<qint64>(timeLeft, INT32_MAX)));
        if (m_lastError != 0) {
            collected += packet;
            break;
        }
        const LineStep step = assembleLine(collected, packet, AnyLineEnd, MaxLineLength, &result);
        if (step == LineStep::TooLong) {
            setError(SerialCode::BufferExceeded);
            break;
        }
        if (step == LineStep::Line) break;
        if (!PerWaitTimeout) {
            timeLeft -= pass.elapsed();
            if (timeLeft <= 0) {
                setError(SerialCode::Timeout);
                break;
            }
        }
    }
    m_lineBuffer = collected;
    checkError();
    return m_lastError == 0 ? result : QByteArray();
}

void TLineSerial::closePort() {
    if (m_handle >= 0) {
        ::tcflush(m_handle, TCIOFLUSH);
        tty::setModemLines(m_handle, TIOCM_RTS, false);
        tty::setModemLines(m_handle, TIOCM_DTR, false);
        tty::closeExclusive(m_handle);
    }
    m_active = false;
    m_handle = -1;
    m_lastError = 0;
    m_lastErrorDesc = QStringLiteral("OK");
}

} // namespace varek
