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
//  2. The machine's serial devices, numbered as follows (only devices that
//     exist; for /dev/ttyS<k> only ports with real hardware behind them, that
//     is whose /sys/class/tty/ttyS<k>/type is not 0 = unknown):
//        /dev/ttyS<k>    k = 0..31   ->  COM<k+1>    (COM1..COM32)
//        /dev/ttyUSB<k>  k = 0..31   ->  COM<k+33>   (COM33..COM64)
//        /dev/ttyACM<k>  k = 0..31   ->  COM<k+65>   (COM65..COM96)
//     Higher device numbers are not listed.
// A ports/ entry wins over a device with the same number, so COM97..COM255 and
// any number already taken by hardware can be given to ports/ links.
// The list is ordered by ascending number; it is read afresh on every call.

struct SerialPortEntry {
    quint8 number = 0;  // n of COMn, 1..255
    QString name;       // "COMn"
    QString devicePath; // the ports/ link or the /dev path to open
};

// Every port, ordered by number.
QList<SerialPortEntry> serialPortEntries();

// The names "COM1", "COM3", ... in the same order.
QStringList serialPortNames();

// The path to open for COMn, or an empty text when there is no such port
// (n = 0 included).
QString devicePathFor(quint8 n);

// The number a machine serial device gets under the fixed numbering above
// ("ttyS0" -> 1, "ttyUSB2" -> 35, "ttyACM0" -> 65); 0 for any other name.
int comNumberForDeviceName(const QString& deviceName);

// The number n of a ports/ entry name "COMn" (1..255, no leading zeros); 0 otherwise.
int comNumberForEntryName(const QString& entryName);

} // namespace varek
