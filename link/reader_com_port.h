#pragma once

#include "core/errors.h"

#include <QByteArray>
#include <QObject>
#include <QString>
#include <memory>

class QSocketNotifier;

namespace varek {

// Failures of the reader port, with their code.
class EComPortError : public VarekError {
public:
    EComPortError(qint32 code, QString message, int systemError = 0)
        : VarekError(std::move(message)), m_code(code), m_systemError(systemError) {}
    qint32 code() const noexcept { return m_code; }
    // The system's error number behind the failure (ENOENT, EBUSY, ...); 0 when none.
    int systemError() const noexcept { return m_systemError; }

private:
    qint32 m_code;
    int m_systemError;
};

namespace ComPortCode {
constexpr qint32 ENoSuchPort = -1;
constexpr qint32 EBadLimits = -2;
constexpr qint32 ENothingToRead = -7;
constexpr qint32 EPortInUse = -8;
constexpr qint32 ENoPortChosen = -11;
} // namespace ComPortCode

// An input/output error of the reader port that carries the system's error number.
class EInOutError : public VarekError {
public:
    EInOutError(int code, QString message) : VarekError(std::move(message)), m_code(code) {}
    int code() const noexcept { return m_code; }

private:
    int m_code;
};

// The card reader's event-driven serial port.
//
// Use: setComNumber(n); setOpen(true); connect OnTriggerAvail and take exactly
// Count characters with ReadChar in the handler; setOpen(false) (also from
// inside the handler). Destruction closes an open port.
//
// The port opens the device that the COMn map (serial_ports.h) gives for
// ComNumber, exclusively (tty_device.h), with the reader's line settings, which
// are this class's defaults: 9600 baud, 8 data bits, no parity, one stop bit,
// XON/XOFF on reception only (the system's driver sends XOFF when its input
// buffer fills and XON when it drains; its own thresholds apply, XonLevel and
// XoffLevel are only checked), DTR and RTS raised.
//
// Received characters are taken in by a socket notifier on the thread that owns
// the port object (the user-interface thread), kept in a receive buffer of 8192
// bytes in arrival order, and announced with OnTriggerAvail(Count), Count being
// the number of characters waiting. Every character is announced once; if the
// handler leaves characters unread, no new announcement follows until further
// characters arrive, and its Count then includes those left over. While the
// buffer is full, reading from the device pauses (the driver's flow control
// then holds the reader back), so nothing is lost. Characters arriving while a
// handler runs (if it processes events) are announced after it returns.
//
// Open failures: ComNumber 0 -> EComPortError ENoPortChosen (-11); no such port
// -> ENoSuchPort (-1); port held by another program or port object (EBUSY) ->
// EPortInUse (-8); any other system error, a refused permission (EACCES)
// included -> EInOutError with the system's error number. The port then stays
// closed.
//
// A device that goes away while open (a read error, or a hang-up such as an
// unplugged USB adapter) is reported once with deviceLost; the port then stops
// reading from it.
class TReaderComPort : public QObject {
    Q_OBJECT
public:
    enum class SoftwareFlowMode { sfNone, sfReceive, sfTransmit, sfBoth };

    explicit TReaderComPort(QObject* parent = nullptr);
    ~TReaderComPort() override;

    quint16 ComNumber() const { return m_comNumber; }
    // On an open port: closes it, changes the number and opens it again.
    void setComNumber(quint16 n);

    bool Open() const { return m_state == State::Open; }
    // Setting the value the port already has does nothing.
    void setOpen(bool open);

    // The next received character. On a port being closed: 0. On a closed
    // port with OpenOnRead on, opens it first. Empty buffer: EComPortError
    // ENothingToRead (-7).
    quint8 ReadChar();

    // Characters received and not yet taken.
    int waitingCount() const { return int(m_buffer.size()); }
    // The device the last open tried (empty when ComNumber named none).
    const QString& devicePath() const { return m_devicePath; }

    // Line settings, applied at the next open.
    qint32 Baud = 9600;
    int DataBits = 8;
    int StopBits = 1;
    SoftwareFlowMode SoftwareFlow = SoftwareFlowMode::sfReceive;
    int InQueueSize = 128;
    int XonLevel = 10;
    int XoffLevel = 10;
    quint8 XonChar = 17;
    quint8 XoffChar = 19;
    bool DTR = true;
    bool RTS = true;
    bool OpenOnRead = true;

    static constexpr int ReceiveBufferSize = 8192;

signals:
    // A character or more waits; Count is how many (at least 1).
    void OnTriggerAvail(quint16 Count);
    // The device went away while open (read error or hang-up); the port stops
    // receiving but stays open until closed. Carries the system's error number.
    void deviceLost(int errorCode);

private:
    enum class State { Closed, Open, ShuttingDown };
    void openPort();
    void release();
    void onReadable();
    void fillBuffer();
    void deliver();
    void lose(int error);

    quint16 m_comNumber = 0;
    State m_state = State::Closed;
    int m_fd = -1;
    QSocketNotifier* m_notifier = nullptr;
    QByteArray m_buffer;
    qsizetype m_unannounced = 0;
    bool m_inEvent = false;
    bool m_lost = false;
    QString m_devicePath;
    std::shared_ptr<bool> m_alive;
};

} // namespace varek
