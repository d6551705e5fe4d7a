#pragma once

#include <QString>
#include <QtGlobal>

namespace varek {

// The two devices on the workstation's serial ports.
enum class SerialPeer { Zintor, Orvan };

// What the port was doing when it failed. A missing device at open means "no
// such port"; the same error later means the device went away.
enum class SerialStep { Opening, Sending, Receiving };

// One Russian line that tells the operator what went wrong with a serial port
// and what to do about it. It stands before the port's own error text
// ("Communication error %d: %s") in the programming device's reports, and it
// is the key editor's reader line when the reader is not connected.
//
// portName: "COM3" as chosen on the Settings page, or empty when no port is
// chosen. devicePath: the device the port was opened as (a ports/ link or a
// /dev path), empty when there is none. code: the system's error number or
// one of TLineSerial's codes (line_serial.h).
//
// For a refused open (EACCES, EPERM) the line names the device node and its
// group, read from the node itself, and the command that adds the user to that
// group; a node that only root may open asks for the administrator instead.
QString serialFailureCause(SerialPeer peer, const QString& portName, const QString& devicePath, qint32 code,
                           SerialStep step);

// "COM3" for the device names that TLineSerial takes ("\\.\COM3", "COM3");
// empty for COM0 (no port chosen); any other name as it is.
QString portNameOfDevice(const QString& deviceName);

} // namespace varek
