#include "link/serial_ports.h"

#include "core/app_paths.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QMap>
#include <QRegularExpression>
#include <QSaveFile>
#include <QSet>
#include <QTextStream>

#include <sys/stat.h>

namespace varek {

namespace {

bool isCharacterDevice(const QString& path) {
    struct stat st {};
    return ::stat(QFile::encodeName(path).constData(), &st) == 0 && S_ISCHR(st.st_mode);
}

// A /dev/ttyS<k> node exists for every possible 8250 port; only those whose
// driver found a UART report a type other than 0 (unknown).
bool isRealUartPort(const QString& deviceName) {
    QFile type(QStringLiteral("/sys/class/tty/%1/type").arg(deviceName));
    if (!type.open(QIODevice::ReadOnly))
        return QFile::exists(QStringLiteral("/sys/class/tty/%1/device/driver").arg(deviceName));
    bool ok = false;
    const int value = type.readAll().trimmed().toInt(&ok);
    return ok && value != 0;
}

QString& byIdRootOverride() {
    static QString root;
    return root;
}

constexpr int kUsbFirst = 33, kUsbLast = 64, kAcmFirst = 65, kAcmLast = 96;

// Remembered numbers by by-id name. Lines "n name"; '#' starts a comment.
QMap<QString, int> readRememberedNumbers() {
    QMap<QString, int> numbers;
    QFile file(usbPortNumbersFile());
    if (!file.open(QIODevice::ReadOnly | QIODevice::Text)) return numbers;
    while (!file.atEnd()) {
        const QString line = QString::fromUtf8(file.readLine()).trimmed();
        if (line.isEmpty() || line.startsWith(u'#')) continue;
        const int blank = int(line.indexOf(u' '));
        if (blank <= 0) continue;
        bool ok = false;
        const int n = line.left(blank).toInt(&ok);
        const QString name = line.mid(blank + 1).trimmed();
        if (!ok || n < 1 || n > 255 || name.isEmpty()) continue;
        numbers.insert(name, n);
    }
    return numbers;
}

// Keeps the numbers for the next run. A file that cannot be written leaves
// the numbers to this listing: the adapters are then numbered afresh, lowest
// free first, next time.
void writeRememberedNumbers(const QMap<QString, int>& numbers) {
    QSaveFile file(usbPortNumbersFile());
    if (!file.open(QIODevice::WriteOnly | QIODevice::Text)) return;
    QTextStream out(&file);
    out << "# COM numbers of USB serial adapters by their /dev/serial/by-id names.\n";
    for (auto it = numbers.cbegin(); it != numbers.cend(); ++it)
        out << it.value() << ' ' << it.key() << '\n';
    out.flush();
    file.commit();
}

// Adds the USB adapters of the by-id directory; returns the devices they
// stand for (canonical paths), which the machine's devices then skip.
QSet<QString> addUsbAdapters(QMap<int, SerialPortEntry>& ports) {
    QSet<QString> devices;
    const QDir dir(serialByIdRoot());
    if (!dir.exists()) return devices;
    const QStringList names =
        dir.entryList(QDir::AllEntries | QDir::System | QDir::NoDotAndDotDot, QDir::Name);
    QMap<QString, int> remembered = readRememberedNumbers();
    QSet<int> held; // numbers remembered for any adapter, present or not
    for (const int n : std::as_const(remembered))
        held.insert(n);
    bool changed = false;
    for (const QString& name : names) {
        const QString link = dir.filePath(name);
        if (!isCharacterDevice(link)) continue;
        const QString device = QFileInfo(link).canonicalFilePath();
        devices.insert(device);
        int n = remembered.value(name, 0);
        if (n == 0) {
            const bool acm = QFileInfo(device).fileName().startsWith(QLatin1String("ttyACM"));
            const int first = acm ? kAcmFirst : kUsbFirst;
            const int last = acm ? kAcmLast : kUsbLast;
            for (int candidate = first; candidate <= last && n == 0; ++candidate)
                if (!held.contains(candidate) && !ports.contains(candidate)) n = candidate;
            if (n == 0) continue; // every number of the range is given
            remembered.insert(name, n);
            held.insert(n);
            changed = true;
        }
        if (ports.contains(n)) continue; // a ports/ entry holds the number
        ports.insert(n, SerialPortEntry{quint8(n), QStringLiteral("COM%1").arg(n), link, name});
    }
    if (changed) writeRememberedNumbers(remembered);
    return devices;
}

void addMachineDevices(QMap<int, SerialPortEntry>& ports, const QSet<QString>& adapters) {
    const QDir dev(QStringLiteral("/dev"));
    const QStringList names =
        dev.entryList({QStringLiteral("ttyS*"), QStringLiteral("ttyUSB*"), QStringLiteral("ttyACM*")},
                      QDir::System | QDir::Files | QDir::NoDotAndDotDot);
    for (const QString& name : names) {
        const int n = comNumberForDeviceName(name);
        if (n == 0 || ports.contains(n)) continue;
        const QString path = dev.filePath(name);
        if (!isCharacterDevice(path)) continue;
        if (name.startsWith(QLatin1String("ttyS")) && !isRealUartPort(name)) continue;
        if (adapters.contains(QFileInfo(path).canonicalFilePath())) continue;
        ports.insert(n, SerialPortEntry{quint8(n), QStringLiteral("COM%1").arg(n), path});
    }
}

void addPortsDirectory(QMap<int, SerialPortEntry>& ports) {
    const QDir dir(appDir() + QStringLiteral("ports"));
    if (!dir.exists()) return;
    const QStringList names = dir.entryList(QDir::AllEntries | QDir::System | QDir::NoDotAndDotDot);
    for (const QString& name : names) {
        const int n = comNumberForEntryName(name);
        if (n == 0) continue;
        const QString path = dir.filePath(name);
        if (!isCharacterDevice(path)) continue;
        ports.insert(n, SerialPortEntry{quint8(n), name, path});
    }
}

QMap<int, SerialPortEntry> collectPorts() {
    QMap<int, SerialPortEntry> ports;
    addPortsDirectory(ports);
    const QSet<QString> adapters = addUsbAdapters(ports);
    addMachineDevices(ports, adapters); // skips numbers already given
    return ports;
}

} // namespace

int comNumberForEntryName(const QString& entryName) {
    static const QRegularExpression pattern(QStringLiteral("^COM([1-9][0-9]{0,2})$"));
    const auto match = pattern.match(entryName);
    if (!match.hasMatch()) return 0;
    const int n = match.captured(1).toInt();
    return n <= 255 ? n : 0;
}

int comNumberForDeviceName(const QString& deviceName) {
    static const QRegularExpression pattern(QStringLiteral("^tty(S|USB|ACM)(0|[1-9][0-9]?)$"));
    const auto match = pattern.match(deviceName);
    if (!match.hasMatch()) return 0;
    const int k = match.captured(2).toInt();
    if (k > 31) return 0;
    const QString kind = match.captured(1);
    if (kind == QLatin1String("S")) return k + 1;
    if (kind == QLatin1String("USB")) return k + 33;
    return k + 65;
}

QList<SerialPortEntry> serialPortEntries() {
    return collectPorts().values();
}

QStringList serialPortNames() {
    QStringList names;
    for (const SerialPortEntry& entry : collectPorts())
        names << entry.name;
    return names;
}

QString devicePathFor(quint8 n) {
    SerialPortEntry entry;
    return findSerialPort(n, entry) ? entry.devicePath : QString();
}

bool findSerialPort(quint8 n, SerialPortEntry& entry) {
    if (n == 0) return false;
    const QMap<int, SerialPortEntry> ports = collectPorts();
    const auto it = ports.constFind(n);
    if (it == ports.cend()) return false;
    entry = *it;
    return true;
}

QString serialByIdRoot() {
    const QString& root = byIdRootOverride();
    return root.isEmpty() ? QStringLiteral("/dev/serial/by-id") : root;
}

void setSerialByIdRoot(const QString& root) {
    byIdRootOverride() = root;
}

QString usbPortNumbersFile() {
    return appDir() + QStringLiteral("usb_ports.txt");
}

} // namespace varek
