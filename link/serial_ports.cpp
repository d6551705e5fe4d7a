#include "link/serial_ports.h"

#include "core/app_paths.h"

#include <QDir>
#include <QFile>
#include <QMap>
#include <QRegularExpression>

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

void addMachineDevices(QMap<int, SerialPortEntry>& ports) {
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
    addMachineDevices(ports); // skips numbers ports/ already gave
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
    if (n == 0) return {};
    const QMap<int, SerialPortEntry> ports = collectPorts();
    const auto it = ports.constFind(n);
    return it == ports.cend() ? QString() : it->devicePath;
}

} // namespace varek
