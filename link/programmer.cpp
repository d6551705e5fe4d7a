#include "link/programmer.h"

#include "link/line_serial.h"
#include "link/serial_failure.h"

#include <QElapsedTimer>
#include <QMetaObject>
#include <QPointer>
#include <QThread>

#include <memory>

namespace varek {

namespace {

// Whether a reply line can be taken now or after waiting up to `wait` ms for a
// byte. A line that arrived together with the one before it already sits in
// the port's line buffer, where WaitReadable does not look: it counts too, so
// no complete reply line is ever left behind.
bool replyWaiting(TLineSerial& port, int wait) {
    return port.LineBuffer().contains("\r\n") || port.WaitReadable(wait);
}

QString aboutTime(qint64 ms) {
    const qint64 s = (qMax<qint64>(ms, 0) + 999) / 1000;
    if (s >= 60) return QStringLiteral("%1 мин %2 с").arg(s / 60).arg(s % 60);
    return QStringLiteral("%1 с").arg(s);
}

} // namespace

// What the worker thread needs; lives on the worker's stack.
struct ProgrammerExchange::Run {
    ProgrammerExchange* owner;
    ProgrammerTiming timing;
    TLineSerial port;
    SerialStep step = SerialStep::Opening; // what the port was last asked to do

    void log(const QByteArray& line) {
        const QString text = QString::fromLatin1(line);
        owner->post([o = owner, text] { emit o->logLine(text); });
    }
    void note(const QString& text) {
        owner->post([o = owner, text] { emit o->logLine(text); });
    }
    void status(const QString& text) {
        owner->post([o = owner, text] { emit o->status(text); });
    }
    void progress(int percent) {
        owner->post([o = owner, percent] { emit o->progress(percent); });
    }
    bool quitting() const { return owner->m_quit.load(); }
    bool cancelled() const { return owner->m_cancel.load() || quitting(); }
};

ProgrammerExchange::ProgrammerExchange(QObject* parent) : QObject(parent) {}

ProgrammerExchange::~ProgrammerExchange() {
    if (m_thread) {
        m_quit = true;
        m_cancel = true;
        m_thread->wait();
        delete m_thread;
        m_thread = nullptr;
    }
}

int ProgrammerExchange::progressFor(int i, int m) {
    if (m <= 1) return 0;
    const qint64 num = qint64(i) * 100;
    const qint64 den = m - 1;
    qint64 q = num / den;
    const qint64 twice = 2 * (num % den);
    if (twice > den || (twice == den && (q % 2) == 1)) ++q;
    return int(q);
}

void ProgrammerExchange::post(std::function<void()> emitter) {
    QMetaObject::invokeMethod(this, std::move(emitter), Qt::QueuedConnection);
}

bool ProgrammerExchange::start(Command command, const QStringList& lines, const QString& deviceName) {
    if (m_thread) return false;
    m_cancel = false;
    m_quit = false;
    m_wasCancelled = false;
    m_thread =
        QThread::create([this, command, lines, deviceName] { runExchange(command, lines, deviceName); });
    m_thread->setObjectName(QStringLiteral("programmer exchange"));
    m_thread->start();
    return true;
}

void ProgrammerExchange::onThreadDone(bool ok, QString message, bool cancelled) {
    if (m_thread) {
        m_thread->wait();
        delete m_thread;
        m_thread = nullptr;
    }
    m_wasCancelled = cancelled;
    emit finished(ok, message);
}

void ProgrammerExchange::runExchange(Command command, QStringList lines, QString deviceName) {
    bool ok = false;
    bool cancelled = false;
    QString message;
    {
        Run run{this, m_timing, {}};
        const ProgrammerTiming& t = run.timing;
        TLineSerial& port = run.port;
        port.RaiseErrors = true;
        port.MaxLineLength = ProgrammerMaxLineLength;
        try {
            // The port object lives in this block: however the exchange ends
            // (a failed ConfigureLine included) it is closed on the way out.
            port.OpenDevice(deviceName);
            port.ConfigureLine(ProgrammerBaud, 8, QLatin1Char('N'), 0, false, false);
            auto send = [&run, &port](const QByteArray& text) {
                run.step = SerialStep::Sending;
                port.SendText(text);
                run.step = SerialStep::Receiving;
            };

            if (command == Command::Read) {
                run.status(QStringLiteral("Чтение памяти Zintor…"));
                send("d\r\n");
                int received = 0;
                while (!run.cancelled() && replyWaiting(port, t.readWait)) {
                    const QByteArray line = port.ReceiveLine(t.readLine);
                    run.log(line);
                    if (!line.startsWith('#')) {
                        const QString text = QString::fromLatin1(line);
                        post([this, text] { emit dumpLine(text); });
                    }
                    ++received;
                    if (received % 16 == 0)
                        run.status(QStringLiteral("Чтение памяти Zintor: получено строк: %1").arg(received));
                }
                cancelled = run.cancelled();
                if (cancelled) run.note(QStringLiteral("Чтение прервано оператором."));
            } else {
                const int total = int(lines.size());
                const QString what = command == Command::Store ? QStringLiteral("Запись ключей в Zintor")
                                                               : QStringLiteral("Запись ключей в контроллер");
                QElapsedTimer transfer;
                transfer.start();
                int sent = 0;
                for (int i = 0; i < total; ++i) {
                    if (run.cancelled()) {
                        cancelled = true;
                        break;
                    }
                    send(lines.at(i).toLatin1() + "\r\n");
                    ++sent;
                    QElapsedTimer phase;
                    phase.start();
                    while (phase.elapsed() < t.dumpPhase) {
                        if (replyWaiting(port, t.dumpWait)) {
                            const QByteArray reply = port.ReceiveLine(t.dumpLine);
                            if (!reply.isEmpty()) run.log(reply);
                        }
                    }
                    run.progress(progressFor(i, total));
                    const qint64 perLine = transfer.elapsed() / (i + 1);
                    const qint64 left = perLine * (total - i - 1) + t.finalPhase;
                    run.status(QStringLiteral("%1: строка %2 из %3, осталось около %4")
                                   .arg(what)
                                   .arg(i + 1)
                                   .arg(total)
                                   .arg(aboutTime(left)));
                }
                run.progress(0);
                if (cancelled) {
                    run.note(QStringLiteral("Передача прервана оператором: отправлено строк %1 из %2, "
                                            "команда \"%3\" не отправлена.")
                                 .arg(sent)
                                 .arg(total)
                                 .arg(command == Command::Store ? QLatin1Char('s') : QLatin1Char('w')));
                } else {
                    send(command == Command::Store ? "s\r\n" : "w\r\n");
                    QElapsedTimer phase;
                    phase.start();
                    qint64 shown = -1;
                    while (phase.elapsed() < t.finalPhase && !run.quitting()) {
                        const qint64 secondsLeft = (t.finalPhase - phase.elapsed() + 999) / 1000;
                        if (secondsLeft != shown) {
                            shown = secondsLeft;
                            run.status(QStringLiteral("%1: ожидание ответа устройства, осталось около %2")
                                           .arg(what, aboutTime(t.finalPhase - phase.elapsed())));
                        }
                        if (replyWaiting(port, t.finalWait)) run.log(port.ReceiveLine(t.finalLine));
                    }
                    // Complete lines that came with the last one are logged too.
                    while (port.LineBuffer().contains("\r\n"))
                        run.log(port.ReceiveLine(t.finalLine));
                }
            }
            ok = !cancelled;
            if (cancelled) message = QStringLiteral("Обмен с устройством Zintor прерван оператором.");
        } catch (const ESerialError& e) {
            // What happened and what to do, in the operator's words, over the port's own text.
            message = serialFailureCause(SerialPeer::Zintor, portNameOfDevice(deviceName), port.devicePath(),
                                         e.code(), run.step) +
                      u'\n' + e.message();
        } catch (const VarekError& e) {
            message = e.message();
        } catch (const std::exception& e) {
            message = QString::fromLocal8Bit(e.what());
        }
    } // the port is closed here, before finished() is posted
    post([this, ok, message, cancelled] { onThreadDone(ok, message, cancelled); });
}

} // namespace varek
