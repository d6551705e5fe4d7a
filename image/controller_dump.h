#pragma once

#include <QString>
#include <QStringList>
#include <QVector>

namespace varek {

// A controller's 8 KB memory image written as 256 dump lines: the address of
// the line's first byte as five upper-case hexadecimal digits, ": ", then the
// line's 32 bytes as 64 upper-case hexadecimal digits.
//
// Layout (every byte not named here is FF):
//   0x0000-0x037F  check region: check byte of the access key in slot i
//                  (slot 895 always free: it would have no code slot)
//   0x0380, 0x0381 check bytes of master 1 and master 2
//   0x0382         open time
//   0x0388-0x1F7F  code region: the 8-byte code of the access key in slot i
//                  at 0x0388 + 8 * i (i = 0 ... 894)
//   0x1F88, 0x1F90 codes of master 1 and master 2
namespace image {
constexpr int kImageBytes = 8192;
constexpr int kLineBytes = 32;
constexpr int kLineCount = kImageBytes / kLineBytes;         // 256
constexpr int kCheckLineCount = 28;                          // the check region, lines "00000" to "00360"
constexpr int kTailLineCount = kLineCount - kCheckLineCount; // from "00380" onward
constexpr int kMaxAccessKeys = 895;
} // namespace image

// One row of the view of the controller's keys, as the builder needs it.
struct ImageKey {
    qint32 status = 0; // 0 (or empty) is a master key, any other value an access key
    QString tokenCode; // as stored
    QString tokenCard; // for messages only
    QString userName;  // for messages only
};

// What the builder gives: either the lines of the image, or a refusal.
struct ControllerImage {
    QStringList lines;   // the 256 dump lines in address order; empty when refused
    QStringList notices; // plain messages for the operator; the image is built all the same
    QString refusal;     // not empty: nothing was built, and this is the message to show

    bool built() const { return refusal.isEmpty(); }
    // The lines from "00380" onward (the working list of the Details page).
    QStringList tailLines() const { return lines.mid(image::kCheckLineCount); }
};

// Builds the image of a controller from its open time and its keys in view
// order. Access keys take slots in order, at most 895 of them; access keys
// past the 895th are left out with one notice, but the walk goes on, so master
// keys that come after them are still used. Of the master keys the first two
// are used; one master key fills both
// master places, none leaves them FF. Refuses when the open time is not one
// byte (0-255) or any key's code is not 16 hexadecimal digits; lower-case
// codes are written in upper case. controllerName is used in messages only.
ControllerImage buildControllerImage(const QString& controllerName, qint32 openTime,
                                     const QVector<ImageKey>& keys);

// The notice given when the controller has more access keys than fit.
QString tooManyKeysMessage();

} // namespace varek
