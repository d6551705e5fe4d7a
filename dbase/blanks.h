#pragma once

#include <cstring>

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

} // namespace varek
