#pragma once

#include <QString>
#include <QStringList>
#include <QVector>
#include <functional>
#include <optional>

namespace varek {

// Reading a controller's memory back and comparing it with the image the
// register gives for the same controller (buildControllerImage).

// One access key found in an image: its slot, its code (16 hexadecimal
// digits, "FFFFFFFFFFFFFFFF" when the slot holds a check byte only) and the
// check byte stored for it in the check region.
struct ImageSlot {
    int slot = 0;
    QString code;
    quint8 check = 0xFF;
};

// What 256 dump lines say, decoded. whole is false when the lines are not a
// whole image (fault then says why, in Russian) and nothing else is filled.
struct DecodedImage {
    bool whole = false;
    QString fault;
    QVector<ImageSlot> keys; // occupied slots in slot order
    QString master1Code, master2Code;
    quint8 master1Check = 0xFF, master2Check = 0xFF;
    quint8 openTime = 0xFF;
    int strayBytes = 0; // bytes outside every key, master and the open time that are not FF
    int firstStrayAddress = -1;
};

// Decodes dump lines: exactly 256 lines, line i starting with the address
// 32 * i as five hexadecimal digits, then ": " and 64 hexadecimal digits.
// Blank lines (a read-back may carry empty replies) and blanks or line ends
// around a line are ignored; either case is read.
DecodedImage decodeDumpLines(const QStringList& lines);

// What the register knows of a key code: its card number and holder.
struct KeyHolder {
    QString card;
    QString holder;
};
using KeyLookup = std::function<std::optional<KeyHolder>(const QString& code)>;

// The outcome of a comparison: whole is false when the device's lines are not
// a whole image (then there are no differences, and no match either).
struct ImageCheck {
    bool whole = false;
    QString fault;
    QStringList differences; // one Russian line per difference

    bool matches() const { return whole && differences.isEmpty(); }
    // The verdict line, then one line per difference.
    QStringList report() const;
};

// Compares the device's dump lines with the register's (the lines that
// buildControllerImage gives for the same controller). Access keys are
// compared as a set of codes, since their slots follow the register's view
// order; the two master keys as a pair in either order. lookup may be empty.
// Throws VarekError when registerLines are not a whole image.
ImageCheck compareWithRegister(const QStringList& deviceLines, const QStringList& registerLines,
                               const KeyLookup& lookup);

} // namespace varek
