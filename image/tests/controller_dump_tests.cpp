#include "image/controller_dump.h"
#include "keys/token_code.h"

#include <QMap>
#include <gtest/gtest.h>

using namespace varek;

// Readable failures.
static void PrintTo(const QString& s, std::ostream* os) {
    *os << '"' << s.toStdString() << '"';
}

namespace {

QString address(int a) {
    return QStringLiteral("%1").arg(a, 5, 16, QLatin1Char('0')).toUpper();
}

QString ffLine(int a) {
    return address(a) + QStringLiteral(": ") + QString(64, u'F');
}

// All-FF lines with the given lines put in their place.
QStringList expectedImage(const QMap<int, QString>& lines) {
    QStringList out;
    for (int line = 0; line < image::kLineCount; ++line) {
        const int a = line * 32;
        out << (lines.contains(a) ? lines[a] : ffLine(a));
    }
    return out;
}

ImageKey access(const QString& code) {
    return {1, code, QStringLiteral("016.62898"), QStringLiteral("Иванов")};
}

ImageKey master(const QString& code) {
    return {0, code, QStringLiteral("023.00042"), QStringLiteral("Петров")};
}

// A distinct, well-formed code per number.
QString codeNo(int n) {
    return TokenCodeOf(QStringLiteral("%1").arg(0x3A7C000000ll + n, 10, 16, QLatin1Char('0')));
}

QVector<ImageKey> accessKeys(int count) {
    QVector<ImageKey> keys;
    for (int i = 0; i < count; ++i)
        keys << access(codeNo(i));
    return keys;
}

} // namespace

TEST(ControllerImage, ThreeKeyExampleLineByLine) {
    const ControllerImage built = buildControllerImage(QStringLiteral("Вход"), 5,
                                                       {access(QStringLiteral("01B2F5107C3A0086")),
                                                        master(QStringLiteral("0117002A7C3A0016")),
                                                        access(QStringLiteral("01D104117C3A00F8"))});
    ASSERT_TRUE(built.built());
    EXPECT_TRUE(built.notices.isEmpty());
    const QStringList expected = expectedImage({
        {0x00000, QStringLiteral("00000: 86F8") + QString(60, u'F')},
        {0x00380, QStringLiteral("00380: 161605FFFFFFFFFF01B2F5107C3A008601D104117C3A00F8FFFFFFFFFFFFFFFF")},
        {0x01F80, QStringLiteral("01F80: FFFFFFFFFFFFFFFF0117002A7C3A00160117002A7C3A0016FFFFFFFFFFFFFFFF")},
    });
    ASSERT_EQ(built.lines.size(), 256);
    for (int i = 0; i < 256; ++i) {
        EXPECT_EQ(built.lines[i], expected[i]) << "line " << i;
        EXPECT_EQ(built.lines[i].size(), 71) << "line " << i;
    }
    EXPECT_EQ(built.tailLines(), expected.mid(28));
    EXPECT_TRUE(built.tailLines().first().startsWith(QStringLiteral("00380: ")));
    EXPECT_EQ(built.tailLines().size(), 228);
    // A second build gives the same lines.
    EXPECT_EQ(buildControllerImage(QStringLiteral("Вход"), 5,
                                   {access(QStringLiteral("01B2F5107C3A0086")),
                                    master(QStringLiteral("0117002A7C3A0016")),
                                    access(QStringLiteral("01D104117C3A00F8"))})
                  .lines,
              built.lines);
}

TEST(ControllerImage, NoKeysLeavesOnlyTheOpenTime) {
    const ControllerImage built = buildControllerImage(QStringLiteral("Вход"), 0x0A, {});
    ASSERT_TRUE(built.built());
    EXPECT_EQ(built.lines, expectedImage({{0x380, QStringLiteral("00380: FFFF0A") + QString(58, u'F')}}));
    EXPECT_EQ(built.lines.last(), ffLine(0x1FE0));
}

TEST(ControllerImage, MasterKeys) {
    const QString m1 = QStringLiteral("0117002A7C3A0016");
    const QString m2 = QStringLiteral("01B2F5107C3A0086");
    const QString m3 = QStringLiteral("01D104117C3A00F8");
    // Three masters: only the first two in view order.
    ControllerImage built = buildControllerImage(QString(), 1, {master(m1), master(m2), master(m3)});
    EXPECT_EQ(built.lines[28], QStringLiteral("00380: 168601") + QString(58, u'F'));
    EXPECT_EQ(built.lines[252], QStringLiteral("01F80: ") + QString(16, u'F') + m1 + m2 + QString(16, u'F'));
    EXPECT_FALSE(built.lines.join(QString()).contains(m3));
    // One master fills both places.
    built = buildControllerImage(QString(), 1, {access(m3), master(m2)});
    EXPECT_EQ(built.lines[28], QStringLiteral("00380: 868601FFFFFFFFFF") + m3 + QString(32, u'F'));
    EXPECT_EQ(built.lines[252], QStringLiteral("01F80: ") + QString(16, u'F') + m2 + m2 + QString(16, u'F'));
}

TEST(ControllerImage, AtMost895AccessKeys) {
    const QVector<ImageKey> keys895 = accessKeys(895);
    const ControllerImage full = buildControllerImage(QString(), 5, keys895);
    ASSERT_TRUE(full.built());
    EXPECT_TRUE(full.notices.isEmpty());
    // Slot 894 is the last one: its check byte is the second last byte of
    // "00360", the 896th check slot stays FF.
    EXPECT_EQ(full.lines[27].mid(7 + 60), codeNo(894).right(2) + QStringLiteral("FF"));
    // Its code fills the end of line "01F60"; 0x1F80-0x1F87 stay FF.
    EXPECT_EQ(full.lines[251].right(16), codeNo(894));
    EXPECT_EQ(full.lines[252], ffLine(0x1F80));
    // Slot 3 starts line "003A0".
    EXPECT_EQ(full.lines[29].mid(7, 16), codeNo(3));
    for (const QString& line : full.lines)
        ASSERT_EQ(line.size(), 71);

    // Two more access keys: the notice once, the image of the first 895.
    QVector<ImageKey> keys = keys895;
    keys << access(codeNo(895)) << access(codeNo(896));
    const ControllerImage cut = buildControllerImage(QString(), 5, keys);
    ASSERT_TRUE(cut.built());
    EXPECT_EQ(
        cut.notices,
        QStringList{QStringLiteral(
            "Количество ключей превышает память контроллера. Будут записаны только первые 895 ключей.")});
    EXPECT_EQ(cut.lines, full.lines);

    // A master key after the cut still opens the door: only access keys are left out.
    keys << master(QStringLiteral("0117002A7C3A0016"));
    const ControllerImage withMaster = buildControllerImage(QString(), 5, keys);
    ASSERT_TRUE(withMaster.built());
    EXPECT_EQ(withMaster.notices.size(), 1);
    EXPECT_EQ(withMaster.lines.mid(0, 28), full.lines.mid(0, 28));
    EXPECT_EQ(withMaster.lines[28].left(11), QStringLiteral("00380: 1616"));
    EXPECT_EQ(withMaster.lines[252],
              QStringLiteral("01F80: FFFFFFFFFFFFFFFF0117002A7C3A00160117002A7C3A0016FFFFFFFFFFFFFFFF"));
}

TEST(ControllerImage, LowerCaseCodesAreWrittenUpperCase) {
    const ControllerImage built = buildControllerImage(
        QString(), 5,
        {access(QStringLiteral("01b2f5107c3a0086")), master(QStringLiteral("0117002a7c3a0016"))});
    ASSERT_TRUE(built.built());
    EXPECT_EQ(built.lines[0], QStringLiteral("00000: 86") + QString(62, u'F'));
    EXPECT_EQ(built.lines[28], QStringLiteral("00380: 161605FFFFFFFFFF01B2F5107C3A0086") + QString(32, u'F'));
}

TEST(ControllerImage, MalformedCodesRefuseTheWholeImage) {
    const char* bad[] = {"01B2F5107C3A008", "01B2F5107C3A00861", "01B2F5107C3A008G", "01B2F5107C3A008 ", ""};
    for (const char* code : bad) {
        for (const int status : {0, 1}) {
            ImageKey key{status, QString::fromLatin1(code), QStringLiteral("016.62898"),
                         QStringLiteral("Сидоров С. С.")};
            const ControllerImage built = buildControllerImage(
                QStringLiteral("Склад"), 5, {access(QStringLiteral("01D104117C3A00F8")), key});
            EXPECT_FALSE(built.built()) << code;
            EXPECT_TRUE(built.lines.isEmpty()) << code;
            EXPECT_TRUE(built.refusal.contains(QStringLiteral("«Склад»")));
            EXPECT_TRUE(built.refusal.contains(
                QStringLiteral("Жетон «016.62898», пользователь «Сидоров С. С.», код «%1»")
                    .arg(QString::fromLatin1(code))))
                << built.refusal.toStdString();
        }
    }
    // Every malformed key is named, up to twenty, then counted.
    QVector<ImageKey> many;
    for (int i = 0; i < 25; ++i)
        many << ImageKey{1, QStringLiteral("BAD%1").arg(i), QString(), QString()};
    const ControllerImage built = buildControllerImage(QStringLiteral("Склад"), 5, many);
    EXPECT_TRUE(built.refusal.contains(QStringLiteral("код «BAD19»")));
    EXPECT_FALSE(built.refusal.contains(QStringLiteral("код «BAD20»")));
    EXPECT_TRUE(built.refusal.contains(QStringLiteral("ещё ключей: 5")));
}

TEST(ControllerImage, OpenTimeMustBeOneByte) {
    struct Case {
        qint32 openTime;
        bool built;
        const char* header;
    };
    const Case cases[] = {{0, true, "FFFF00"}, {255, true, "FFFFFF"}, {16, true, "FFFF10"},
                          {256, false, ""},    {300, false, ""},      {-1, false, ""}};
    for (const Case& c : cases) {
        const ControllerImage built = buildControllerImage(QStringLiteral("Ворота"), c.openTime, {});
        EXPECT_EQ(built.built(), c.built) << c.openTime;
        if (c.built) {
            EXPECT_EQ(built.lines[28].mid(7, 6), QString::fromLatin1(c.header));
        } else {
            EXPECT_TRUE(built.lines.isEmpty());
            EXPECT_EQ(
                built.refusal,
                QStringLiteral("Время открывания контроллера «Ворота» равно %1, а должно быть от 0 до 255. "
                               "Исправьте его в свойствах контроллера; дамп памяти не построен.")
                    .arg(c.openTime));
        }
    }
}
