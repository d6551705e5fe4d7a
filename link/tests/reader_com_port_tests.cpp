#include "link/reader_com_port.h"

#include "link/line_serial.h"
#include "link/tests/pty_fixture.h"
#include "link/tests/qt_app.h"
#include "tools/zintor_device.h"

#include <QThread>
#include <cerrno>
#include <cstring>
#include <sys/ioctl.h>
#include <termios.h>

using namespace varek;

namespace {

template <typename F> qint32 comPortErrorCode(F body) {
    try {
        body();
    } catch (const EComPortError& e) {
        return e.code();
    }
    return 0;
}

} // namespace

class ReaderPort : public PtyFixture {
protected:
    void SetUp() override {
        PtyFixture::SetUp();
        testApp();
        m_pty = makePort(4);
        m_port.setComNumber(4);
    }
    void TearDown() override {
        m_port.setOpen(false);
        QCoreApplication::processEvents(); // deferred deletions
        PtyFixture::TearDown();
    }
    // Collects every announced character with ReadChar, Count at a time.
    void collectAll() {
        QObject::connect(&m_port, &TReaderComPort::OnTriggerAvail, &m_port, [this](quint16 count) {
            m_counts << count;
            for (int i = 0; i < count; ++i)
                m_received += char(m_port.ReadChar());
        });
    }
    std::unique_ptr<sim::PtyPair> m_pty;
    TReaderComPort m_port;
    QList<int> m_counts;
    QByteArray m_received;
};

TEST_F(ReaderPort, OpenFailures) {
    TReaderComPort none;
    EXPECT_EQ(comPortErrorCode([&] { none.setOpen(true); }), ComPortCode::ENoPortChosen);
    EXPECT_FALSE(none.Open());

    TReaderComPort missing;
    missing.setComNumber(9);
    EXPECT_EQ(comPortErrorCode([&] { missing.setOpen(true); }), ComPortCode::ENoSuchPort);
    missing.setComNumber(300);
    EXPECT_EQ(comPortErrorCode([&] { missing.setOpen(true); }), ComPortCode::ENoSuchPort);
    EXPECT_FALSE(missing.Open());

    // Held by the programmer's port object: EPortInUse; and the other way round.
    {
        TLineSerial holder;
        holder.OpenDevice(R"(\\.\COM4)");
        ASSERT_TRUE(holder.isActive());
        EXPECT_EQ(comPortErrorCode([&] { m_port.setOpen(true); }), ComPortCode::EPortInUse);
        EXPECT_FALSE(m_port.Open());
    }
    m_port.setOpen(true);
    EXPECT_TRUE(m_port.Open());
    TLineSerial other;
    other.OpenDevice(R"(\\.\COM4)");
    EXPECT_EQ(other.LastError(), EBUSY);

    TReaderComPort badLimits;
    badLimits.setComNumber(4);
    badLimits.XoffLevel = 5; // below XonLevel 10
    EXPECT_EQ(comPortErrorCode([&] { badLimits.setOpen(true); }), ComPortCode::EBadLimits);
}

TEST_F(ReaderPort, ReaderLineSettings) {
    m_port.setOpen(true);
    termios tio{};
    ASSERT_EQ(tcgetattr(m_pty->keptSlaveFd(), &tio), 0);
    EXPECT_EQ(cfgetispeed(&tio), speed_t(B9600));
    EXPECT_EQ(tio.c_iflag & (IXON | IXOFF), tcflag_t(IXOFF)); // XON/XOFF on reception only
    EXPECT_EQ(tio.c_cc[VSTART], 17);
    EXPECT_EQ(tio.c_cc[VSTOP], 19);
    EXPECT_EQ(tio.c_lflag & (ICANON | ECHO), 0u);
}

TEST_F(ReaderPort, BurstIsAnnouncedInFullAndInOrder) {
    collectAll();
    m_port.setOpen(true);
    m_pty->writeAll("0123456789");
    ASSERT_TRUE(processEventsUntil([&] { return m_received.size() >= 10; }, 2000));
    EXPECT_EQ(m_received, "0123456789");
    int sum = 0;
    for (int c : m_counts) {
        EXPECT_GE(c, 1);
        sum += c;
    }
    EXPECT_EQ(sum, 10);

    // A card from the reader simulator, framed and sent in pieces with pauses.
    m_received.clear();
    sim::OrvanReader reader(*m_pty);
    ASSERT_TRUE(reader.sendCard("ABCDEF0123", 4, 15));
    ASSERT_TRUE(processEventsUntil([&] { return m_received.size() >= 13; }, 2000));
    EXPECT_EQ(m_received, "\x02"
                          "ABCDEF0123\r\n");
}

TEST_F(ReaderPort, ReadingPastTheCountAndLeftovers) {
    QList<qint32> errors;
    QList<int> counts;
    int handlerCalls = 0;
    QObject::connect(&m_port, &TReaderComPort::OnTriggerAvail, &m_port, [&](quint16 count) {
        counts << count;
        if (++handlerCalls == 1) {
            m_port.ReadChar(); // takes one of three, leaves two
            return;
        }
        for (int i = 0; i < count; ++i)
            m_received += char(m_port.ReadChar());
        errors << comPortErrorCode([&] { m_port.ReadChar(); });
    });
    m_port.setOpen(true);
    m_pty->writeAll("abc");
    ASSERT_TRUE(processEventsUntil([&] { return handlerCalls >= 1 && m_port.waitingCount() == 2; }, 2000));
    // No new announcement for the two left over until something else arrives.
    processEventsUntil([] { return false; }, 100);
    EXPECT_EQ(handlerCalls, 1);
    m_pty->writeAll("d");
    ASSERT_TRUE(processEventsUntil([&] { return handlerCalls >= 2; }, 2000));
    EXPECT_EQ(counts, (QList<int>{3, 3}));
    EXPECT_EQ(m_received, "bcd");
    EXPECT_EQ(errors, (QList<qint32>{ComPortCode::ENothingToRead}));
}

TEST_F(ReaderPort, ClosingInsideTheEvent) {
    int calls = 0;
    QObject::connect(&m_port, &TReaderComPort::OnTriggerAvail, &m_port, [&](quint16 count) {
        ++calls;
        m_received += char(m_port.ReadChar());
        m_port.setOpen(false);
        EXPECT_FALSE(m_port.Open());
        EXPECT_EQ(m_port.ReadChar(), 0); // being shut down
        (void)count;
    });
    m_port.setOpen(true);
    m_pty->writeAll("xyz");
    ASSERT_TRUE(processEventsUntil([&] { return calls >= 1; }, 2000));
    processEventsUntil([] { return false; }, 50);
    EXPECT_EQ(calls, 1);
    EXPECT_FALSE(m_port.Open());
    // Released: another port object can take the device, and the port reopens later.
    {
        TLineSerial other;
        other.OpenDevice(R"(\\.\COM4)");
        EXPECT_EQ(other.LastError(), 0);
    }
    m_pty->writeAll("q");
    m_port.setOpen(true);
    m_pty->writeAll("r");
    ASSERT_TRUE(processEventsUntil([&] { return calls >= 2; }, 2000));
    EXPECT_EQ(m_received.right(1), "r"); // "q" came while closed and was flushed at open
}

TEST_F(ReaderPort, DestroyedInsideTheEvent) {
    auto* port = new TReaderComPort;
    port->setComNumber(4);
    bool called = false;
    QObject::connect(port, &TReaderComPort::OnTriggerAvail, port, [&](quint16) {
        called = true;
        delete port;
    });
    port->setOpen(true);
    m_pty->writeAll("1");
    ASSERT_TRUE(processEventsUntil([&] { return called; }, 2000));
    processEventsUntil([] { return false; }, 30);
    TLineSerial other;
    other.OpenDevice(R"(\\.\COM4)");
    EXPECT_EQ(other.LastError(), 0);
}

TEST_F(ReaderPort, ChangingTheNumberReopens) {
    collectAll();
    auto second = makePort(8);
    m_port.setOpen(true);
    m_port.setComNumber(8);
    EXPECT_TRUE(m_port.Open());
    second->writeAll("Z");
    ASSERT_TRUE(processEventsUntil([&] { return m_received == "Z"; }, 2000));
    TLineSerial first;
    first.OpenDevice(R"(\\.\COM4)"); // COM4 was released
    EXPECT_EQ(first.LastError(), 0);
}

// Characters arriving and the line falling silent again are no loss; only a
// device that goes away is, and it is reported once.
TEST_F(ReaderPort, DeviceGoneIsReportedOnce) {
    QList<int> lost;
    QObject::connect(&m_port, &TReaderComPort::deviceLost, &m_port, [&](int code) { lost << code; });
    collectAll();
    m_port.setOpen(true);
    m_pty->writeAll("\x02"
                    "3A7C10F5B2\r\n");
    ASSERT_TRUE(processEventsUntil([&] { return m_received.size() >= 13; }, 2000));
    m_pty->writeAll("0123456789");
    ASSERT_TRUE(processEventsUntil([&] { return m_received.size() >= 23; }, 2000));
    processEventsUntil([] { return false; }, 50);
    EXPECT_TRUE(lost.isEmpty()) << lost.size();

    m_pty.reset(); // the reader's adapter is pulled out
    ASSERT_TRUE(processEventsUntil([&] { return !lost.isEmpty(); }, 2000));
    processEventsUntil([] { return false; }, 50);
    EXPECT_EQ(lost, (QList<int>{EIO}));
    EXPECT_TRUE(m_port.Open()); // until the editor closes it
    m_port.setOpen(false);
    EXPECT_FALSE(m_port.Open());
}

// A hang-up (what an unplugged USB adapter gives: reads return nothing, the
// device reports POLLHUP) is a lost device too.
TEST_F(ReaderPort, HangUpIsALostDevice) {
    QList<int> lost;
    QObject::connect(&m_port, &TReaderComPort::deviceLost, &m_port, [&](int code) { lost << code; });
    m_port.setOpen(true);
    ASSERT_EQ(::ioctl(m_pty->keptSlaveFd(), TIOCVHANGUP), 0) << strerror(errno);
    ASSERT_TRUE(processEventsUntil([&] { return !lost.isEmpty(); }, 2000));
    processEventsUntil([] { return false; }, 50);
    EXPECT_EQ(lost, (QList<int>{EIO}));
}
