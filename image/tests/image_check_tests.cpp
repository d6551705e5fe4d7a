#include "image/image_check.h"

#include "image/controller_dump.h"
#include "keys/token_code.h"

#include <QMap>
#include <functional>
#include <gtest/gtest.h>

using namespace varek;

namespace {

const QString kA = QStringLiteral("01B2F5107C3A0086");
const QString kB = QStringLiteral("01D104117C3A00F8");
const QString kC = QStringLiteral("01C3E0127C3A0044"); // not granted by the register
const QString kM = QStringLiteral("0117002A7C3A0016");
const QString kN = QStringLiteral("0155002A7C3A0099");

QStringList imageOf(qint32 openTime, const QVector<ImageKey>& keys) {
    const ControllerImage image = buildControllerImage(QStringLiteral("Вход"), openTime, keys);
    EXPECT_TRUE(image.built()) << image.refusal.toStdString();
    return image.lines;
}

ImageKey access(const QString& code) {
    return {1, code, {}, {}};
}
ImageKey master(const QString& code) {
    return {0, code, {}, {}};
}

// The register's image: two access keys and one master, open time 5.
QStringList registerImage() {
    return imageOf(5, {access(kA), master(kM), access(kB)});
}

std::optional<KeyHolder> lookup(const QString& code) {
    if (code == kA) return KeyHolder{QStringLiteral("124.62898"), QStringLiteral("Иванов И. И.")};
    if (code == kC) return KeyHolder{QStringLiteral("224.00042"), QStringLiteral("Петров П. П.")};
    return std::nullopt;
}

// Puts text at a character position of a line (after "AAAAA: ").
QStringList patched(QStringList lines, int line, int byte, const QString& hex) {
    lines[line].replace(7 + 2 * byte, hex.size(), hex);
    return lines;
}

struct Case {
    const char* name;
    std::function<QStringList()> device;
    QStringList wanted; // texts that must each appear in one difference line, in order
};

} // namespace

TEST(ImageCheck, ComparesTheDeviceWithTheRegister) {
    const Case cases[] = {
        {"the same image", [] { return registerImage(); }, {}},
        {"keys in other slots, masters swapped",
         [] {
             return imageOf(5, {access(kB), access(kA), master(kM)});
         },
         {}},
        {"an extra key named from the register",
         [] {
             return imageOf(5, {access(kA), access(kB), access(kC), master(kM)});
         },
         {QStringLiteral("Лишний ключ в ячейке 2: 01C3E0127C3A0044 (жетон 224.00042, Петров П. П.)")}},
        {"an extra key unknown to the register",
         [] {
             return imageOf(5, {access(kA), access(kB), access(kN), master(kM)});
         },
         {QStringLiteral("Лишний ключ в ячейке 2: 0155002A7C3A0099 (нет в реестре)")}},
        {"a missing key",
         [] {
             return imageOf(5, {access(kB), master(kM)});
         },
         {QStringLiteral("Нет выданного ключа: 01B2F5107C3A0086 (жетон 124.62898, Иванов И. И.)")}},
        {"another master",
         [] {
             return imageOf(5, {access(kA), access(kB), master(kN)});
         },
         {QStringLiteral(
              "Мастер-ключ 1: в контроллере 0155002A7C3A0099 (нет в реестре), в реестре 0117002A7C3A0016"),
          QStringLiteral("Мастер-ключ 2: в контроллере 0155002A7C3A0099")}},
        {"no master",
         [] {
             return imageOf(5, {access(kA), access(kB)});
         },
         {QStringLiteral("Мастер-ключ 1: в контроллере нет, в реестре 0117002A7C3A0016"),
          QStringLiteral("Мастер-ключ 2: в контроллере нет")}},
        {"open time",
         [] {
             return imageOf(7, {access(kA), master(kM), access(kB)});
         },
         {QStringLiteral("Время открытия: в контроллере 7, в реестре 5")}},
        {"a wrong check byte",
         [] { return patched(registerImage(), 0, 1, QStringLiteral("00")); },
         {QStringLiteral("Ячейка 1: неверный байт проверки 00 (должен быть F8) у ключа 01D104117C3A00F8")}},
        {"a check byte without a code",
         [] { return patched(registerImage(), 27, 31, QStringLiteral("12")); },
         {QStringLiteral("Ячейка 895: байт проверки 12 без кода ключа")}},
        {"a wrong master check byte",
         [] { return patched(registerImage(), 28, 1, QStringLiteral("17")); },
         {QStringLiteral("Мастер-ключ 2: неверный байт проверки 17 (должен быть 16)")}},
        {"stray bytes",
         [] { return patched(registerImage(), 252, 0, QStringLiteral("00")); },
         {QStringLiteral("Посторонние данные вне ключей: байт 1, первый по адресу 1F80")}},
        {"one key twice",
         [] {
             QStringList l = registerImage();
             l = patched(l, 0, 2, QStringLiteral("86")); // check of slot 2
             return patched(l, 28, 24, kA);              // code of slot 2 at 0x0398
         },
         {QStringLiteral(
             "Ключ 01B2F5107C3A0086 (жетон 124.62898, Иванов И. И.) записан в нескольких ячейках: 0, 2")}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const ImageCheck check = compareWithRegister(c.device(), registerImage(), lookup);
        ASSERT_TRUE(check.whole) << check.fault.toStdString();
        ASSERT_EQ(check.differences.size(), c.wanted.size()) << check.differences.join(u'\n').toStdString();
        for (int i = 0; i < c.wanted.size(); ++i)
            EXPECT_TRUE(check.differences[i].startsWith(c.wanted[i])) << check.differences[i].toStdString();
        const QStringList report = check.report();
        ASSERT_EQ(report.size(), c.wanted.size() + 1);
        EXPECT_EQ(report[0], c.wanted.isEmpty()
                                 ? QStringLiteral("Память соответствует реестру")
                                 : QStringLiteral("Отличий от реестра: %1").arg(c.wanted.size()));
        EXPECT_EQ(check.matches(), c.wanted.isEmpty());
    }
}

TEST(ImageCheck, ANonWholeReadBackIsNeverAMatch) {
    const Case cases[] = {
        {"no lines", [] { return QStringList(); }, {QStringLiteral("строк нет")}},
        {"truncated", [] { return registerImage().mid(0, 255); }, {QStringLiteral("строк 255 вместо 256")}},
        {"a line too many",
         [] { return registerImage() << registerImage().last(); },
         {QStringLiteral("строк 257")}},
        {"out of order",
         [] {
             QStringList l = registerImage();
             l.swapItemsAt(3, 4);
             return l;
         },
         {QStringLiteral("строка 4: ожидался адрес 00060")}},
        {"a wrong address",
         [] { return QStringList(registerImage()).replaceInStrings(u"01FE0:", u"01FF0:"); },
         {QStringLiteral("строка 256: ожидался адрес 01FE0")}},
        {"a short line",
         [] {
             QStringList l = registerImage();
             l[40].chop(2);
             return l;
         },
         {QStringLiteral("строка 41: 69 символов вместо 71")}},
        {"non-hex",
         [] { return patched(registerImage(), 100, 5, QStringLiteral("G0")); },
         {QStringLiteral("строка 101: не шестнадцатеричные цифры")}},
        {"no colon",
         [] {
             QStringList l = registerImage();
             l[7][5] = u'-';
             return l;
         },
         {QStringLiteral("строка 8: после адреса нет")}},
        {"a missing line in the middle",
         [] {
             QStringList l = registerImage();
             l.removeAt(10);
             return l;
         },
         {QStringLiteral("строк 255")}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const ImageCheck check = compareWithRegister(c.device(), registerImage(), lookup);
        EXPECT_FALSE(check.whole);
        EXPECT_FALSE(check.matches());
        EXPECT_TRUE(check.differences.isEmpty());
        EXPECT_TRUE(check.fault.startsWith(c.wanted[0])) << check.fault.toStdString();
        ASSERT_EQ(check.report().size(), 1);
        EXPECT_TRUE(check.report()[0].startsWith(QStringLiteral("Сверка невозможна")))
            << check.report()[0].toStdString();
    }
}

TEST(ImageCheck, ReadsLowerCaseLineEndsAndBlankLines) {
    QStringList lines = registerImage();
    for (QString& l : lines)
        l = l.toLower() + QStringLiteral("\r");
    lines.insert(100, QString());
    lines.append(QStringLiteral(" "));
    EXPECT_TRUE(compareWithRegister(lines, registerImage(), lookup).matches());
}

TEST(ImageCheck, DecodesSlotsMastersAndOpenTime) {
    const DecodedImage d = decodeDumpLines(registerImage());
    ASSERT_TRUE(d.whole);
    ASSERT_EQ(d.keys.size(), 2);
    EXPECT_EQ(d.keys[0].slot, 0);
    EXPECT_EQ(d.keys[0].code, kA);
    EXPECT_EQ(d.keys[0].check, 0x86);
    EXPECT_EQ(d.keys[1].slot, 1);
    EXPECT_EQ(d.keys[1].code, kB);
    EXPECT_EQ(d.master1Code, kM);
    EXPECT_EQ(d.master2Code, kM);
    EXPECT_EQ(d.master2Check, 0x16);
    EXPECT_EQ(d.openTime, 5);
    EXPECT_EQ(d.strayBytes, 0);
}
