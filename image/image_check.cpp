#include "image/image_check.h"

#include "core/errors.h"
#include "image/controller_dump.h"

#include <QHash>
#include <QMap>
#include <array>

namespace varek {

namespace {

constexpr int kCheckSlots = 896; // 0x0000-0x037F
constexpr int kCodeSlots = 895;  // 0x0388 + 8 * i
constexpr int kCodeBase = 0x0388;
constexpr int kMaster1Check = 0x0380;
constexpr int kMaster2Check = 0x0381;
constexpr int kOpenTime = 0x0382;
constexpr int kMaster1Code = 0x1F88;
constexpr int kMaster2Code = 0x1F90;
const QString kNoCode = QStringLiteral("FFFFFFFFFFFFFFFF");

using Bytes = std::array<quint8, image::kImageBytes>;

int hexDigit(QChar c) {
    const ushort u = c.unicode();
    if (u >= '0' && u <= '9') return u - '0';
    if (u >= 'A' && u <= 'F') return u - 'A' + 10;
    if (u >= 'a' && u <= 'f') return u - 'a' + 10;
    return -1;
}

QString lineFault(int index, const QString& what) {
    return QStringLiteral("строка %1: %2").arg(index + 1).arg(what);
}

// Fills bytes from the lines; returns the fault, empty when the image is whole.
QString readLines(const QStringList& given, Bytes& bytes) {
    QStringList lines;
    for (const QString& line : given)
        if (!line.trimmed().isEmpty()) lines << line;
    if (lines.isEmpty()) return QStringLiteral("строк нет");
    if (lines.size() != image::kLineCount)
        return QStringLiteral("строк %1 вместо %2").arg(lines.size()).arg(image::kLineCount);
    for (int i = 0; i < image::kLineCount; ++i) {
        QString line = lines[i].trimmed();
        const QString address =
            QStringLiteral("%1").arg(i * image::kLineBytes, 5, 16, QLatin1Char('0')).toUpper();
        if (line.left(5).toUpper() != address)
            return lineFault(i, QStringLiteral("ожидался адрес %1").arg(address));
        if (line.mid(5, 2) != QLatin1String(": "))
            return lineFault(i, QStringLiteral("после адреса нет \": \""));
        if (line.size() != 7 + 2 * image::kLineBytes)
            return lineFault(
                i, QStringLiteral("%1 символов вместо %2").arg(line.size()).arg(7 + 2 * image::kLineBytes));
        for (int b = 0; b < image::kLineBytes; ++b) {
            const int hi = hexDigit(line[7 + 2 * b]);
            const int lo = hexDigit(line[8 + 2 * b]);
            if (hi < 0 || lo < 0) return lineFault(i, QStringLiteral("не шестнадцатеричные цифры"));
            bytes[i * image::kLineBytes + b] = quint8(hi * 16 + lo);
        }
    }
    return {};
}

QString codeAt(const Bytes& bytes, int address) {
    QString code;
    for (int k = 0; k < 8; ++k)
        code += QStringLiteral("%1").arg(bytes[address + k], 2, 16, QLatin1Char('0')).toUpper();
    return code;
}

QString hexByte(quint8 b) {
    return QStringLiteral("%1").arg(b, 2, 16, QLatin1Char('0')).toUpper();
}

// The check byte a code should have in the check region: its last byte.
quint8 expectedCheck(const QString& code) {
    return quint8(code.right(2).toUInt(nullptr, 16));
}

bool isKeyField(int address) {
    return address < kOpenTime + 1 || (address >= kCodeBase && address < kCodeBase + 8 * kCodeSlots) ||
           (address >= kMaster1Code && address < kMaster2Code + 8);
}

} // namespace

DecodedImage decodeDumpLines(const QStringList& lines) {
    DecodedImage out;
    Bytes bytes;
    bytes.fill(0xFF);
    out.fault = readLines(lines, bytes);
    if (!out.fault.isEmpty()) return out;
    out.whole = true;
    for (int slot = 0; slot < kCheckSlots; ++slot) {
        const QString code = slot < kCodeSlots ? codeAt(bytes, kCodeBase + 8 * slot) : kNoCode;
        if (bytes[slot] == 0xFF && code == kNoCode) continue;
        out.keys.append({slot, code, bytes[slot]});
    }
    out.master1Check = bytes[kMaster1Check];
    out.master2Check = bytes[kMaster2Check];
    out.openTime = bytes[kOpenTime];
    out.master1Code = codeAt(bytes, kMaster1Code);
    out.master2Code = codeAt(bytes, kMaster2Code);
    for (int a = 0; a < image::kImageBytes; ++a) {
        if (isKeyField(a) || bytes[a] == 0xFF) continue;
        if (out.firstStrayAddress < 0) out.firstStrayAddress = a;
        ++out.strayBytes;
    }
    return out;
}

QStringList ImageCheck::report() const {
    if (!whole) return {QStringLiteral("Сверка невозможна: считан не полный образ памяти (%1)").arg(fault)};
    if (differences.isEmpty()) return {QStringLiteral("Память соответствует реестру")};
    QStringList out{QStringLiteral("Отличий от реестра: %1").arg(differences.size())};
    out += differences;
    return out;
}

ImageCheck compareWithRegister(const QStringList& deviceLines, const QStringList& registerLines,
                               const KeyLookup& lookup) {
    const DecodedImage reg = decodeDumpLines(registerLines);
    if (!reg.whole)
        throw VarekError(QStringLiteral("Образ памяти по реестру не построен: %1").arg(reg.fault));
    const DecodedImage dev = decodeDumpLines(deviceLines);
    ImageCheck check;
    check.whole = dev.whole;
    check.fault = dev.fault;
    if (!dev.whole) return check;

    const auto describe = [&lookup](const QString& code) {
        if (code == kNoCode) return QStringLiteral("нет");
        const std::optional<KeyHolder> holder = lookup ? lookup(code) : std::nullopt;
        if (!holder) return QStringLiteral("%1 (нет в реестре)").arg(code);
        const QString name = holder->holder.trimmed();
        return name.isEmpty() ? QStringLiteral("%1 (жетон %2)").arg(code, holder->card.trimmed())
                              : QStringLiteral("%1 (жетон %2, %3)").arg(code, holder->card.trimmed(), name);
    };
    QStringList& diff = check.differences;

    QHash<QString, int> granted; // register's access codes
    for (const ImageSlot& k : reg.keys)
        granted.insert(k.code, k.slot);
    QMap<QString, QList<int>> present; // device's codes and their slots
    for (const ImageSlot& k : dev.keys) {
        if (k.code == kNoCode) {
            diff << QStringLiteral("Ячейка %1: байт проверки %2 без кода ключа")
                        .arg(k.slot)
                        .arg(hexByte(k.check));
            continue;
        }
        present[k.code].append(k.slot);
        if (!granted.contains(k.code))
            diff << QStringLiteral("Лишний ключ в ячейке %1: %2").arg(k.slot).arg(describe(k.code));
        else if (k.check != expectedCheck(k.code))
            diff << QStringLiteral("Ячейка %1: неверный байт проверки %2 (должен быть %3) у ключа %4")
                        .arg(k.slot)
                        .arg(hexByte(k.check), hexByte(expectedCheck(k.code)), describe(k.code));
    }
    for (auto it = present.cbegin(); it != present.cend(); ++it) {
        if (it.value().size() < 2) continue;
        QStringList where;
        for (int s : it.value())
            where << QString::number(s);
        diff << QStringLiteral("Ключ %1 записан в нескольких ячейках: %2")
                    .arg(describe(it.key()), where.join(u", "));
    }
    for (const ImageSlot& k : reg.keys)
        if (!present.contains(k.code))
            diff << QStringLiteral("Нет выданного ключа: %1").arg(describe(k.code));

    const bool sameMasters = (dev.master1Code == reg.master1Code && dev.master2Code == reg.master2Code) ||
                             (dev.master1Code == reg.master2Code && dev.master2Code == reg.master1Code);
    if (!sameMasters) {
        if (dev.master1Code != reg.master1Code)
            diff << QStringLiteral("Мастер-ключ 1: в контроллере %1, в реестре %2")
                        .arg(describe(dev.master1Code), describe(reg.master1Code));
        if (dev.master2Code != reg.master2Code)
            diff << QStringLiteral("Мастер-ключ 2: в контроллере %1, в реестре %2")
                        .arg(describe(dev.master2Code), describe(reg.master2Code));
    }
    const struct {
        int number;
        const QString& code;
        quint8 check;
    } masters[] = {{1, dev.master1Code, dev.master1Check}, {2, dev.master2Code, dev.master2Check}};
    for (const auto& m : masters) {
        const quint8 want = m.code == kNoCode ? quint8(0xFF) : expectedCheck(m.code);
        if (m.check != want)
            diff << QStringLiteral("Мастер-ключ %1: неверный байт проверки %2 (должен быть %3)")
                        .arg(m.number)
                        .arg(hexByte(m.check), hexByte(want));
    }
    if (dev.openTime != reg.openTime)
        diff << QStringLiteral("Время открытия: в контроллере %1, в реестре %2")
                    .arg(dev.openTime)
                    .arg(reg.openTime);
    if (dev.strayBytes > 0)
        diff << QStringLiteral("Посторонние данные вне ключей: байт %1, первый по адресу %2")
                    .arg(dev.strayBytes)
                    .arg(QStringLiteral("%1").arg(dev.firstStrayAddress, 4, 16, QLatin1Char('0')).toUpper());
    return check;
}

} // namespace varek
