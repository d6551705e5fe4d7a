#include "core/errors.h"
#include "dbase/codepage.h"
#include "dbase/dbf.h"
#include "dbase/tests/dbf_test_util.h"

#include <QFile>
#include <QTemporaryDir>
#include <gtest/gtest.h>

using namespace varek;
using varek::test::RawField;
using varek::test::RawTable;

namespace {

QVector<DbfField> sampleFields() {
    return {{"NAME", 'C', 20, 0},
            {"NUM", 'N', 11, 0},
            {"PRICE", 'N', 8, 2},
            {"GIVEN", 'D', 8, 0},
            {"OK", 'L', 1, 0}};
}

std::vector<std::pair<quint32, QVector<QVariant>>> readRows(const DbfFile& file) {
    std::vector<std::pair<quint32, QVector<QVariant>>> rows;
    file.readAll(
        [&](quint32 recno, QVector<QVariant>&& values) { rows.emplace_back(recno, std::move(values)); });
    return rows;
}

QByteArray fileBytes(const QString& path) {
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly)) return {};
    return f.readAll();
}

} // namespace

class DbfRoundTrip : public ::testing::TestWithParam<quint8> {};

TEST_P(DbfRoundTrip, WritesAndReadsBackEveryKindOfValue) {
    QTemporaryDir dir;
    const QString path = dir.filePath("t.dbf");
    DbfFile::create(path, sampleFields(), GetParam());
    auto file = DbfFile::open(path);
    EXPECT_EQ(file->version(), 0x03);
    EXPECT_EQ(file->languageDriver(), GetParam());
    EXPECT_EQ(file->codePageName(), GetParam() == 0x65 ? "cp866" : "cp1251");
    EXPECT_EQ(file->fieldIndex("price"), 2);
    EXPECT_EQ(file->fieldIndex("Given"), 3);
    EXPECT_EQ(file->fieldIndex("absent"), -1);
    EXPECT_EQ(file->fields()[2].offset, 1 + 20 + 11);

    const QVector<QVariant> a{QString("Иванов Иван Ёж"), qint64(-2147483648LL), 12.5, QDate(2024, 2, 29),
                              true};
    const QVector<QVariant> b{QString("  leading kept"), qint64(2147483647), QVariant(), QVariant(), false};
    const QVector<QVariant> c{QVariant(), QVariant(), QVariant(), QVariant(), QVariant()};
    EXPECT_EQ(file->appendRecord(a), 0u);
    EXPECT_EQ(file->appendRecord(b), 1u);
    EXPECT_EQ(file->appendRecord(c), 2u);
    EXPECT_EQ(file->recordCount(), 3u);
    EXPECT_EQ(file->lastUpdate(), QDate::currentDate());
    EXPECT_EQ(fileBytes(path).back(), '\x1A');

    auto reopened = DbfFile::open(path);
    auto rows = readRows(*reopened);
    ASSERT_EQ(rows.size(), 3u);
    EXPECT_EQ(rows[0].second, a);
    EXPECT_EQ(rows[1].second, b);
    EXPECT_EQ(rows[2].second, c);
    EXPECT_EQ(rows[0].second[1].typeId(), QMetaType::LongLong);
    EXPECT_EQ(rows[0].second[2].typeId(), QMetaType::Double);

    // Rewrite one, delete another: the file keeps its size, the deleted row is hidden.
    const qint64 size = fileBytes(path).size();
    QVector<QVariant> b2 = b;
    b2[0] = QString("Петров");
    b2[2] = 0.25;
    reopened->writeRecord(1, b2);
    reopened->deleteRecord(0);
    EXPECT_EQ(fileBytes(path).size(), size);
    rows = readRows(*DbfFile::open(path));
    ASSERT_EQ(rows.size(), 2u);
    EXPECT_EQ(rows[0].first, 1u);
    EXPECT_EQ(rows[0].second, b2);
    EXPECT_EQ(rows[1].first, 2u);
}

INSTANTIATE_TEST_SUITE_P(CodePages, DbfRoundTrip, ::testing::Values(quint8(0x65), quint8(0xC9)));

TEST(DbfCreate, RefusesToOverwriteAnExistingFile) {
    QTemporaryDir dir;
    const QString path = dir.filePath("t.dbf");
    DbfFile::create(path, sampleFields(), 0x65);
    DbfFile::open(path)->appendRecord({QString("x"), 1, 1.0, QDate(2020, 1, 1), true});
    EXPECT_THROW(DbfFile::create(path, sampleFields(), 0x65), EDatabaseError);
    EXPECT_EQ(DbfFile::open(path)->recordCount(), 1u);
}

struct RefusedCase {
    const char* name;
    int field;
    QVariant value;
};

TEST(DbfWrite, RefusesValuesThatDoNotFitAndWritesNothing) {
    QTemporaryDir dir;
    const QString path = dir.filePath("t.dbf");
    DbfFile::create(path, sampleFields(), 0x65);
    auto file = DbfFile::open(path);
    const QVector<QVariant> good{QString("x"), 1, 1.0, QDate(2020, 1, 1), true};
    file->appendRecord(good);
    const QByteArray before = fileBytes(path);
    const RefusedCase cases[] = {
        {"text longer than the field", 0, QString(21, QChar(u'ж'))},
        {"character outside the code page", 0, QString("日本")},
        {"integer with too many digits", 1, qint64(123456789012LL)},
        {"number too wide with its decimals", 2, 123456.0},
        {"fraction in a whole-number field", 1, 1.5},
        {"text in a numeric field", 1, QString("12a")},
    };
    for (const RefusedCase& c : cases) {
        QVector<QVariant> values = good;
        values[c.field] = c.value;
        try {
            file->writeRecord(0, values);
            ADD_FAILURE() << c.name << ": accepted";
        } catch (const EDatabaseError& e) {
            EXPECT_TRUE(e.message().contains(path)) << c.name << ": " << e.what();
            EXPECT_TRUE(e.message().contains(file->fields()[c.field].name)) << c.name << ": " << e.what();
        }
        EXPECT_THROW(file->checkFits(values), EDatabaseError) << c.name;
        EXPECT_THROW(file->appendRecord(values), EDatabaseError) << c.name;
    }
    EXPECT_EQ(fileBytes(path), before);
    // Exactly full is fine; trailing blanks beyond the width carry nothing and go.
    QVector<QVariant> full = good;
    full[0] = QString(20, QChar(u'ж')) + "   ";
    full[1] = qint64(-1234567890);
    full[2] = 99999.99;
    EXPECT_NO_THROW(file->checkFits(full));
    EXPECT_EQ(file->fieldWidth(0), 20);
    EXPECT_EQ(file->fieldWidth(1), 11);
}

namespace {

QByteArray encoded(const CodePage& cp, const QString& text, int width) {
    QByteArray out;
    EXPECT_TRUE(cp.encode(text, out, nullptr));
    return out.leftJustified(width, ' ');
}

QByteArray level7Int(qint32 v) {
    const quint32 raw = quint32(v) ^ 0x80000000u;
    const char b[4] = {char(raw >> 24), char(raw >> 16), char(raw >> 8), char(raw)};
    return QByteArray(b, 4);
}

} // namespace

TEST(DbfLevel7, ReadsAndWritesFortyEightByteDescriptorsAndBigEndianIntegers) {
    QTemporaryDir dir;
    const QString path = dir.filePath("l7.dbf");
    RawTable t;
    t.version = 0x8C;
    t.level7 = true;
    t.languageDriver = 0;
    t.languageDriverName = "DB866RU0";
    t.fields = {{"NAME", 'C', 10}, {"CNT", 'I', 4}, {"AMT", 'N', 8, 2}, {"MEMO", 'M', 10}};
    t.afterTerminator = QByteArray(14, '\0'); // an empty field properties block
    t.records = {" " + encoded(CodePage::cp866(), "Тест", 10) + level7Int(-5) + "   12.50" + "0000000001",
                 " " + QByteArray(10, ' ') + QByteArray(4, '\0') + "        " + "          "};
    ASSERT_TRUE(t.write(path));

    auto file = DbfFile::open(path);
    EXPECT_TRUE(file->isLevel7());
    EXPECT_EQ(file->languageDriverName(), "DB866RU0");
    EXPECT_EQ(file->codePageName(), "cp866");
    EXPECT_EQ(file->fields()[3].offset, 1 + 10 + 4 + 8);
    auto rows = readRows(*file);
    ASSERT_EQ(rows.size(), 2u);
    EXPECT_EQ(rows[0].second, (QVector<QVariant>{QString("Тест"), qint32(-5), 12.5, QVariant()}));
    EXPECT_EQ(rows[1].second, (QVector<QVariant>{QVariant(), QVariant(), QVariant(), QVariant()}));

    file->writeRecord(0, {QString("Новое"), qint32(123456), 1.25, QVariant()});
    file->appendRecord(
        {QString("Ещё"), qint32(std::numeric_limits<qint32>::min() + 1), QVariant(), QVariant()});
    const QByteArray bytes = fileBytes(path);
    const QByteArray original = t.bytes();
    EXPECT_EQ(bytes.left(1), original.left(1));                           // version kept
    EXPECT_EQ(bytes.mid(8, 60), original.mid(8, 60));                     // lengths, driver, name kept
    EXPECT_EQ(bytes.mid(68, 48 * 4 + 15), original.mid(68, 48 * 4 + 15)); // descriptors kept
    const int data = 68 + 48 * 4 + 15;
    EXPECT_EQ(bytes.mid(data + 1 + 10 + 4 + 8, 10), "0000000001"); // memo pointer untouched
    EXPECT_EQ(bytes.mid(data + 11, 4), level7Int(123456));
    rows = readRows(*DbfFile::open(path));
    ASSERT_EQ(rows.size(), 3u);
    EXPECT_EQ(rows[0].second[0], QString("Новое"));
    EXPECT_EQ(rows[0].second[2], 1.25);
    EXPECT_EQ(rows[2].second[1], std::numeric_limits<qint32>::min() + 1);
}

TEST(DbfLayouts, ReadsTheOtherThirtyTwoByteFamilies) {
    QTemporaryDir dir;
    // dBASE IV with memo: F with an exponent, asterisks, zero date, unknown logical, memo skipped.
    RawTable iv;
    iv.version = 0x8B;
    iv.languageDriver = 0xC9;
    iv.fields = {{"NAME", 'C', 8}, {"F", 'F', 10, 2}, {"N", 'N', 4},
                 {"D", 'D', 8},    {"L", 'L', 1},     {"M", 'M', 10}};
    iv.records = {" " + encoded(CodePage::cp1251(), "Ёжик", 8) + "   1.5E+03" + "****" + "00000000" + "?" +
                      "         7",
                  "*" + QByteArray("deleted ") + "      1.00" + "   1" + "20240101" + "T" + "          ",
                  " " + QByteArray("x       ") + "     -0.25" + " -12" + "19991231" + "n" + "          "};
    ASSERT_TRUE(iv.write(dir.filePath("iv.dbf")));
    auto rows = readRows(*DbfFile::open(dir.filePath("iv.dbf")));
    ASSERT_EQ(rows.size(), 2u);
    EXPECT_EQ(rows[0].first, 0u);
    EXPECT_EQ(rows[0].second,
              (QVector<QVariant>{QString("Ёжик"), 1500.0, QVariant(), QVariant(), QVariant(), QVariant()}));
    EXPECT_EQ(rows[1].first, 2u);
    EXPECT_EQ(rows[1].second,
              (QVector<QVariant>{QString("x"), -0.25, qint64(-12), QDate(1999, 12, 31), false, QVariant()}));

    // A FoxPro-style table: little-endian I and a back link after the descriptors.
    RawTable fox;
    fox.version = 0x30;
    fox.languageDriver = 0x65;
    fox.fields = {{"ID", 'I', 4}, {"CODE", 'C', 4}};
    fox.afterTerminator = QByteArray(263, '\0');
    fox.records = {" " + QByteArray("\xfe\xff\xff\xff", 4) + "ab  ",
                   " " + QByteArray("\x00\x01\x00\x00", 4) + "cd  "};
    ASSERT_TRUE(fox.write(dir.filePath("fox.dbf")));
    auto file = DbfFile::open(dir.filePath("fox.dbf"));
    rows = readRows(*file);
    ASSERT_EQ(rows.size(), 2u);
    EXPECT_EQ(rows[0].second, (QVector<QVariant>{qint32(-2), QString("ab")}));
    EXPECT_EQ(rows[1].second, (QVector<QVariant>{qint32(256), QString("cd")}));
    file->appendRecord({qint32(-70000), QString("ef")});
    rows = readRows(*DbfFile::open(dir.filePath("fox.dbf")));
    ASSERT_EQ(rows.size(), 3u);
    EXPECT_EQ(rows[2].second, (QVector<QVariant>{qint32(-70000), QString("ef")}));
}

TEST(DbfCodePage, TellsCp866FromCp1251WhenTheLanguageDriverSaysNothing) {
    const char* samples[] = {
        "Иванов Иван Иванович",
        "ООО \"Ромашка\", ул. Ленина, д. 5",
        "СКЛАД",
        "ёлка",
        "Проходная, главный вход",
        "щит",
    };
    QTemporaryDir dir;
    int n = 0;
    for (const CodePage* cp : {&CodePage::cp866(), &CodePage::cp1251()})
        for (quint8 id : {quint8(0x00), quint8(0x99)})
            for (const char* sample : samples) {
                RawTable t;
                t.languageDriver = id;
                t.fields = {{"NUM", 'N', 3}, {"TEXT", 'C', 40}};
                t.records = {"   1" + encoded(*cp, QString::fromUtf8(sample), 40)};
                const QString path = dir.filePath(QStringLiteral("t%1.dbf").arg(n++));
                ASSERT_TRUE(t.write(path));
                auto file = DbfFile::open(path);
                EXPECT_EQ(file->codePageName(), cp->name()) << sample << " id " << int(id);
                auto rows = readRows(*file);
                ASSERT_EQ(rows.size(), 1u);
                EXPECT_EQ(rows[0].second[1].toString(), QString::fromUtf8(sample));
            }
    // Writes to such a file use the code page found, and keep the id.
    const QString path = dir.filePath("t1.dbf");
    auto file = DbfFile::open(path);
    file->appendRecord({2, QString("Пётр")});
    auto reopened = DbfFile::open(path);
    EXPECT_EQ(reopened->languageDriver(), 0);
    EXPECT_EQ(readRows(*reopened)[1].second[1], QString("Пётр"));
    // A table without any Cyrillic reads as cp866.
    RawTable ascii;
    ascii.languageDriver = 0;
    ascii.fields = {{"TEXT", 'C', 5}};
    ascii.records = {" hello"};
    ASSERT_TRUE(ascii.write(dir.filePath("ascii.dbf")));
    EXPECT_EQ(DbfFile::open(dir.filePath("ascii.dbf"))->codePageName(), "cp866");
}

TEST(DbfAppend, IgnoresARecordBeyondTheCountAndOverwritesIt) {
    // What an append interrupted between writing the record and the count leaves.
    QTemporaryDir dir;
    const QString path = dir.filePath("t.dbf");
    RawTable t;
    t.fields = {{"CODE", 'C', 4}};
    t.records = {" aaaa", " bbbb"};
    QByteArray bytes = t.bytes();
    bytes[4] = 1;
    bytes += "garbage after the end";
    QFile f(path);
    ASSERT_TRUE(f.open(QIODevice::WriteOnly));
    f.write(bytes);
    f.close();
    auto file = DbfFile::open(path);
    EXPECT_EQ(file->recordCount(), 1u);
    EXPECT_EQ(readRows(*file).size(), 1u);
    EXPECT_EQ(file->appendRecord({QString("cccc")}), 1u);
    auto rows = readRows(*DbfFile::open(path));
    ASSERT_EQ(rows.size(), 2u);
    EXPECT_EQ(rows[1].second[0], QString("cccc"));
    EXPECT_EQ(fileBytes(path).at(t.bytes().size() - 1), '\x1a');
}

TEST(DbfReadAll, EveryRecordGetsItsOwnValuesWhateverTheSinkKeeps) {
    // A value of one record must not leak into the next one's null field, and a
    // vector the sink keeps (moved or copied) must stay as it was given.
    QTemporaryDir dir;
    const QString path = dir.filePath("t.dbf");
    RawTable t;
    t.fields = {{"CODE", 'C', 4}, {"NUM", 'N', 3}, {"GIVEN", 'D', 8}, {"OK", 'L', 1}};
    // Flag, CODE (4), NUM (3), GIVEN (8), OK (1).
    t.records = {
        QByteArray(" AB  ") + "123" + "20200101" + "T", QByteArray(" AB  ") + "   " + "        " + "?",
        QByteArray("*ZZZZ") + "  1" + "20200101" + "T", QByteArray("     ") + " -7" + "20210202" + "F"};
    QFile f(path);
    ASSERT_TRUE(f.open(QIODevice::WriteOnly));
    f.write(t.bytes());
    f.close();
    const QVector<QVector<QVariant>> expected{
        {QString("AB"), qint64(123), QDate(2020, 1, 1), true},
        {QString("AB"), QVariant(), QVariant(), QVariant()},
        {QVariant(), qint64(-7), QDate(2021, 2, 2), false},
    };
    const auto file = DbfFile::open(path);
    QVector<QVector<QVariant>> seen, copied, moved;
    file->readAll([&](quint32, QVector<QVariant>&& values) {
        seen.append(values); // copied here, checked as it was when given
        copied.append(values);
    });
    file->readAll([&](quint32, QVector<QVariant>&& values) { moved.append(std::move(values)); });
    QVector<QVector<QVariant>> inPlace;
    file->readAll([&](quint32, QVector<QVariant>&& values) {
        QVector<QVariant> now;
        for (const QVariant& v : values)
            now.append(v); // element copies: the vector itself is left to the codec
        inPlace.append(now);
    });
    EXPECT_EQ(seen, expected);
    EXPECT_EQ(copied, expected);
    EXPECT_EQ(moved, expected);
    EXPECT_EQ(inPlace, expected);
}
