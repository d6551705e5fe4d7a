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
