#pragma once

#include <cstring>

// The bytes of a record's fields as the codec and the CSV writer read them:
// the blanks around them, the digits of a date.
namespace varek {

// The codec's blank: a space or a zero byte.
inline bool isBlankByte(unsigned char c) {
    return c == ' ' || c == 0;
}

// The length of a field's bytes without the blanks that trail them. Wide
// text fields are mostly trailing blanks, so they are passed over eight at
// a time first.
inline int lengthWithoutTrailingBlanks(const unsigned char* p, int length) {
    int e = length;
    while (e >= 8) {
        unsigned long long w;
        std::memcpy(&w, p + e - 8, 8);
        if (w != 0x2020202020202020ull && w != 0) break;
        e -= 8;
    }
    while (e > 0 && isBlankByte(p[e - 1]))
        --e;
    return e;
}

// Narrows the bytes [b, e) of a field to those between its leading and
// trailing blanks (b == e when it is all blanks).
inline void trimBlanks(const unsigned char* p, int& b, int& e) {
    while (b < e && isBlankByte(p[b]))
        ++b;
    while (e > b && isBlankByte(p[e - 1]))
        --e;
}

// The eight bytes of a date field: blanks or zeros alone (null), eight
// digits (year, month and day put out, not yet checked as a date), or
// anything else.
enum class DateBytes { Null, Digits, Other };

inline DateBytes readDateBytes(const unsigned char* p, int& year, int& month, int& day) {
    bool blank = true, zeros = true, digits = true;
    for (int i = 0; i < 8; ++i) {
        blank = blank && isBlankByte(p[i]);
        zeros = zeros && (p[i] == '0' || isBlankByte(p[i]));
        digits = digits && p[i] >= '0' && p[i] <= '9';
    }
    if (blank || zeros) return DateBytes::Null;
    if (!digits) return DateBytes::Other;
    year = (p[0] - '0') * 1000 + (p[1] - '0') * 100 + (p[2] - '0') * 10 + (p[3] - '0');
    month = (p[4] - '0') * 10 + (p[5] - '0');
    day = (p[6] - '0') * 10 + (p[7] - '0');
    return DateBytes::Digits;
}

} // namespace varek
