#include "image/controller_dump.h"

#include "keys/token_code.h"

#include <array>

namespace varek {

namespace {

using namespace image;

constexpr int kChecksAt = 0x0000;
constexpr int kMaster1CheckAt = 0x0380;
constexpr int kMaster2CheckAt = 0x0381;
constexpr int kOpenTimeAt = 0x0382;
constexpr int kCodesAt = 0x0388;
constexpr int kMaster1CodeAt = 0x1F88;
constexpr int kMaster2CodeAt = 0x1F90;
constexpr int kCodeBytes = 8;
// Most malformed keys named one by one in the refusal; the rest are counted.
constexpr int kMaxKeysNamed = 20;

using Image = std::array<quint8, kImageBytes>;

int hexValue(QChar c) {
    const char16_t u = c.unicode();
    if (u >= u'0' && u <= u'9') return u - u'0';
    if (u >= u'A' && u <= u'F') return u - u'A' + 10;
    return u - u'a' + 10; // the code has been checked to hold hexadecimal digits only
}

// Writes a well-formed code's eight bytes at address.
void putCode(Image& memory, int address, const QString& code) {
    for (int i = 0; i < kCodeBytes; ++i)
        memory[address + i] = static_cast<quint8>(hexValue(code[2 * i]) * 16 + hexValue(code[2 * i + 1]));
}

quint8 checkByte(const QString& code) {
    return static_cast<quint8>(hexValue(code[14]) * 16 + hexValue(code[15]));
}

QStringList dumpLines(const Image& memory) {
    static constexpr char kHex[] = "0123456789ABCDEF";
    QStringList lines;
    lines.reserve(kLineCount);
    // "AAAAA: " followed by 64 digits.
    constexpr int kLineLength = 5 + 2 + 2 * kLineBytes;
    for (int line = 0; line < kLineCount; ++line) {
        const int address = line * kLineBytes;
        QString text(kLineLength, Qt::Uninitialized);
        QChar* out = text.data();
        for (int shift = 16; shift >= 0; shift -= 4)
            *out++ = QLatin1Char(kHex[(address >> shift) & 0xF]);
        *out++ = u':';
        *out++ = u' ';
        for (int i = 0; i < kLineBytes; ++i) {
            const quint8 byte = memory[address + i];
            *out++ = QLatin1Char(kHex[byte >> 4]);
            *out++ = QLatin1Char(kHex[byte & 0xF]);
        }
        lines.append(text);
    }
    return lines;
}

QString malformedKeysMessage(const QString& controllerName, const QVector<const ImageKey*>& bad) {
    QString text = QStringLiteral("У контроллера «%1» есть ключи с неверным кодом. Код ключа должен состоять "
                                  "из 16 шестнадцатеричных цифр. Исправьте коды этих ключей; дамп памяти "
                                  "не построен.\n")
                       .arg(controllerName);
    for (int i = 0; i < bad.size() && i < kMaxKeysNamed; ++i)
        text += QStringLiteral("\nЖетон «%1», пользователь «%2», код «%3»")
                    .arg(bad[i]->tokenCard, bad[i]->userName, bad[i]->tokenCode);
    if (bad.size() > kMaxKeysNamed)
        text += QStringLiteral("\n… и ещё ключей: %1").arg(bad.size() - kMaxKeysNamed);
    return text;
}

} // namespace

QString tooManyKeysMessage() {
    return QStringLiteral(
               "Количество ключей превышает память контроллера. Будут записаны только первые %1 ключей.")
        .arg(kMaxAccessKeys);
}

ControllerImage buildControllerImage(const QString& controllerName, qint32 openTime,
                                     const QVector<ImageKey>& keys) {
    ControllerImage result;

    QStringList refusals;
    if (openTime < 0 || openTime > 255)
        refusals << QStringLiteral("Время открывания контроллера «%1» равно %2, а должно быть от 0 до 255. "
                                   "Исправьте его в свойствах контроллера; дамп памяти не построен.")
                        .arg(controllerName)
                        .arg(openTime);
    QVector<const ImageKey*> malformed;
    for (const ImageKey& key : keys)
        if (!isWellFormedTokenCode(key.tokenCode)) malformed.append(&key);
    if (!malformed.isEmpty()) refusals << malformedKeysMessage(controllerName, malformed);
    if (!refusals.isEmpty()) {
        result.refusal = refusals.join(QStringLiteral("\n\n"));
        return result;
    }

    Image memory;
    memory.fill(0xFF);
    int usedSlots = 0;
    QString master1;
    QString master2;
    for (const ImageKey& key : keys) {
        const QString code = key.tokenCode.toUpper();
        if (key.status != 0) {
            // Access keys past the memory's slots are left out, but the walk goes on:
            // a master key further down the view still gets its place.
            if (usedSlots == kMaxAccessKeys) {
                if (result.notices.isEmpty()) result.notices << tooManyKeysMessage();
                continue;
            }
            memory[kChecksAt + usedSlots] = checkByte(code);
            putCode(memory, kCodesAt + kCodeBytes * usedSlots, code);
            ++usedSlots;
        } else if (master1.isEmpty()) {
            master1 = code;
        } else if (master2.isEmpty()) {
            master2 = code;
        }
    }
    if (master2.isEmpty()) master2 = master1;
    if (!master1.isEmpty()) {
        memory[kMaster1CheckAt] = checkByte(master1);
        memory[kMaster2CheckAt] = checkByte(master2);
        putCode(memory, kMaster1CodeAt, master1);
        putCode(memory, kMaster2CodeAt, master2);
    }
    memory[kOpenTimeAt] = static_cast<quint8>(openTime);

    result.lines = dumpLines(memory);
    return result;
}

} // namespace varek
