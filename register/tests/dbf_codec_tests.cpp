#include "dbf.h"
#include "errors.h"

#include <QFile>
#include <QTemporaryDir>
#include <gtest/gtest.h>

using namespace varek;

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
