#pragma once

#include "core/errors.h"

#include <QByteArray>
#include <QString>
#include <QtGlobal>

#include <linux/serial.h>

namespace varek {

// A failure of a serial port: the numeric code (the table of TLineSerial, or
// a system error number) and its description. Message:
// "Communication error <code>: <description>".
class ESerialError : public VarekError {
public:
    ESerialError(qint32 code, QString description);
    qint32 code() const noexcept { return m_code; }
    const QString& description() const noexcept { return m_description; }

private:
    qint32 m_code;
    QString m_description;
};

// Error codes of TLineSerial; any other code is a system error number (errno).
namespace SerialCode {
constexpr qint32 Ok = 0;
constexpr qint32 PortOwned = 9991;
constexpr qint32 InstanceInUse = 9992;
constexpr qint32 WrongParameter = 9993;
constexpr qint32 NotConnected = 9994;
constexpr qint32 NoDeviceAnswer = 9995;
constexpr qint32 BufferExceeded = 9996;
constexpr qint32 Timeout = 9997;
constexpr qint32 ReadFailed = 9998;
constexpr qint32 FramingError = 9999;
constexpr qint32 OverrunError = 10000;
constexpr qint32 QueueOverflow = 10001;
constexpr qint32 ParityError = 10002;
constexpr qint32 TransmitQueueFull = 10003;
} // namespace SerialCode

// The assembly of lines from received bytes behind TLineSerial::ReceiveLine.
enum class LineStep {
    NeedMore, // no line end yet: collected holds everything received
    Line,     // line holds the text before the first line end; collected what follows it
    TooLong,  // the text not yet ended by a line end is over maxLineLength; collected holds it all
};
// Adds a received packet to the text collected so far and looks for the first
// line end: CR LF, or with anyLineEnd also a lone CR or LF. maxLineLength > 0
// bounds the text before that line end (or all of it, when there is none).
LineStep assembleLine(QByteArray& collected, const QByteArray& packet, bool anyLineEnd, qint32 maxLineLength,
                      QByteArray* line);

// A blocking, line-oriented serial port (the programming device's port).
//
// Order of use: create; set RaiseErrors; OpenDevice; ConfigureLine; any
// sequence of SendText, WaitReadable and ReceiveLine; destroy. Every operation
// returns when it is done, timed out or failed; it then leaves LastError and
// LastErrorDesc describing the outcome and, with RaiseErrors on, throws
// ESerialError for any code but 0.
//
// OpenDevice takes "\\.\COM<n>" (also "COM<n>"), n decimal, and opens the device
// that the COMn map (serial_ports.h) gives for n; a name beginning with "/" is
// opened as a path. No such port: code 2 (ENOENT). The open is exclusive
// (tty_device.h): a port another program or object holds fails with EBUSY (16).
// DTR and RTS are raised at open and dropped at close; both directions are
// flushed at open.
//
// One object serves one open port: a second OpenDevice on an active object
// fails with 9992; a failed OpenDevice leaves the object reusable.
//
// Not thread-safe: one thread uses an object at a time.
class TLineSerial {
public:
    TLineSerial();
    ~TLineSerial();
    TLineSerial(const TLineSerial&) = delete;
    TLineSerial& operator=(const TLineSerial&) = delete;

    // Settings, used as the fields they are.
    bool RaiseErrors = false;
    qint32 IoTimeout = 30000;   // ms, longest wait for one write or read to complete
    bool PerWaitTimeout = true; // the receive time-out applies afresh to every wait
    qint32 MaxLineLength = 0;   // longest unterminated text ReceiveLine accepts; 0 = no limit
    bool AnyLineEnd = false;    // off: only CR LF ends a line; on: CR LF, CR or LF
    bool RequireDSR = false;
    bool RequireCTS = false;
    qint32 ReceiveQueueSize = 4096; // base of the XON/XOFF limits (kept for the record)

    int Handle() const { return m_handle; }
    bool isActive() const { return m_active; }
    const QString& deviceName() const { return m_deviceName; }
    // The device that the last OpenDevice tried (empty when the name gave none).
    const QString& devicePath() const { return m_devicePath; }
    qint32 LastError() const { return m_lastError; }
    const QString& LastErrorDesc() const { return m_lastErrorDesc; }
    const QByteArray& LineBuffer() const { return m_lineBuffer; }

    void OpenDevice(const QString& name);
    // parity: 'N', 'O', 'E', 'M', 'S' in either case; any other letter: none.
    // stopBits: 0 one, 1 one and a half (two on this platform), 2 two.
    void ConfigureLine(qint32 baud, int dataBits, QChar parity, int stopBits, bool softwareFlow,
                       bool hardwareFlow);
    qint32 SendText(const QByteArray& text);
    bool WaitReadable(qint32 timeoutMs);
    QByteArray ReceiveLine(qint32 timeoutMs);
    // The number of bytes waiting in the system's input queue.
    qint32 WaitingCount();

    static QString ErrorDescription(qint32 code);

private:
    void setError(qint32 code);
    void checkError();
    bool preTest();
    QByteArray receivePacket(qint32 timeoutMs);
    QByteArray readBytes(qint32 n);
    bool linesDemandedLow();
    void takeLineErrors(bool report);
    void closePort();

    int m_handle = -1;
    bool m_active = false;
    bool m_isPty = false;
    QString m_deviceName;
    QString m_devicePath;
    qint32 m_lastError = 0;
    QString m_lastErrorDesc = QStringLiteral("OK");
    QByteArray m_lineBuffer;
    bool m_haveCounters = false;
    serial_icounter_struct m_counters{};
};

} // namespace varek
