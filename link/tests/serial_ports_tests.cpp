#include "link/serial_ports.h"

#include "tools/pty_util.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <gtest/gtest.h>

using namespace varek;

TEST(SerialPorts, MachineDeviceNumbering) {
    const struct {
        const char* name;
        int number;
    } cases[] = {
        {"ttyS0", 1},     {"ttyS3", 4},    {"ttyS31", 32},   {"ttyS32", 0},   {"ttyUSB0", 33},
        {"ttyUSB31", 64}, {"ttyACM0", 65}, {"ttyACM31", 96}, {"ttyACM32", 0}, {"ttyS01", 0},
        {"tty0", 0},      {"ttyAMA0", 0},  {"pts", 0},       {"ttyUSB", 0},
    };
    for (const auto& c : cases)
        EXPECT_EQ(comNumberForDeviceName(QString::fromLatin1(c.name)), c.number) << c.name;
}

TEST(SerialPorts, EntryNames) {
    EXPECT_EQ(comNumberForEntryName("COM1"), 1);
    EXPECT_EQ(comNumberForEntryName("COM255"), 255);
    EXPECT_EQ(comNumberForEntryName("COM256"), 0);
    EXPECT_EQ(comNumberForEntryName("COM0"), 0);
    EXPECT_EQ(comNumberForEntryName("COM05"), 0);
    EXPECT_EQ(comNumberForEntryName("com5"), 0);
    EXPECT_EQ(comNumberForEntryName("COM5.bak"), 0);
}

// ports/ links to live pseudo-terminals are listed in number order and win
// over machine devices; anything else in ports/ is ignored.
TEST(SerialPorts, PortsDirectoryEntries) {
    QTemporaryDir home;
    ASSERT_TRUE(home.isValid());
    qputenv("VAREK_HOME", home.path().toLocal8Bit());
    const QString ports = home.filePath("ports");

    sim::PtyPair a, b, c;
    const QString linkA = a.linkAs(ports, 200);
    const QString linkB = b.linkAs(ports, 1); // would be ttyS0 on a machine with one
    c.linkAs(ports, 7);
    ASSERT_TRUE(QFile::link(QDir(ports).filePath("nowhere"), QDir(ports).filePath("COM9"))); // dangling
    QFile plain(QDir(ports).filePath("COM10"));
    ASSERT_TRUE(plain.open(QIODevice::WriteOnly)); // not a device
    plain.close();
    ASSERT_TRUE(QFile::link(b.slavePath(), QDir(ports).filePath("COM011")));
    ASSERT_TRUE(QFile::link(b.slavePath(), QDir(ports).filePath("COM300")));
    c.unlink(); // the simulator went away

    const QStringList names = serialPortNames();
    EXPECT_EQ(names.first(), "COM1");
    EXPECT_TRUE(names.contains("COM200"));
    for (const char* absent : {"COM7", "COM9", "COM10", "COM011", "COM300"})
        EXPECT_FALSE(names.contains(absent)) << absent;
    int last = 0;
    for (const SerialPortEntry& e : serialPortEntries()) {
        EXPECT_GT(e.number, last);
        EXPECT_EQ(e.name, QStringLiteral("COM%1").arg(e.number));
        last = e.number;
    }
    EXPECT_EQ(devicePathFor(200), linkA);
    EXPECT_EQ(devicePathFor(1), linkB);
    EXPECT_EQ(devicePathFor(0), QString());
    EXPECT_EQ(devicePathFor(9), QString());
    EXPECT_EQ(devicePathFor(250), QString());
    qunsetenv("VAREK_HOME");
}

namespace {

// A temporary VAREK_HOME and a by-id directory of its own for one test.
struct UsbFixture {
    QTemporaryDir home;
    QString byId;
    UsbFixture() {
        qputenv("VAREK_HOME", home.path().toLocal8Bit());
        byId = home.filePath("by-id");
        QDir().mkpath(byId);
        setSerialByIdRoot(byId);
    }
    ~UsbFixture() {
        setSerialByIdRoot(QString());
        qunsetenv("VAREK_HOME");
    }
    // Plugs an adapter: its by-id name links to the pseudo-terminal.
    void plug(const QString& name, const sim::PtyPair& pty) const {
        QFile::remove(QDir(byId).filePath(name));
        ASSERT_TRUE(QFile::link(pty.slavePath(), QDir(byId).filePath(name)));
    }
    void unplug(const QString& name) const { QFile::remove(QDir(byId).filePath(name)); }
    QMap<QString, int> numbers() const {
        QMap<QString, int> out;
        for (const SerialPortEntry& e : serialPortEntries())
            if (!e.stableName.isEmpty()) out.insert(e.stableName, e.number);
        return out;
    }
};

const QString kFtdi = QStringLiteral("usb-FTDI_FT232R_USB_UART_A601X4NB-if00-port0");
const QString kProlific = QStringLiteral("usb-Prolific_Technology_Inc._USB-Serial_Controller-if00-port0");
const QString kCh340 = QStringLiteral("usb-1a86_USB_Serial-if00-port0");

} // namespace

// Adapters are numbered from COM33 the first time they are seen, in name
// order, and keep their numbers however and whenever they are plugged again.
TEST(SerialPorts, UsbAdaptersKeepTheirNumbersAcrossReplugging) {
    UsbFixture f;
    sim::PtyPair a, b, c;
    f.plug(kFtdi, a);
    f.plug(kProlific, b);
    ASSERT_TRUE(QFile::link(QDir(f.home.path()).filePath("nowhere"), QDir(f.byId).filePath("usb-gone-if00")));
    EXPECT_EQ(f.numbers(), (QMap<QString, int>{{kFtdi, 33}, {kProlific, 34}}));
    SerialPortEntry entry;
    ASSERT_TRUE(findSerialPort(34, entry));
    EXPECT_EQ(entry.name, "COM34");
    EXPECT_EQ(entry.devicePath, QDir(f.byId).filePath(kProlific)); // opened through its stable name
    EXPECT_EQ(entry.stableName, kProlific);

    // Both out; the Prolific adapter comes back first, on another device,
    // and a new adapter that sorts before both is plugged in.
    f.unplug(kFtdi);
    f.unplug(kProlific);
    EXPECT_TRUE(f.numbers().isEmpty());
    f.plug(kCh340, c);
    f.plug(kProlific, a);
    EXPECT_EQ(f.numbers(), (QMap<QString, int>{{kCh340, 35}, {kProlific, 34}}));
    f.plug(kFtdi, b);
    EXPECT_EQ(f.numbers(), (QMap<QString, int>{{kCh340, 35}, {kFtdi, 33}, {kProlific, 34}}));
    EXPECT_EQ(devicePathFor(33), QDir(f.byId).filePath(kFtdi));

    // The numbers live in a file beside the settings: a later run finds them.
    QFile file(usbPortNumbersFile());
    ASSERT_TRUE(file.open(QIODevice::ReadOnly));
    const QString text = QString::fromUtf8(file.readAll());
    EXPECT_TRUE(text.contains("33 " + kFtdi + "\n"));
    EXPECT_TRUE(text.contains("35 " + kCh340 + "\n"));
    EXPECT_TRUE(usbPortNumbersFile().startsWith(f.home.path()));
}

// A ports/ entry keeps its precedence: while it holds an adapter's number the
// adapter is not listed, and a new adapter is given a number no one holds.
TEST(SerialPorts, PortsEntriesWinOverUsbAdapters) {
    UsbFixture f;
    sim::PtyPair adapter, simulator, other;
    f.plug(kFtdi, adapter);
    ASSERT_EQ(f.numbers().value(kFtdi), 33);
    const QString link = simulator.linkAs(f.home.filePath("ports"), 33);
    f.plug(kProlific, other);
    EXPECT_EQ(f.numbers(), (QMap<QString, int>{{kProlific, 34}}));
    EXPECT_EQ(devicePathFor(33), link);
    simulator.unlink();
    EXPECT_EQ(f.numbers(), (QMap<QString, int>{{kFtdi, 33}, {kProlific, 34}}));
}

// Hand-edited or damaged lines of the numbers file are passed over.
TEST(SerialPorts, UsbNumbersFileToleratesBadLines) {
    UsbFixture f;
    QFile file(usbPortNumbersFile());
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    file.write("# mine\n40 " + kProlific.toUtf8() + "\nabc " + kFtdi.toUtf8() + "\n300 x\n\n");
    file.close();
    sim::PtyPair a, b;
    f.plug(kFtdi, a);
    f.plug(kProlific, b);
    EXPECT_EQ(f.numbers(), (QMap<QString, int>{{kFtdi, 33}, {kProlific, 40}}));
}
