// The CSV of a table: made from the record bytes, it is the same text as the
// codec's values give, byte for byte, on the forms other programs write.
#include "core/errors.h"
#include "dbase/codepage.h"
#include "dbase/csv.h"
#include "dbase/dbf.h"
#include "dbase/tests/dbf_test_util.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <gtest/gtest.h>

using namespace varek;
using namespace varek::test;

namespace {

QByteArray csvOf(const QString& path, CsvPath how) {
    const auto file = DbfFile::open(path);
    QByteArray out;
    writeCsv(
        *file, [&](const char* p, size_t n) { out.append(p, qsizetype(n)); }, how);
    return out;
}

// A record of the table below from its fields' bytes; text in the code page.
struct Row {
    QString name;     // C 10
    QByteArray num;   // N 20 0, as stored
    QByteArray price; // N 8 2
    QByteArray day;   // D
    char ok;          // L
    qint32 count;     // I, little-endian
    QByteArray notes; // M: the block number
    char flag = ' ';
};

QByteArray field(const QByteArray& b, int length, bool right) {
    const QByteArray pad(length - b.size(), ' ');
    return right ? pad + b : b + pad;
}

QByteArray record(const Row& r, const CodePage& page) {
    QByteArray name;
    QChar bad;
    EXPECT_TRUE(page.encode(r.name, name, &bad));
    QByteArray rec(1, r.flag);
    rec += name.leftJustified(10, ' ', true);
    rec += field(r.num, 20, true);
    rec += field(r.price, 8, true);
    rec += r.day.leftJustified(8, ' ', true);
    rec += r.ok;
    for (int i = 0; i < 4; ++i)
        rec += char(quint32(r.count) >> (8 * i));
    rec += field(r.notes, 10, true);
    return rec;
}

} // namespace

TEST(DbfCsv, RecordBytesGiveTheSameTextAsTheCodecsValues) {
    const QString memoText = QStringLiteral("строка 1\r\nстрока 2");
    const std::vector<Row> rows = {
        {QStringLiteral("Ёлка, ель "), "-000042", "12.50", "20240229", 'T', 123456, "1"},
        {QString(), "", "********", "", '?', 0, ""},
        {QStringLiteral("тест") + QChar(0) + QChar(0), "1234567890123456789", "-0.50", "00000000", 'f', -1,
         ""},
        {QStringLiteral("ab\"c"), "+7", "", "19991231", 'Y', 2147483647, "0"},
        {QStringLiteral("  x"), "-0", "", "", 'N', std::numeric_limits<qint32>::min(), ""},
        {QStringLiteral("удалена"), "1", "", "", ' ', 1, "", '*'},
        {QStringLiteral("ё"), "1.5", "", "", ' ', 5, ""},
    };
    const QByteArray expected = "NAME,NUM,PRICE,DAY,OK,CNT,NOTES\n"
                                "\"Ёлка, ель\",-42,12.50,2024-02-29,T,123456,\"строка 1\r\nстрока 2\"\n"
                                ",,,,,0,\n"
                                "тест,1234567890123456789,-0.50,,F,-1,\n"
                                "\"ab\"\"c\",7,,1999-12-31,T,2147483647,\n"
                                "  x,0,,,F,-2147483648,\n"
                                "ё,1.5,,,,5,\n";
    for (const quint8 driver : {quint8(0x65), quint8(0xC9)}) {
        SCOPED_TRACE(driver);
        const CodePage& page = driver == 0x65 ? CodePage::cp866() : CodePage::cp1251();
        QTemporaryDir dir;
        RawTable t;
        t.version = 0x83;
        t.languageDriver = driver;
        t.fields = {{"NAME", 'C', 10}, {"NUM", 'N', 20}, {"PRICE", 'N', 8, 2}, {"DAY", 'D', 8},
                    {"OK", 'L', 1},    {"CNT", 'I', 4},  {"NOTES", 'M', 10}};
        for (const Row& r : rows)
            t.records << record(r, page);
        ASSERT_TRUE(t.write(dir.filePath("t.dbf")));
        // The memo file: its header block, then the memo in block 1.
        QByteArray memo(512, '\0');
        memo[0] = 2;
        QByteArray text;
        QChar bad;
        ASSERT_TRUE(page.encode(memoText, text, &bad));
        memo += (text + "\x1a\x1a").leftJustified(512, '\0');
        QFile m(dir.filePath("t.dbt"));
        ASSERT_TRUE(m.open(QIODevice::WriteOnly));
        m.write(memo);
        m.close();

        EXPECT_EQ(csvOf(dir.filePath("t.dbf"), CsvPath::Records), expected);
        EXPECT_EQ(csvOf(dir.filePath("t.dbf"), CsvPath::Values), expected);
    }
}

TEST(DbfCsv, GarbageInARecordFailsNamingItOnBothPaths) {
    QTemporaryDir dir;
    RawTable t;
    t.fields = {{"NUM", 'N', 5}, {"DAY", 'D', 8}};
    // Flag, NUM, DAY.
    t.records = {QByteArray(" ") + "   12" + "20240101", QByteArray(" ") + "  1a3" + "20240101",
                 QByteArray(" ") + "    7" + "2024x101"};
    ASSERT_TRUE(t.write(dir.filePath("t.dbf")));
    for (const CsvPath how : {CsvPath::Records, CsvPath::Values}) {
        try {
            csvOf(dir.filePath("t.dbf"), how);
            ADD_FAILURE() << "no error";
        } catch (const EDatabaseError& e) {
            EXPECT_TRUE(QString(e.what()).contains("record 2, field NUM")) << e.what();
        }
    }
    t.records.removeAt(1);
    ASSERT_TRUE(t.write(dir.filePath("t.dbf")));
    EXPECT_THROW(csvOf(dir.filePath("t.dbf"), CsvPath::Records), EDatabaseError);
}

// A wide text field is read eight bytes at a time where it can be: plain
// ASCII, characters that need quotes in any of the eight, other characters
// beside them, blanks and zero bytes trailing or inside it.
TEST(DbfCsv, WideTextGivesTheSameTextOnBothPaths) {
    const CodePage& page = CodePage::cp866();
    const struct {
        QByteArray stored; // before padding with blanks to 40
        QByteArray cell;
    } cases[] = {
        {"ABCDEFGHIJKLMNOP", "ABCDEFGHIJKLMNOP"},
        {"ABCDEFGH,IJ", "\"ABCDEFGH,IJ\""},
        {"ABCDEFGHIJKLMNO\"", "\"ABCDEFGHIJKLMNO\"\"\""},
        {"ABCDEFGH\nIJ", "\"ABCDEFGH\nIJ\""},
        {"ABCDEFG\r", "\"ABCDEFG\r\""},
        {"ABCDEFGH        X", "ABCDEFGH        X"},
        {QByteArray("ABC\0   \0   \0\0\0\0\0\0\0\0\0\0", 22), "ABC"},
        {QByteArray(40, '\0'), ""},
        {"", ""},
    };
    QByteArray expected = "T\n";
    RawTable t;
    t.languageDriver = 0x65;
    t.fields = {{"T", 'C', 40}};
    for (const auto& c : cases) {
        t.records << QByteArray(" ") + c.stored.leftJustified(40, ' ', true);
        expected += c.cell + "\n";
    }
    // Cyrillic between and after plain words.
    QByteArray cyrillic;
    QChar bad;
    ASSERT_TRUE(page.encode(QStringLiteral("Ключ 12345678 номер ABCDEFGH ёж"), cyrillic, &bad));
    t.records << QByteArray(" ") + cyrillic.leftJustified(40, ' ', true);
    expected += QStringLiteral("Ключ 12345678 номер ABCDEFGH ёж\n").toUtf8();
    QTemporaryDir dir;
    ASSERT_TRUE(t.write(dir.filePath("t.dbf")));
    EXPECT_EQ(csvOf(dir.filePath("t.dbf"), CsvPath::Records), expected);
    EXPECT_EQ(csvOf(dir.filePath("t.dbf"), CsvPath::Values), expected);
}
