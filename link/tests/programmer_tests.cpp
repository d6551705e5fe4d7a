#include "link/programmer.h"

#include "link/line_serial.h"
#include "link/tests/pty_fixture.h"
#include "link/tests/qt_app.h"
#include "tools/zintor_device.h"

#include <QRandomGenerator>

#include <sys/ioctl.h>

using namespace varek;
using sim::ZintorDevice;

TEST(ProgrammerProgress, HalvesToEven) {
    const struct {
        int i, m, percent;
    } cases[] = {
        {0, 256, 0}, {1, 256, 0}, {2, 256, 1}, {128, 256, 50}, {254, 256, 100}, {255, 256, 100},
        {1, 9, 12},  {3, 9, 38},  {5, 9, 62},  {7, 9, 88},     {0, 1, 0},       {1, 2, 100},
    };
    for (const auto& c : cases)
        EXPECT_EQ(ProgrammerExchange::progressFor(c.i, c.m), c.percent) << c.i << "/" << c.m;
    EXPECT_EQ(zintorDeviceName(3), R"(\\.\COM3)");
    EXPECT_EQ(zintorDeviceName(255), R"(\\.\COM255)");
}

namespace {

// Fast listening for tests that are not about timing.
ProgrammerTiming quickTiming() {
    ProgrammerTiming t;
    t.readWait = 400;
    t.dumpWait = 1;
    t.dumpPhase = 4;
    t.finalPhase = 1000;
    return t;
}

QStringList randomImage(quint32 seed) {
    QRandomGenerator rng(seed);
    QStringList lines;
    for (int a = 0; a < ZintorDevice::MemorySize; a += 32) {
        QByteArray bytes(32, 0);
        for (char& b : bytes)
            b = char(rng.bounded(256));
        lines << ZintorDevice::dumpLine(a, bytes);
    }
    return lines;
}

} // namespace

class Programmer : public PtyFixture {
protected:
    void SetUp() override {
        PtyFixture::SetUp();
        testApp();
        m_pty = makePort(3);
        m_exchange.setTiming(quickTiming());
        QObject::connect(&m_exchange, &ProgrammerExchange::logLine, [this](const QString& s) { m_log << s; });
        QObject::connect(&m_exchange, &ProgrammerExchange::dumpLine,
                         [this](const QString& s) { m_dump << s; });
        QObject::connect(&m_exchange, &ProgrammerExchange::progress, [this](int p) { m_progress << p; });
        QObject::connect(&m_exchange, &ProgrammerExchange::status,
                         [this](const QString& s) { m_status << s; });
        QObject::connect(&m_exchange, &ProgrammerExchange::finished, [this](bool ok, const QString& msg) {
            m_finished = true;
            m_ok = ok;
            m_message = msg;
        });
    }

    void runToEnd(ProgrammerExchange::Command command, const QStringList& lines = {},
                  const QString& device = QStringLiteral(R"(\\.\COM3)")) {
        m_log.clear();
        m_dump.clear();
        m_progress.clear();
        m_finished = false;
        ASSERT_TRUE(m_exchange.start(command, lines, device));
        ASSERT_TRUE(processEventsUntil([this] { return m_finished; }, 60000));
        EXPECT_FALSE(m_exchange.isRunning());
    }

    // The port was released: another port object can open it at once.
    void expectPortFree(int n = 3) {
        TLineSerial other;
        other.OpenDevice(QStringLiteral(R"(\\.\COM%1)").arg(n));
        EXPECT_EQ(other.LastError(), 0) << other.LastErrorDesc().toStdString();
    }

    std::unique_ptr<sim::PtyPair> m_pty;
    ProgrammerExchange m_exchange;
    QStringList m_log, m_dump, m_status;
    QList<int> m_progress;
    bool m_finished = false;
    bool m_ok = false;
    QString m_message;
};

TEST_F(Programmer, ReadGivesTheDevicesMemory) {
    ZintorDevice device(*m_pty);
    device.setMemory(QByteArray(8192, char(0x5A)));
    device.start();
    runToEnd(ProgrammerExchange::Command::Read);
    EXPECT_TRUE(m_ok) << m_message.toStdString();
    EXPECT_EQ(m_dump, device.memoryDumpLines());
    EXPECT_EQ(m_log.size(), 256 + 6); // with the remarks
    EXPECT_EQ(m_log.first(), "# Zintor memory, 8192 bytes");
    EXPECT_EQ(device.receivedLines(), (QList<QByteArray>{"d"}));
    expectPortFree();
}

TEST_F(Programmer, ReadSortsRemarksAndKeepsEmptyLines) {
    const QString dumpLine = ZintorDevice::dumpLine(0, QByteArray(32, 0x11));
    std::thread device([&] {
        readMaster(*m_pty, 3);
        m_pty->writeAll("# remark\r\n\r\n" + dumpLine.toLatin1() + "\r\n");
    });
    runToEnd(ProgrammerExchange::Command::Read);
    device.join();
    EXPECT_TRUE(m_ok);
    EXPECT_EQ(m_log, (QStringList{"# remark", "", dumpLine}));
    EXPECT_EQ(m_dump, (QStringList{"", dumpLine}));
}

TEST_F(Programmer, SilentDeviceReadEndsWithNothing) {
    sim::ZintorOptions silent;
    silent.silent = true;
    ZintorDevice device(*m_pty, silent);
    device.start();
    QElapsedTimer t;
    t.start();
    runToEnd(ProgrammerExchange::Command::Read);
    EXPECT_TRUE(m_ok);
    EXPECT_TRUE(m_log.isEmpty());
    EXPECT_TRUE(m_dump.isEmpty());
    EXPECT_GE(t.elapsed(), quickTiming().readWait);
}

const QString kCutOffReply =
    QStringLiteral("Ответ устройства Zintor оборвался на середине строки. Проверьте кабель и питание "
                   "устройства и повторите.\nCommunication error 9997: Timeout during operation");

TEST_F(Programmer, StallWithinALineEndsTheExchange) {
    sim::ZintorOptions stall;
    stall.stallMs = 300; // longer than every line time-out
    {
        ZintorDevice device(*m_pty, stall);
        device.start();
        runToEnd(ProgrammerExchange::Command::Read);
        EXPECT_FALSE(m_ok);
        EXPECT_EQ(m_message, kCutOffReply);
        EXPECT_TRUE(m_log.isEmpty());
        EXPECT_TRUE(m_dump.isEmpty());
        expectPortFree();
    }
    ZintorDevice device(*m_pty, stall);
    device.start();
    runToEnd(ProgrammerExchange::Command::Store, randomImage(1));
    EXPECT_FALSE(m_ok);
    EXPECT_EQ(m_message, kCutOffReply);
    processEventsUntil([] { return false; }, 50);
    const QList<QByteArray> received = device.receivedLines();
    EXPECT_LE(received.size(), 3); // the exchange stopped: no further lines, no "s"
    EXPECT_FALSE(received.contains("s"));
    expectPortFree();
}

TEST_F(Programmer, MissingPortThenRetry) {
    runToEnd(ProgrammerExchange::Command::Store, randomImage(2), QStringLiteral(R"(\\.\COM9)"));
    EXPECT_FALSE(m_ok);
    EXPECT_EQ(m_message, QStringLiteral("Порт COM9 не найден: устройство не подключено или порт выбран "
                                        "неверно. Подключите устройство или выберите другой порт в списке "
                                        "«Ком-порт устройства Zintor» на странице «Настройки».\n"
                                        "Communication error 2: %1")
                             .arg(TLineSerial::ErrorDescription(ENOENT)));
    EXPECT_TRUE(m_log.isEmpty());
    EXPECT_TRUE(m_progress.isEmpty());

    auto later = makePort(9);
    ZintorDevice device(*later);
    device.start();
    runToEnd(ProgrammerExchange::Command::Store, randomImage(2), QStringLiteral(R"(\\.\COM9)"));
    EXPECT_TRUE(m_ok) << m_message.toStdString();
}

TEST_F(Programmer, HeldPortIsRefused) {
    TLineSerial holder;
    holder.OpenDevice(R"(\\.\COM3)");
    runToEnd(ProgrammerExchange::Command::Read);
    EXPECT_FALSE(m_ok);
    EXPECT_EQ(m_message, QStringLiteral("Порт COM3 (%1) занят другой программой. Закройте её и повторите.\n"
                                        "Communication error %2: %3")
                             .arg(m_pty->slavePath())
                             .arg(EBUSY)
                             .arg(TLineSerial::ErrorDescription(EBUSY)));
}

// A reply that never ends its line is cut off at the bound instead of
// growing without end, and the operator learns why.
TEST_F(Programmer, OverLongReplyLine) {
    std::thread device([&] {
        readMaster(*m_pty, 3);
        m_pty->writeAll(QByteArray(ProgrammerMaxLineLength + 100, 'X'));
    });
    runToEnd(ProgrammerExchange::Command::Read);
    device.join();
    EXPECT_FALSE(m_ok);
    EXPECT_TRUE(m_message.startsWith(QStringLiteral("Устройство Zintor прислало слишком длинную строку")))
        << m_message.toStdString();
    EXPECT_TRUE(
        m_message.endsWith(QStringLiteral("\nCommunication error 9996: Maximal buffer length exceeded")))
        << m_message.toStdString();
    EXPECT_TRUE(m_log.isEmpty());
    expectPortFree();
}

// A full store sends exactly the 256 lines and "s", in order; the device's
// memory then equals the image. A second store right after works the same,
// and a write differs only in its final command.
TEST_F(Programmer, StoresInARowAndWrite) {
    const QString memoryFile = m_home.filePath("memory.txt");
    sim::ZintorOptions options;
    options.memoryOut = memoryFile;
    ZintorDevice device(*m_pty, options);
    device.start();

    const QStringList first = randomImage(10);
    runToEnd(ProgrammerExchange::Command::Store, first);
    EXPECT_TRUE(m_ok) << m_message.toStdString();
    QList<QByteArray> expected;
    for (const QString& line : first)
        expected << line.toLatin1();
    expected << "s";
    EXPECT_EQ(device.receivedLines(), expected);
    EXPECT_EQ(device.memoryDumpLines(), first);
    ASSERT_EQ(m_log.size(), 256 + 2);
    EXPECT_EQ(m_log.at(0), "OK 00000");
    EXPECT_EQ(m_log.at(255), "OK 01FE0");
    EXPECT_EQ(m_log.mid(256), (QStringList{"# storing image", "STORED"}));
    QList<int> progress;
    for (int i = 0; i < 256; ++i)
        progress << ProgrammerExchange::progressFor(i, 256);
    progress << 0;
    EXPECT_EQ(m_progress, progress);
    QFile file(memoryFile);
    ASSERT_TRUE(file.open(QIODevice::ReadOnly));
    EXPECT_EQ(file.readAll(), first.join("\r\n").toLatin1() + "\r\n");

    const QStringList second = randomImage(11);
    runToEnd(ProgrammerExchange::Command::Store, second);
    EXPECT_TRUE(m_ok);
    EXPECT_EQ(device.memoryDumpLines(), second);

    runToEnd(ProgrammerExchange::Command::Write, first);
    EXPECT_TRUE(m_ok);
    const QList<QByteArray> received = device.receivedLines();
    ASSERT_EQ(received.size(), 3 * 257);
    EXPECT_EQ(received.mid(2 * 257, 256), expected.mid(0, 256));
    EXPECT_EQ(received.last(), "w");
    EXPECT_EQ(m_log.mid(256), (QStringList{"# writing controller", "WRITTEN"}));
    expectPortFree();
}

// A cancelled store or write stops before its next dump line and never sends
// its final command; the log names the command that was not sent.
TEST_F(Programmer, CancelBeforeTheFinalCommand) {
    ZintorDevice device(*m_pty);
    device.start();
    ProgrammerTiming t = quickTiming();
    t.dumpPhase = 20;
    m_exchange.setTiming(t);
    QObject::connect(&m_exchange, &ProgrammerExchange::progress, &m_exchange, [this](int) {
        if (m_progress.size() == 5) m_exchange.cancel();
    });
    const struct {
        ProgrammerExchange::Command command;
        QByteArray final;
    } cases[] = {{ProgrammerExchange::Command::Store, "s"}, {ProgrammerExchange::Command::Write, "w"}};
    for (const auto& c : cases) {
        m_log.clear();
        m_progress.clear();
        m_finished = false;
        EXPECT_TRUE(m_exchange.start(c.command, randomImage(3), R"(\\.\COM3)"));
        EXPECT_FALSE(m_exchange.start(ProgrammerExchange::Command::Read, {}, R"(\\.\COM3)")); // one at a time
        ASSERT_TRUE(processEventsUntil([this] { return m_finished; }, 30000));
        EXPECT_FALSE(m_ok);
        EXPECT_TRUE(m_exchange.wasCancelled());
        ASSERT_FALSE(m_log.isEmpty());
        const QString note = m_log.last();
        EXPECT_TRUE(note.startsWith(QStringLiteral("Передача прервана оператором: отправлено строк ")))
            << note.toStdString();
        EXPECT_TRUE(note.endsWith(
            QStringLiteral(" из 256, команда \"%1\" не отправлена.").arg(QLatin1String(c.final))))
            << note.toStdString();
        EXPECT_EQ(m_progress.last(), 0);
        processEventsUntil([] { return false; }, 50);
        const QList<QByteArray> received = device.receivedLines();
        EXPECT_LT(received.size(), 200);
        EXPECT_FALSE(received.contains(c.final));
        expectPortFree();
    }
}

TEST_F(Programmer, DeviceGoneMidExchange) {
    auto device = std::make_unique<ZintorDevice>(*m_pty);
    device->start();
    ProgrammerTiming t = quickTiming();
    t.dumpPhase = 20;
    m_exchange.setTiming(t);
    QObject::connect(&m_exchange, &ProgrammerExchange::progress, &m_exchange, [&](int) {
        if (m_progress.size() == 3) {
            device.reset();
            m_pty.reset(); // the adapter is pulled out
        }
    });
    ASSERT_TRUE(m_exchange.start(ProgrammerExchange::Command::Store, randomImage(4), R"(\\.\COM3)"));
    ASSERT_TRUE(processEventsUntil([this] { return m_finished; }, 30000));
    EXPECT_FALSE(m_ok);
    EXPECT_TRUE(m_message.startsWith("Связь с устройством Zintor потеряна")) << m_message.toStdString();
    EXPECT_TRUE(m_message.contains(QStringLiteral("Communication error %1:").arg(EIO)))
        << m_message.toStdString();

    // The device is back: the next exchange works.
    m_pty = makePort(3);
    ZintorDevice again(*m_pty);
    again.start();
    runToEnd(ProgrammerExchange::Command::Read);
    EXPECT_TRUE(m_ok) << m_message.toStdString();
    EXPECT_EQ(m_dump.size(), 256);
}

// A hang-up, which is what an unplugged USB adapter gives (reads return
// nothing, the port reports POLLHUP), ends the exchange as a lost device too.
TEST_F(Programmer, HangUpMidExchange) {
    ZintorDevice device(*m_pty);
    device.start();
    ProgrammerTiming t = quickTiming();
    t.dumpPhase = 20;
    m_exchange.setTiming(t);
    QObject::connect(&m_exchange, &ProgrammerExchange::progress, &m_exchange, [&](int) {
        if (m_progress.size() == 3) ::ioctl(m_pty->keptSlaveFd(), TIOCVHANGUP);
    });
    QElapsedTimer timer;
    timer.start();
    ASSERT_TRUE(m_exchange.start(ProgrammerExchange::Command::Store, randomImage(4), R"(\\.\COM3)"));
    ASSERT_TRUE(processEventsUntil([this] { return m_finished; }, 30000));
    EXPECT_FALSE(m_ok);
    EXPECT_TRUE(m_message.startsWith("Связь с устройством Zintor потеряна")) << m_message.toStdString();
    EXPECT_TRUE(m_message.contains(QStringLiteral("Communication error %1:").arg(EIO)))
        << m_message.toStdString();
    EXPECT_LT(timer.elapsed(), 5000); // ended at once, not after a time-out
}

// Empty replies: dropped while listening after a dump line, logged after "s".
// A silent device gets every line and the final command; the log stays empty.
TEST_F(Programmer, EmptyRepliesAndSilence) {
    std::atomic<bool> stop{false};
    std::thread device([&] {
        QByteArray pending;
        while (!stop) {
            if (!m_pty->waitReadable(10)) continue;
            pending += m_pty->readAvailable();
            qsizetype end;
            while ((end = pending.indexOf("\r\n")) >= 0) {
                pending.remove(0, end + 2);
                m_pty->writeAll("\r\n");
            }
        }
    });
    QStringList image = randomImage(5).mid(0, 8);
    ProgrammerTiming t = quickTiming();
    t.dumpPhase = 100; // every reply comes within its line's listening time
    m_exchange.setTiming(t);
    runToEnd(ProgrammerExchange::Command::Store, image);
    stop = true;
    device.join();
    EXPECT_TRUE(m_ok);
    EXPECT_EQ(m_log, QStringList{QString()});

    sim::ZintorOptions silent;
    silent.silent = true;
    ZintorDevice quiet(*m_pty, silent);
    quiet.start();
    runToEnd(ProgrammerExchange::Command::Write, image);
    EXPECT_TRUE(m_ok);
    EXPECT_TRUE(m_log.isEmpty());
    processEventsUntil([] { return false; }, 30);
    EXPECT_EQ(quiet.receivedLines().size(), 9);
    EXPECT_EQ(quiet.receivedLines().last(), "w");
}
