// Memo fields: read from and written to the memo file beside the table, in
// the dBASE III+ form (written here by python3-dbf, read back by it and by
// python3-dbfread) and in the dBASE IV block form; damaged, short and
// missing memo files fail with an error naming the memo file.
#include "core/errors.h"
#include "dbase/codepage.h"
#include "dbase/dbf.h"
#include "dbase/tests/dbf_test_util.h"
#include "dbase/tests/python_support.h"

#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QProcess>
#include <QTemporaryDir>
#include <gtest/gtest.h>

using namespace varek;
using namespace varek::test;

namespace {

QByteArray fileBytes(const QString& path) {
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

void writeBytes(const QString& path, const QByteArray& bytes) {
    QFile f(path);
    ASSERT_TRUE(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
    f.write(bytes);
}

std::vector<QVector<QVariant>> readValues(DbfFile& file) {
    std::vector<QVector<QVariant>> rows;
    file.readAll([&](quint32, QVector<QVariant>&& v) { rows.push_back(std::move(v)); });
    return rows;
}

quint32 le32(const QByteArray& b, int at) {
    return quint32(uchar(b[at])) | quint32(uchar(b[at + 1])) << 8 | quint32(uchar(b[at + 2])) << 16 |
           quint32(uchar(b[at + 3])) << 24;
}

QByteArray le32Bytes(quint32 v) {
    const char b[4] = {char(v), char(v >> 8), char(v >> 16), char(v >> 24)};
    return QByteArray(b, 4);
}

// The notes of a table as python3-dbfread lists them, one JSON array.
QJsonArray dbfreadNotes(const QString& path) {
    const QByteArray out = runPython("import dbfread, json, sys\n"
                                     "t = dbfread.DBF(sys.argv[1], char_decode_errors='strict')\n"
                                     "print(json.dumps([r['NOTES'] for r in t], ensure_ascii=False))",
                                     {path});
    return QJsonDocument::fromJson(out).array();
}

const QByteArray kBlockSignature("\xff\xff\x08\x00", 4); // starts a dBASE IV memo
const QString kLong = QString(700, QChar(u'ж'));         // over two 512-byte blocks
const QString kLines = QStringLiteral("Первая строка\r\nвторая строка");

} // namespace

TEST(DbfMemo, DbaseThreeMemosWrittenByPythonDbfReadEditAndReadBackInBothPythonReaders) {
    if (!hasModule("dbf") || !hasModule("dbfread")) GTEST_SKIP() << "python3-dbf or python3-dbfread missing";
    QTemporaryDir dir;
    const QString path = dir.filePath("obj.dbf");
    runPython(R"(
import dbf, sys
t = dbf.Table(sys.argv[1], 'obj_num N(11,0); notes M', codepage='cp866', dbf_type='db3')
t.open(dbf.READ_WRITE)
t.append((1, sys.argv[2]))
t.append((2, ''))
t.append((3, sys.argv[3]))
t.close()
)",
              {path, kLines, kLong});
    const QString memo = dir.filePath("obj.dbt");
    const QByteArray memoBefore = fileBytes(memo);
    ASSERT_FALSE(memoBefore.isEmpty());

    auto file = DbfFile::open(path, DbfFile::Memos::Required);
    EXPECT_EQ(file->memoPath(), memo);
    auto rows = readValues(*file);
    ASSERT_EQ(rows.size(), 3u);
    EXPECT_EQ(rows[0][1], kLines);
    EXPECT_FALSE(rows[1][1].isValid()); // an empty memo reads as null, like blank text
    EXPECT_EQ(rows[2][1], kLong);

    // A record rewritten with its memo unchanged leaves the memo file alone.
    file->writeRecord(2, {qint64(30), kLong});
    EXPECT_EQ(fileBytes(memo), memoBefore);

    // Changed and new memos go to new blocks after the old ones, which stay as they were.
    file->writeRecord(0, {qint64(1), QStringLiteral("Изменено")});
    file->appendRecord({qint64(4), kLong + QStringLiteral("!")});
    file->appendRecord({qint64(5), QVariant()});
    const QByteArray memoAfter = fileBytes(memo);
    EXPECT_EQ(memoAfter.mid(4, memoBefore.size() - 4), memoBefore.mid(4));
    const quint32 next = le32(memoAfter, 0);
    EXPECT_EQ(next, quint32((memoAfter.size() + 511) / 512)); // the header's next block is right
    EXPECT_GT(next, le32(memoBefore, 0));

    const QJsonArray expected{QStringLiteral("Изменено"), QString(), kLong, kLong + QStringLiteral("!"),
                              QString()};
    rows = readValues(*DbfFile::open(path));
    ASSERT_EQ(rows.size(), 5u);
    for (int i = 0; i < 5; ++i)
        EXPECT_EQ(rows[i][1].toString(), expected[i].toString()) << i;

    const QJsonArray read = dbfreadNotes(path);
    ASSERT_EQ(read.size(), 5);
    for (int i = 0; i < 5; ++i)
        EXPECT_EQ(read[i].toString(), expected[i].toString()) << "dbfread, record " << i;
    const QByteArray back = runPython("import dbf, sys, json\nt = dbf.Table(sys.argv[1])\nt.open()\n"
                                      "print(json.dumps([r.notes for r in t], ensure_ascii=False))",
                                      {path});
    const QJsonArray viaDbf = QJsonDocument::fromJson(back).array();
    ASSERT_EQ(viaDbf.size(), 5);
    for (int i = 0; i < 5; ++i)
        EXPECT_EQ(viaDbf[i].toString(), expected[i].toString()) << "python3-dbf, record " << i;
}

namespace {

// A dBASE IV table with a memo field and its block-form memo file, laid out
// byte by byte: the memo of the first record in block 1, none for the second.
struct DbaseFourMemo {
    QString path, memo;
    int blockSize;
    QByteArray memoBytes;

    DbaseFourMemo(const QTemporaryDir& dir, int blockSize_, const QByteArray& text) : blockSize(blockSize_) {
        path = dir.filePath("iv.dbf");
        memo = dir.filePath("IV.DBT"); // found whatever its case
        RawTable t;
        t.version = 0x8B;
        t.fields = {{"NAME", 'C', 10}, {"NOTES", 'M', 10}};
        t.records = {" " + QByteArray("one").leftJustified(10) + "         1",
                     " " + QByteArray("two").leftJustified(10) + "          "};
        t.write(path);
        const int blocks = 1 + (8 + int(text.size()) + blockSize - 1) / blockSize;
        QByteArray head = le32Bytes(quint32(blocks)) + QByteArray(4, '\0') +
                          QByteArray("iv").leftJustified(8, '\0') + QByteArray(4, '\0') +
                          le32Bytes(quint32(blockSize)).left(2);
        memoBytes = head.leftJustified(blockSize, '\0') + kBlockSignature +
                    le32Bytes(quint32(text.size() + 8)) + text;
        writeBytes(memo, memoBytes);
    }
};

} // namespace

TEST(DbfMemo, DbaseFourBlockFormKeepsItsBlockSize) {
    QTemporaryDir dir;
    const QByteArray cp866Note = QByteArray("\x8f\xe0\xa8\xac\xa5\xe7\xa0\xad\xa8\xa5"); // "Примечание"
    DbaseFourMemo iv(dir, 1024, cp866Note);
    auto file = DbfFile::open(iv.path, DbfFile::Memos::Required);
    auto rows = readValues(*file);
    ASSERT_EQ(rows.size(), 2u);
    EXPECT_EQ(rows[0][1], QStringLiteral("Примечание"));
    EXPECT_FALSE(rows[1][1].isValid());

    file->writeRecord(1, {QStringLiteral("two"), QStringLiteral("Новое")});
    const QByteArray after = fileBytes(iv.memo);
    EXPECT_EQ(after.left(iv.memoBytes.size()).mid(4), iv.memoBytes.mid(4)); // the first memo untouched
    EXPECT_EQ(le32(after, 0), 3u);                                          // 2 + one block of 1024
    const QByteArray block = after.mid(2 * 1024);
    EXPECT_EQ(block.left(4), kBlockSignature);
    EXPECT_EQ(le32(block, 4), 8u + 5u);
    EXPECT_EQ(fileBytes(iv.path).mid(97 + 21 + 11, 10), "         2"); // the second record's pointer
    rows = readValues(*DbfFile::open(iv.path));
    EXPECT_EQ(rows[1][1], QStringLiteral("Новое"));
}

TEST(DbfMemo, DamagedShortOrMissingMemoFilesFailNamingTheMemoFile) {
    struct Case {
        const char* name;
        std::function<void(DbaseFourMemo&)> damage;
    };
    const QByteArray text("note");
    const Case cases[] = {
        {"missing", [](DbaseFourMemo& iv) { QFile::remove(iv.memo); }},
        {"empty", [](DbaseFourMemo& iv) { writeBytes(iv.memo, QByteArray()); }},
        {"shorter than its header", [](DbaseFourMemo& iv) { writeBytes(iv.memo, iv.memoBytes.left(10)); }},
        {"cut before the memo", [](DbaseFourMemo& iv) { writeBytes(iv.memo, iv.memoBytes.left(512)); }},
        {"cut inside the memo", [](DbaseFourMemo& iv) { writeBytes(iv.memo, iv.memoBytes.chopped(2)); }},
        {"length under its own header",
         [](DbaseFourMemo& iv) { writeBytes(iv.memo, iv.memoBytes.left(516) + le32Bytes(3) + "note"); }},
        {"length of 4 GB",
         [](DbaseFourMemo& iv) {
             writeBytes(iv.memo, iv.memoBytes.left(516) + le32Bytes(0xFFFFFFFF) + "note");
         }},
        {"block size 1",
         [](DbaseFourMemo& iv) {
             QByteArray b = iv.memoBytes;
             b[20] = 1, b[21] = 0;
             writeBytes(iv.memo, b);
         }},
        {"text form without an end",
         [](DbaseFourMemo& iv) { writeBytes(iv.memo, iv.memoBytes.left(512) + QByteArray(700, 'x')); }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        QTemporaryDir dir;
        DbaseFourMemo iv(dir, 512, text);
        c.damage(iv);
        QString message;
        try {
            auto file = DbfFile::open(iv.path, DbfFile::Memos::Required);
            readValues(*file);
        } catch (const EDatabaseError& e) {
            message = e.message();
        }
        EXPECT_TRUE(message.contains(iv.memo, Qt::CaseInsensitive)) << message.toStdString();
    }

    // Opened without requiring it, a table whose memo file is missing skips its memo fields.
    QTemporaryDir dir;
    DbaseFourMemo iv(dir, 512, text);
    QFile::remove(iv.memo);
    auto file = DbfFile::open(iv.path);
    EXPECT_TRUE(file->memoPath().isEmpty());
    EXPECT_FALSE(readValues(*file)[0][1].isValid());
}

TEST(DbfMemo, ATextTheMemoFormCannotHoldIsRefusedBeforeAnythingIsWritten) {
    if (!hasModule("dbf")) GTEST_SKIP() << "python3-dbf is not installed";
    QTemporaryDir dir;
    const QString path = dir.filePath("t.dbf");
    runPython("import dbf, sys\nt = dbf.Table(sys.argv[1], 'notes M', codepage='cp866', dbf_type='db3')\n"
              "t.open(dbf.READ_WRITE)\nt.append(('a',))\nt.close()",
              {path});
    const QByteArray table = fileBytes(path), memo = fileBytes(dir.filePath("t.dbt"));
    auto file = DbfFile::open(path);
    for (const QString& bad : {QStringLiteral("ends the memo \x1a early"), QStringLiteral("不")}) {
        QString message;
        try {
            file->appendRecord({bad});
        } catch (const EDatabaseError& e) {
            message = e.message();
        }
        EXPECT_TRUE(message.contains("NOTES")) << message.toStdString();
    }
    EXPECT_EQ(fileBytes(path), table);
    EXPECT_EQ(fileBytes(dir.filePath("t.dbt")), memo);
}
