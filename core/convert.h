#pragma once

#include <QString>
#include <optional>

namespace varek {

// Reads an integer the way every number typed or stored as text is read:
// optional leading blanks, an optional sign, then decimal digits, or
// hexadecimal digits after one of $, x, X, 0x, 0X. Nothing may follow and the
// value must fit in 32 bits (hexadecimal up to FFFFFFFF, taken as a 32-bit
// pattern). Anything else, the empty text included, gives nothing.
std::optional<qint32> tryStrToInt(const QString& text);

// As tryStrToInt, but a text that cannot be read throws
// EConvertError "'<text>' is not a valid integer value".
qint32 strToInt(const QString& text);

} // namespace varek
