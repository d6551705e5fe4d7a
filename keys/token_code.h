#pragma once

#include <QString>

namespace varek {

// Key identifiers. A token code is the 8-byte image of a 1-Wire ROM written as
// 16 upper-case hexadecimal digits: family "01", the 48-bit serial number
// least significant byte first, and the Dallas CRC-8 of the first seven bytes.
// None of these functions keeps state or touches the register.

// The token code of a reader frame: the first ten characters of readerDigits
// (hexadecimal digits as the reader delivered them; the rest is ignored).
// Lower-case digits are taken as upper case. Fewer than ten characters, or a
// character that is not a hexadecimal digit, throws EConvertError.
QString TokenCodeOf(const QString& readerDigits);

// One step of the Dallas/Maxim 1-Wire CRC-8 (CRC-8/MAXIM: reflected polynomial
// 0x8C, initial value 0, no final inversion) over one data byte.
quint8 Crc8Step(quint8 crc, quint8 data);

// The check byte of a token code: CRC-8 of the seven byte pairs in characters
// 1-14 (upper or lower case). A missing or non-hexadecimal pair throws
// EConvertError "'x<pair>' is not a valid integer value".
quint8 DallasCrc8(const QString& text);

// The card number FFF.NNNNN of a token code: FFF is byte 4 (digits 7-8) in
// decimal, NNNNN is digits 5-6 followed by digits 3-4 in decimal, each filled
// with "0" on the left to 3 and 5 digits. Reads digits 3-8 only; a missing or
// non-hexadecimal group throws EConvertError naming "x" and the group.
QString CardNumberOf(const QString& tokenCode);

// fill repeated (width - length of text) times, then text; text itself when it
// is already width characters long or longer.
QString PadLeft(const QString& fill, const QString& text, int width);

// True for exactly 16 hexadecimal digits (either case).
bool isWellFormedTokenCode(const QString& code);

// A code as an operator typed it, made ready for storing: blanks around it
// removed, letters in upper case.
QString normalizeTokenCode(const QString& code);

} // namespace varek
