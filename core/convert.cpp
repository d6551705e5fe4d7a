#include "core/convert.h"

#include "core/errors.h"

namespace varek {

std::optional<qint32> tryStrToInt(const QString& text) {
    qsizetype i = 0;
    const qsizetype n = text.size();
    while (i < n && text[i] == u' ')
        ++i;
    bool negative = false;
    if (i < n && (text[i] == u'+' || text[i] == u'-')) {
        negative = text[i] == u'-';
        ++i;
    }
    int base = 10;
    if (i < n && text[i] == u'$') {
        base = 16;
        ++i;
    } else if (i < n && (text[i] == u'x' || text[i] == u'X')) {
        base = 16;
        ++i;
    } else if (i + 1 < n && text[i] == u'0' && (text[i + 1] == u'x' || text[i + 1] == u'X')) {
        base = 16;
        i += 2;
    }
    if (i >= n) return std::nullopt;
    quint64 value = 0;
    for (; i < n; ++i) {
        const int digit = QChar(text[i]).isDigit() && text[i].unicode() < 128 ? text[i].unicode() - '0'
                          : base == 16 && text[i] >= u'a' && text[i] <= u'f'  ? text[i].unicode() - 'a' + 10
                          : base == 16 && text[i] >= u'A' && text[i] <= u'F'  ? text[i].unicode() - 'A' + 10
                                                                              : -1;
        if (digit < 0 || digit >= base) return std::nullopt;
        value = value * base + digit;
        if (value > 0xFFFFFFFFull) return std::nullopt;
    }
    if (base == 10) {
        if (negative ? value > 0x80000000ull : value > 0x7FFFFFFFull) return std::nullopt;
        return static_cast<qint32>(negative ? -static_cast<qint64>(value) : static_cast<qint64>(value));
    }
    const auto bits = static_cast<quint32>(value);
    return static_cast<qint32>(negative ? 0u - bits : bits);
}

qint32 strToInt(const QString& text) {
    if (auto v = tryStrToInt(text)) return *v;
    throw EConvertError::notInteger(text);
}

} // namespace varek
