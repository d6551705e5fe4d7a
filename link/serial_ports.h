#pragma once

#include <QList>
#include <QString>
#include <QStringList>
#include <QtGlobal>

namespace varek {

// The workstation's serial ports as COMn names, and the device behind each.
//
// Sources, in this order of precedence:
//  1. Entries of appDir() + "ports/" named COMn (n from 1 to 255, no leading
//     zeros), each a symbolic link to a tty device, for example the slave side
//     of a pseudo-terminal made by a device simulator. An entry counts only
//     while it resolves to a character device.
//  2. USB serial adapters, by their stable names: every entry of the by-id
//     directory (/dev/serial/by-id) that resolves to a character device.
//     The first time an adapter is seen it gets the lowest number of its
//     range that no other adapter holds (COM33..COM64; COM65..COM96 for an
//     adapter whose device is a ttyACM), and the number is remembered
//     against its name in appDir() + "usb_ports.txt" (beside settings.ini).
//     Replugged, in any order or into another socket, it gets the same number.
//     Such a port opens through its by-id link.
//  3. The machine's other serial devices, numbered as follows (only devices
//     that exist; for /dev/ttyS<k> only ports with real hardware behind them,
//     that is whose /sys/class/tty/ttyS<k>/type is not 0 = unknown):
//        /dev/ttyS<k>    k = 0..31   ->  COM<k+1>    (COM1..COM32)
//        /dev/ttyUSB<k>  k = 0..31   ->  COM<k+33>   (COM33..COM64)
//        /dev/ttyACM<k>  k = 0..31   ->  COM<k+65>   (COM65..COM96)
//     A USB device listed under its by-id name in 2 is not listed again;
//     higher device numbers are not listed.
// A ports/ entry wins over an adapter or a device with the same number, so
// COM97..COM255 and any number already taken by hardware can be given to
// ports/ links (an adapter whose number a ports/ entry holds is not listed
// while it does). The list is ordered by ascending number; it is read afresh
// on every call.

struct SerialPortEntry {
    quint8 number = 0;  // n of COMn, 1..255
    QString name;       // "COMn"
    QString devicePath; // the ports/ link, the by-id link or the /dev path to open
    QString stableName; // a USB adapter's by-id name; empty for other ports
};

// The directory of USB adapters' stable names: /dev/serial/by-id unless set
// otherwise for this process (tests give a directory of their own); an empty
// text restores the default.
QString serialByIdRoot();
void setSerialByIdRoot(const QString& root);

// The file in which the adapters' numbers are remembered.
QString usbPortNumbersFile();

// Every port, ordered by number.
QList<SerialPortEntry> serialPortEntries();

// The names "COM1", "COM3", ... in the same order.
QStringList serialPortNames();

// The path to open for COMn, or an empty text when there is no such port
// (n = 0 included).
QString devicePathFor(quint8 n);

// The entry of COMn; false when there is no such port.
bool findSerialPort(quint8 n, SerialPortEntry& entry);

// The number a machine serial device gets under the fixed numbering above
// ("ttyS0" -> 1, "ttyUSB2" -> 35, "ttyACM0" -> 65); 0 for any other name.
int comNumberForDeviceName(const QString& deviceName);

// The number n of a ports/ entry name "COMn" (1..255, no leading zeros); 0 otherwise.
int comNumberForEntryName(const QString& entryName);

} // namespace varek
