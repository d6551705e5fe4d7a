#include "keys/token_code.h"

#include "core/convert.h"
#include "core/errors.h"

namespace varek {

namespace {

// Reads a group of hexadecimal digits the way the conversion error names it:
// "x" followed by the digits.
int hexGroup(const QString& digits) {
    return strToInt(QStringLiteral("x") + digits);
}

bool isHexDigit(QChar c) {
    const char16_t u = c.unicode();
    return (u >= u'0' && u <= u'9') || (u >= u'A' && u <= u'F') || (u >= u'a' && u <= u'f');
}

} // namespace

QString TokenCodeOf(const QString& readerDigits) {
    const QString d = readerDigits.left(10).toUpper();
    if (d.size() < 10) throw EConvertError::notInteger(QStringLiteral("x") + d);
    // The five byte pairs in reverse order, each pair's digits in their own order.
    QString prefix = QStringLiteral("01");
    for (int pair = 4; pair >= 0; --pair)
        prefix += d.mid(pair * 2, 2);
    prefix += QStringLiteral("00");
    const quint8 crc = DallasCrc8(prefix);
    return prefix + QStringLiteral("%1").arg(crc, 2, 16, QLatin1Char('0')).toUpper();
}

quint8 Crc8Step(quint8 crc, quint8 data) {
    for (int bit = 0; bit < 8; ++bit) {
        const bool mix = ((crc ^ data) & 1) != 0;
        crc >>= 1;
        if (mix) crc ^= 0x8C;
        data >>= 1;
    }
    return crc;
}

quint8 DallasCrc8(const QString& text) {
    quint8 crc = 0;
    for (int i = 0; i < 7; ++i)
        crc = Crc8Step(crc, static_cast<quint8>(hexGroup(text.mid(i * 2, 2))));
    return crc;
}

QString CardNumberOf(const QString& tokenCode) {
    const int series = hexGroup(tokenCode.mid(6, 2));
    const int number = hexGroup(tokenCode.mid(4, 2) + tokenCode.mid(2, 2));
    return PadLeft(QStringLiteral("0"), QString::number(series), 3) + u'.' +
           PadLeft(QStringLiteral("0"), QString::number(number), 5);
}

QString PadLeft(const QString& fill, const QString& text, int width) {
    const qsizetype missing = width - text.size();
    return missing > 0 ? fill.repeated(missing) + text : text;
}

bool isWellFormedTokenCode(const QString& code) {
    if (code.size() != 16) return false;
    for (const QChar c : code)
        if (!isHexDigit(c)) return false;
    return true;
}

QString normalizeTokenCode(const QString& code) {
    return code.trimmed().toUpper();
}

} // namespace varek
