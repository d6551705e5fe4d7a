#include "link/line_serial.h"

#include "link/tests/pty_fixture.h"

#include <QElapsedTimer>
#include <cerrno>
#include <sys/ioctl.h>
#include <termios.h>

using namespace varek;

namespace {

// Expects `body` to throw ESerialError with `code`; returns its message.
template <typename F> QString expectSerialError(qint32 code, F body) {
    try {
        body();
    } catch (const ESerialError& e) {
        EXPECT_EQ(e.code(), code) << e.message().toStdString();
        EXPECT_EQ(e.description(), TLineSerial::ErrorDescription(code));
        return e.message();
    }
    ADD_FAILURE() << "no ESerialError, expected code " << code;
    return {};
}

void waitForQueue(TLineSerial& port, qint32 count) {
    QElapsedTimer t;
    t.start();
    while (port.WaitingCount() < count && t.elapsed() < 2000)
        QThread::msleep(1);
    ASSERT_EQ(port.WaitingCount(), count);
}

} // namespace

TEST(LineSerialErrors, DescriptionsAndMessage) {
    const struct {
        qint32 code;
        const char* text;
    } table[] = {
        {0, "OK"},
        {9991, "Port owned by other process"},
        {9992, "Instance already in use"},
        {9993, "Wrong paramter at call"},
        {9994, "Instance not yet connected"},
        {9995, "No device answer detected"},
        {9996, "Maximal buffer length exceeded"},
        {9997, "Timeout during operation"},
        {9998, "Reading of data failed"},
        {9999, "Receive framing error"},
        {10000, "Receive Overrun Error"},
        {10001, "Receive Queue overflow"},
        {10002, "Receive Parity Error"},
        {10003, "Tranceive Queue is full"},
    };
    for (const auto& row : table)
        EXPECT_EQ(TLineSerial::ErrorDescription(row.code), QString::fromLatin1(row.text)) << row.code;
    EXPECT_EQ(TLineSerial::ErrorDescription(ENOENT), QString::fromLocal8Bit(strerror(ENOENT)));
    EXPECT_EQ(ESerialError(9997, "Timeout during operation").message(),
              "Communication error 9997: Timeout during operation");
}

class LineSerial : public PtyFixture {
protected:
    void SetUp() override {
        PtyFixture::SetUp();
        m_pty = makePort(5);
        m_port.RaiseErrors = true;
    }
    void openConfigured() {
        m_port.OpenDevice(R"(\\.\COM5)");
        m_port.ConfigureLine(2400, 8, 'N', 0, false, false);
    }
    std::unique_ptr<sim::PtyPair> m_pty;
    TLineSerial m_port;
};

TEST_F(LineSerial, SecondOpenOfActiveObjectFailsAndKeepsPort) {
    openConfigured();
    const int handle = m_port.Handle();
    const QString msg = expectSerialError(9992, [&] { m_port.OpenDevice(R"(\\.\COM5)"); });
    EXPECT_EQ(msg, "Communication error 9992: Instance already in use");
    EXPECT_EQ(m_port.Handle(), handle);
    EXPECT_EQ(m_port.SendText("d\r\n"), 3);
    EXPECT_EQ(readMaster(*m_pty, 3), "d\r\n");
}

TEST_F(LineSerial, MissingPortFailsWithSystemCodeAndCanBeOpenedLater) {
    TLineSerial port;
    port.RaiseErrors = true;
    const QString text = QString::fromLocal8Bit(strerror(ENOENT));
    for (const char* name : {R"(\\.\COM0)", R"(\\.\COM6)", R"(\\.\COM300)", "nonsense"}) {
        const QString msg = expectSerialError(ENOENT, [&] { port.OpenDevice(QString::fromLatin1(name)); });
        EXPECT_EQ(msg, QStringLiteral("Communication error 2: %1").arg(text));
        EXPECT_FALSE(port.isActive());
        EXPECT_EQ(port.Handle(), -1);
    }
    auto later = makePort(6);
    port.OpenDevice(R"(\\.\COM6)");
    EXPECT_TRUE(port.isActive());
}

TEST_F(LineSerial, HeldPortFailsWithBusyUntilReleased) {
    openConfigured();
    {
        TLineSerial second;
        second.RaiseErrors = true;
        expectSerialError(EBUSY, [&] { second.OpenDevice(R"(\\.\COM5)"); });
        // Opening the same device by its own path is refused too.
        expectSerialError(EBUSY, [&] { second.OpenDevice(m_pty->slavePath()); });
    }
    TLineSerial third;
    third.RaiseErrors = true;
    m_port.~TLineSerial();
    new (&m_port) TLineSerial;
    third.OpenDevice(R"(\\.\COM5)");
    EXPECT_TRUE(third.isActive());
}

TEST_F(LineSerial, NotActiveObjectRefusesIo) {
    expectSerialError(9994, [&] { m_port.SendText("x"); });
    expectSerialError(9994, [&] { m_port.ReceiveLine(10); });
    m_port.RaiseErrors = false;
    EXPECT_EQ(m_port.SendText("x"), 0);
    EXPECT_EQ(m_port.LastError(), 9994);
    EXPECT_EQ(m_port.LastErrorDesc(), "Instance not yet connected");
}

TEST_F(LineSerial, LineSettingsOnPseudoTerminal) {
    m_port.OpenDevice(R"(\\.\COM5)");
    const struct {
        char parity;
        bool parityOn;
    } cases[] = {{'N', false}, {'n', false}, {'x', false}, {'E', true}, {'e', true}, {'O', true}};
    for (const auto& c : cases) {
        m_port.ConfigureLine(2400, 8, QChar(c.parity), 0, false, false);
        EXPECT_EQ(m_port.LastError(), 0);
        termios tio{};
        ASSERT_EQ(tcgetattr(m_port.Handle(), &tio), 0);
        EXPECT_EQ(cfgetospeed(&tio), speed_t(B2400));
        // A pseudo-terminal keeps no parity or character size in its flags;
        // parity checking on input shows the parity was asked for.
        EXPECT_EQ(bool(tio.c_iflag & INPCK), c.parityOn) << c.parity;
        EXPECT_EQ(tio.c_iflag & (IXON | IXOFF), 0u);
        EXPECT_EQ(tio.c_lflag & (ICANON | ECHO), 0u);
    }
    m_port.ConfigureLine(9600, 7, 'N', 2, true, false);
    termios tio{};
    ASSERT_EQ(tcgetattr(m_port.Handle(), &tio), 0);
    EXPECT_EQ(tio.c_iflag & (IXON | IXOFF), tcflag_t(IXON | IXOFF));
    EXPECT_EQ(tio.c_cc[VSTART], 0x11);
    EXPECT_EQ(tio.c_cc[VSTOP], 0x13);
    EXPECT_EQ(cfgetispeed(&tio), speed_t(B9600));
    expectSerialError(EINVAL, [&] { m_port.ConfigureLine(-1, 8, 'N', 0, false, false); });
    expectSerialError(EINVAL, [&] { m_port.ConfigureLine(2400, 256, 'N', 0, false, false); });
}

TEST_F(LineSerial, OneLinePerCallAndTheRestKept) {
    openConfigured();
    m_pty->writeAll("abc\r\ndef\r\n");
    waitForQueue(m_port, 10);
    EXPECT_EQ(m_port.ReceiveLine(50), "abc");
    EXPECT_EQ(m_port.LineBuffer(), "def\r\n");
    EXPECT_FALSE(m_port.WaitReadable(0)); // "def" sits in the line buffer, not in the queue
    QElapsedTimer t;
    t.start();
    EXPECT_EQ(m_port.ReceiveLine(50), "def");
    EXPECT_LT(t.elapsed(), 20);
    EXPECT_TRUE(m_port.LineBuffer().isEmpty());
}

TEST_F(LineSerial, OnlyCrLfEndsALine) {
    openConfigured();
    m_pty->writeAll("a\rb\nc\r\n\r\n\n\r\r\n");
    EXPECT_EQ(m_port.ReceiveLine(200), "a\rb\nc");
    EXPECT_EQ(m_port.ReceiveLine(200), ""); // CR LF alone: an empty line, no error
    EXPECT_EQ(m_port.LastError(), 0);
    EXPECT_EQ(m_port.ReceiveLine(200), "\n\r");
}

TEST_F(LineSerial, SilenceWithinALineTimesOut) {
    openConfigured();
    m_pty->writeAll("abc");
    waitForQueue(m_port, 3);
    QElapsedTimer t;
    t.start();
    const QString msg = expectSerialError(9997, [&] { m_port.ReceiveLine(50); });
    EXPECT_EQ(msg, "Communication error 9997: Timeout during operation");
    EXPECT_GE(t.elapsed(), 45);
    EXPECT_LT(t.elapsed(), 500);                // about 50 ms; generous for a loaded machine
    EXPECT_TRUE(m_port.LineBuffer().isEmpty()); // "abc" is lost

    // Without RaiseErrors the collected text stays in the line buffer.
    m_port.RaiseErrors = false;
    m_pty->writeAll("xyz");
    waitForQueue(m_port, 3);
    EXPECT_EQ(m_port.ReceiveLine(30), "");
    EXPECT_EQ(m_port.LastError(), 9997);
    EXPECT_EQ(m_port.LineBuffer(), "xyz");
    m_pty->writeAll("\r\n");
    EXPECT_EQ(m_port.ReceiveLine(200), "xyz");
}

TEST_F(LineSerial, TimeOutCountsPerWait) {
    openConfigured();
    // A byte every 50 ms, line time-out 150: the line comes through although
    // the whole line takes far longer than 150 ms.
    std::thread feeder([&] {
        for (const char* piece : {"ab", "cd", "ef", "gh", "ij", "\r\n"}) {
            QThread::msleep(50);
            m_pty->writeAll(piece, qsizetype(strlen(piece)));
        }
    });
    QElapsedTimer t;
    t.start();
    EXPECT_EQ(m_port.ReceiveLine(150), "abcdefghij");
    EXPECT_GE(t.elapsed(), 250);
    feeder.join();
}

TEST_F(LineSerial, LineLengthBound) {
    openConfigured();
    m_port.MaxLineLength = 4096;
    // A burst of complete lines far longer than the bound in total is fine.
    const QByteArray line = QByteArray(71, 'A');
    QByteArray burst;
    for (int i = 0; i < 100; ++i)
        burst += line + "\r\n";
    std::thread feeder([&] { m_pty->writeAll(burst); });
    waitForQueue(m_port, 4095); // the pseudo-terminal's input queue is full
    for (int i = 0; i < 100; ++i)
        ASSERT_EQ(m_port.ReceiveLine(200), line) << i;
    feeder.join();
    // Bytes without a line end stop at the bound.
    m_pty->writeAll(QByteArray(5000, 'x'));
    expectSerialError(9996, [&] {
        for (int i = 0; i < 100; ++i)
            m_port.ReceiveLine(200);
    });
}

TEST_F(LineSerial, WritesReachTheDevice) {
    openConfigured();
    const QByteArray dump = "00000: " + QByteArray(64, 'F') + "\r\n";
    EXPECT_EQ(m_port.SendText(dump), dump.size());
    EXPECT_EQ(readMaster(*m_pty, dump.size()), dump);
}

TEST_F(LineSerial, DeviceGoneIsAnIoError) {
    openConfigured();
    m_pty.reset(); // the other side closes, like an adapter pulled out
    expectSerialError(EIO, [&] {
        m_port.WaitReadable(200);
        m_port.ReceiveLine(200);
    });
}
