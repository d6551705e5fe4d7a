// The register's table layouts and the two dBASE tools.
#include "core/errors.h"
#include "dbase/dbf.h"
#include "register/register_schema.h"

#include "core/tests/run_program.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <gtest/gtest.h>

using namespace varek;

namespace {

using ToolRun = test::ProgramRun;

ToolRun runTool(const QString& name, const QStringList& args) {
    return test::runProgram(QStringLiteral(VAREK_BIN_DIR "/") + name, args);
}

} // namespace

TEST(RegisterSchema, NewRegisterHasEveryRequiredFieldAndFitsItsValues) {
    QTemporaryDir dir;
    const QString data = dir.filePath("Data");
    createRegisterFiles(data);
    for (const TableSchema& t : registerTables()) {
        auto file = DbfFile::open(QDir(data).filePath(t.fileName));
        EXPECT_NO_THROW(checkRequiredFields(*file, t)) << t.fileName.toStdString();
        EXPECT_EQ(file->recordCount(), 0u);
        EXPECT_EQ(file->languageDriver(), kRegisterLanguageDriver);
        EXPECT_EQ(file->codePageName(), "cp866");
    }
    // The widest values the register stores fit: signed 32-bit numbers, codes, Cyrillic names.
    auto tokens = DbfFile::open(QDir(data).filePath("tokens.dbf"));
    QVector<QVariant> row(tokens->fields().size());
    row[tokens->fieldIndex("token_code")] = QString("01FFFFFFFFFFFF8C");
    row[tokens->fieldIndex("token_card")] = QString("255.65535");
    row[tokens->fieldIndex("user_name")] = QString(80, QChar(u'Щ'));
    row[tokens->fieldIndex("give_date")] = QDate(2024, 5, 1);
    row[tokens->fieldIndex("status")] = qint64(-2147483648LL);
    EXPECT_NO_THROW(tokens->appendRecord(row));
    EXPECT_EQ(tokens->fieldWidth(tokens->fieldIndex("user_name")), 80);
}

TEST(RegisterSchema, RefusesATableWithoutAFieldItNeedsNamingTheFile) {
    QTemporaryDir dir;
    struct Case {
        const char* what;
        QVector<DbfField> fields;
        const char* mentions;
    };
    const Case cases[] = {
        {"missing ser_num", {{"TOKEN_CODE", 'C', 16, 0}}, "SER_NUM"},
        {"ser_num as text", {{"TOKEN_CODE", 'C', 16, 0}, {"SER_NUM", 'C', 11, 0}}, "SER_NUM"},
        {"ser_num with decimals", {{"TOKEN_CODE", 'C', 16, 0}, {"SER_NUM", 'N', 11, 2}}, "SER_NUM"},
        {"token_code too narrow", {{"TOKEN_CODE", 'C', 15, 0}, {"SER_NUM", 'N', 11, 0}}, "TOKEN_CODE"},
    };
    const TableSchema& tc = *registerTable("TC.DBF");
    int n = 0;
    for (const Case& c : cases) {
        const QString path = dir.filePath(QStringLiteral("tc%1.dbf").arg(n++));
        DbfFile::create(path, c.fields, 0x65);
        auto file = DbfFile::open(path);
        try {
            checkRequiredFields(*file, tc);
            ADD_FAILURE() << c.what << ": accepted";
        } catch (const EDatabaseError& e) {
            EXPECT_TRUE(e.message().contains(path)) << e.what();
            EXPECT_TRUE(e.message().contains(c.mentions, Qt::CaseInsensitive)) << e.what();
        }
    }
    // Extra fields and other widths are fine; so is an I field for an integer.
    const QString path = dir.filePath("wide.dbf");
    DbfFile::create(path, {{"EXTRA", 'L', 1, 0}, {"ser_num", 'I', 4, 0}, {"token_code", 'C', 40, 0}}, 0xC9);
    EXPECT_NO_THROW(checkRequiredFields(*DbfFile::open(path), tc));
}

TEST(Mkregister, CreatesTheFourTablesAndRefusesToOverwrite) {
    QTemporaryDir dir;
    const QString data = dir.filePath("new/Data");
    ToolRun r = runTool("varek-mkregister", {data});
    ASSERT_EQ(r.exitCode, 0) << r.err.toStdString();
    for (const char* name : {"obj.dbf", "ctrl.dbf", "tokens.dbf", "tc.dbf"})
        EXPECT_TRUE(QFile::exists(QDir(data).filePath(name))) << name;

    auto tc = DbfFile::open(QDir(data).filePath("tc.dbf"));
    tc->appendRecord({QString("0100000000000001"), 5});
    QFile::remove(QDir(data).filePath("obj.dbf"));
    r = runTool("varek-mkregister", {data});
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_TRUE(r.err.contains("exists")) << r.err.toStdString();
    EXPECT_FALSE(QFile::exists(QDir(data).filePath("obj.dbf"))); // nothing half done
    EXPECT_EQ(DbfFile::open(QDir(data).filePath("tc.dbf"))->recordCount(), 1u);
    EXPECT_EQ(runTool("varek-mkregister", {}).exitCode, 2);
}

TEST(VarekDbfTool, PrintsHeaderFactsAndLiveRowsAsCsv) {
    QTemporaryDir dir;
    const QString path = dir.filePath("t.dbf");
    DbfFile::create(path,
                    {{"NAME", 'C', 30, 0},
                     {"NUM", 'N', 11, 0},
                     {"PRICE", 'N', 9, 2},
                     {"DAY", 'D', 8, 0},
                     {"OK", 'L', 1, 0}},
                    0xC9);
    auto file = DbfFile::open(path);
    file->appendRecord({QString("Иванов, \"Ваня\""), 7, 2.5, QDate(2024, 1, 31), true});
    file->appendRecord({QString("deleted"), 8, QVariant(), QVariant(), false});
    file->appendRecord({QString("две\nстроки"), -3, QVariant(), QVariant(), QVariant()});
    file->deleteRecord(1);

    ToolRun r = runTool("varek-dbf", {path});
    ASSERT_EQ(r.exitCode, 0) << r.err.toStdString();
    for (const char* fact : {"Version: 0x03", "Language driver: 0xc9", "Code page: cp1251", "Records: 3",
                             "PRICE       N   9 2", "DAY         D   8 0"})
        EXPECT_TRUE(r.out.contains(fact)) << fact << "\n" << r.out.toStdString();
    EXPECT_TRUE(r.out.contains("Last update: " + QDate::currentDate().toString(Qt::ISODate)));

    r = runTool("varek-dbf", {"--csv", path});
    ASSERT_EQ(r.exitCode, 0) << r.err.toStdString();
    EXPECT_EQ(r.out, "NAME,NUM,PRICE,DAY,OK\n"
                     "\"Иванов, \"\"Ваня\"\"\",7,2.50,2024-01-31,T\n"
                     "\"две\nстроки\",-3,,,\n");

    r = runTool("varek-dbf", {dir.filePath("absent.dbf")});
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_TRUE(r.err.contains(dir.filePath("absent.dbf"))) << r.err.toStdString();
}

TEST(VarekDbfTool, AFailedWriteOfTheOutputIsReportedAndEndsWithOne) {
    if (!QFile::exists("/dev/full")) GTEST_SKIP() << "no /dev/full";
    QTemporaryDir dir;
    const QString path = dir.filePath("t.dbf");
    DbfFile::create(path, {{"NAME", 'C', 30, 0}}, 0x65);
    DbfFile::open(path)->appendRecord({QString("Иванов")});
    // The CSV (one write at the end) and the header facts (stdio's buffer, flushed at exit).
    for (const QStringList& args : {QStringList{"--csv", path}, QStringList{path}}) {
        QProcess p;
        p.setStandardOutputFile("/dev/full");
        p.start(QStringLiteral(VAREK_BIN_DIR "/varek-dbf"), args);
        ASSERT_TRUE(p.waitForFinished(30000));
        EXPECT_EQ(p.exitStatus(), QProcess::NormalExit);
        EXPECT_EQ(p.exitCode(), 1) << args.join(' ').toStdString();
        const QString err = QString::fromUtf8(p.readAllStandardError());
        EXPECT_TRUE(err.contains("cannot write the output")) << err.toStdString();
    }
}
