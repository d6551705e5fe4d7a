// varek-register over real register files and a real PostgreSQL server.

#include "dbase/dbf.h"
#include "pg/connection.h"
#include "pg/tests/pg_server.h"
#include "pg/tests/schema_v1.h"
#include "register/dir_lock.h"
#include "register/register_schema.h"
#include "register/tests/dataset_support.h"

#include "core/tests/run_program.h"

#include <QDate>
#include <QDir>
#include <QProcess>
#include <QTemporaryDir>

#include <gtest/gtest.h>

using namespace varek;
using varek::test::TempRegister;
using varek::test::TestPgServer;

namespace {

using ToolRun = test::ProgramRun;

ToolRun runTool(const QString& name, const QStringList& args) {
    return test::runProgram(QStringLiteral(VAREK_BIN_DIR "/") + name, args);
}

ToolRun reg(const QStringList& args) {
    return runTool(QStringLiteral("varek-register"), args);
}

// The four tables of a register as varek-dbf --csv prints them.
QString csvOf(const QString& dir) {
    QString all;
    for (const TableSchema& t : registerTables()) {
        const ToolRun r =
            runTool(QStringLiteral("varek-dbf"), {QStringLiteral("--csv"), QDir(dir).filePath(t.fileName)});
        EXPECT_EQ(r.exitCode, 0) << r.err.toStdString();
        all += t.fileName + QLatin1Char('\n') + r.out;
    }
    return all;
}

// A database with the register's tables, empty.
QString initialisedDatabase() {
    const QString url = TestPgServer::shared().createDatabase();
    const ToolRun r = reg({QStringLiteral("init"), url});
    EXPECT_EQ(r.exitCode, 0) << r.err.toStdString();
    return url;
}

// A register with Cyrillic (ё and Ё), empty fields, dates and their absence,
// text that COPY must escape, rows out of key order, and a deleted record.
void fillRegister(const TempRegister& r) {
    r.add("obj.dbf",
          {3, QStringLiteral("Ёлочная, 5"), QStringLiteral("ул. Щорса, д. 1 \"А\", №7"), QVariant()});
    r.add("obj.dbf",
          {1, QStringLiteral("склад"), QVariant(), QStringLiteral("таб\tи \\ черта, \"кавычки\"")});
    r.add("ctrl.dbf", {3, QStringLiteral("Вход ёлки"), 70001, QStringLiteral("v2.1"), QVariant(), 5});
    r.add("ctrl.dbf", {1, QVariant(), 12, QVariant(), QStringLiteral("  с пробелом впереди"), QVariant()});
    r.add("tokens.dbf", {QStringLiteral("0100000ABCDEF0FF"), QStringLiteral("010.00001"),
                         QStringLiteral("Пётр Ёжиков"), QDate(2024, 2, 29), 1});
    r.add("tokens.dbf",
          {QStringLiteral("01000001234567AA"), QStringLiteral("004.53191"), QVariant(), QVariant(), 0});
    r.add("tokens.dbf", {QStringLiteral("01FFFFFFFFFFFF11"), QStringLiteral("255.65535"),
                         QStringLiteral("удалён"), QDate(1999, 12, 31), 1});
    r.add("tc.dbf", {QStringLiteral("01000001234567AA"), 70001});
    r.add("tc.dbf", {QStringLiteral("0100000ABCDEF0FF"), 12});
    r.add("tc.dbf", {QStringLiteral("0100000ABCDEF0FF"), 70001});
    DbfFile::open(r.file("tokens.dbf"))->deleteRecord(2);
}

} // namespace

TEST(VarekRegisterTool, CopiesARegisterToADatabaseAndBackExactly) {
    TempRegister source;
    fillRegister(source);
    const QString before = csvOf(source.dir);
    const QString url = initialisedDatabase();

    const ToolRun in = reg({QStringLiteral("copy"), source.dir, url});
    ASSERT_EQ(in.exitCode, 0) << in.err.toStdString();
    EXPECT_TRUE(in.out.contains("tokens: 2 строк")) << in.out.toStdString();

    // The rows in file order by row_id, the text as it was.
    PgConnection conn(url);
    conn.connect();
    const PgResult obj =
        conn.exec(QStringLiteral("SELECT obj_num, obj_name, addr, notes FROM obj ORDER BY row_id"));
    ASSERT_EQ(obj.rows(), 2);
    EXPECT_EQ(obj.integer(0, 0), 3);
    EXPECT_EQ(obj.text(0, 1), "Ёлочная, 5");
    EXPECT_TRUE(obj.isNull(0, 3));
    EXPECT_EQ(obj.text(1, 3), "таб\tи \\ черта, \"кавычки\"");
    EXPECT_EQ(conn.exec(QStringLiteral("SELECT give_date FROM tokens ORDER BY row_id")).text(0, 0),
              "2024-02-29");

    QTemporaryDir back;
    const QString backDir = back.filePath("Data"); // a directory the copy makes
    const ToolRun out = reg({QStringLiteral("copy"), url, backDir});
    ASSERT_EQ(out.exitCode, 0) << out.err.toStdString();
    EXPECT_EQ(csvOf(backDir), before);
    auto tokens = DbfFile::open(QDir(backDir).filePath("tokens.dbf"));
    EXPECT_EQ(tokens->codePageName(), "cp866");

    // Database to database, and directory to directory, the same.
    const QString second = initialisedDatabase();
    ASSERT_EQ(reg({QStringLiteral("copy"), url, second}).exitCode, 0);
    QTemporaryDir third;
    ASSERT_EQ(reg({QStringLiteral("copy"), second, third.path()}).exitCode, 0);
    EXPECT_EQ(csvOf(third.path()), before);
    QTemporaryDir fourth;
    ASSERT_EQ(reg({QStringLiteral("copy"), third.path(), fourth.filePath("Data")}).exitCode, 0);
    EXPECT_EQ(csvOf(fourth.filePath("Data")), before);
}

TEST(VarekRegisterTool, InitCreatesOnceAndRefusesASecondTime) {
    const QString url = TestPgServer::shared().createDatabase();
    const ToolRun first = reg({QStringLiteral("init"), url});
    EXPECT_EQ(first.exitCode, 0) << first.err.toStdString();
    EXPECT_TRUE(first.out.contains("Таблицы реестра (версия 2) созданы")) << first.out.toStdString();
    const ToolRun second = reg({QStringLiteral("init"), url});
    EXPECT_EQ(second.exitCode, 1);
    EXPECT_TRUE(second.err.contains("уже есть таблицы реестра")) << second.err.toStdString();
}

TEST(VarekRegisterTool, UpgradesTablesOfVersion1Once) {
    const QString url = TestPgServer::shared().createDatabase();
    ASSERT_EQ(reg({QStringLiteral("init"), url}).exitCode, 0);
    {
        PgConnection c(url);
        c.connect();
        test::makeSchemaVersion1(c);
    }
    const ToolRun first = reg({QStringLiteral("upgrade"), url});
    EXPECT_EQ(first.exitCode, 0) << first.err.toStdString();
    EXPECT_TRUE(first.out.contains("обновлены с версии 1 до версии 2")) << first.out.toStdString();
    const ToolRun second = reg({QStringLiteral("upgrade"), url});
    EXPECT_EQ(second.exitCode, 1);
    EXPECT_TRUE(second.err.contains("уже версии 2")) << second.err.toStdString();
}

TEST(VarekRegisterTool, RefusesTargetsThatHoldARegisterAndPlacesThatAreNotOne) {
    TempRegister filled;
    fillRegister(filled);
    const QString withRows = initialisedDatabase();
    ASSERT_EQ(reg({QStringLiteral("copy"), filled.dir, withRows}).exitCode, 0);
    const QString bare = TestPgServer::shared().createDatabase();
    QTemporaryDir notRegister;
    TempRegister emptyRegister;

    struct Case {
        const char* name;
        QStringList args;
        int exitCode;
        const char* says;
    };
    const Case cases[] = {
        {"into a database with rows", {"copy", filled.dir, withRows}, 1, "уже есть записи реестра"},
        {"into a database without the tables", {"copy", filled.dir, bare}, 1, "varek-register init"},
        {"out of a database without the tables",
         {"copy", bare, notRegister.filePath("x")},
         1,
         "нет таблиц реестра"},
        {"into a directory that holds a register",
         {"copy", withRows, emptyRegister.dir},
         1,
         "уже есть реестр"},
        {"out of a directory without a register",
         {"copy", notRegister.path(), withRows},
         1,
         "это не папка реестра"},
        {"out of a missing directory", {"copy", notRegister.filePath("none"), withRows}, 1, "не найден"},
        {"onto itself", {"copy", filled.dir, filled.dir}, 1, "одна и та же папка"},
        {"an unreachable server",
         {"copy", filled.dir, "postgresql:///x?host=/nonexistent"},
         1,
         "Нет связи с сервером базы данных"},
        {"no arguments", {}, 2, "Использование"},
        {"an unknown command", {"move", filled.dir, withRows}, 2, "Использование"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const ToolRun r = reg(c.args);
        EXPECT_EQ(r.exitCode, c.exitCode);
        EXPECT_TRUE(r.err.contains(QString::fromUtf8(c.says))) << r.err.toStdString();
    }
    // Nothing was laid into the directories that were refused or missing.
    EXPECT_FALSE(QFileInfo::exists(notRegister.filePath("x")));
    EXPECT_FALSE(QFileInfo::exists(notRegister.filePath("none")));
    EXPECT_EQ(csvOf(emptyRegister.dir).count('\n'), 8); // four names, four header lines
}

TEST(VarekRegisterTool, RefusesADataDirectoryTheProgramHolds) {
    TempRegister held;
    fillRegister(held);
    QTemporaryDir target;
    const QString url = initialisedDatabase();
    ASSERT_EQ(reg({QStringLiteral("copy"), held.dir, url}).exitCode, 0);
    const QString other = initialisedDatabase();

    DirLock programsLock;
    programsLock.acquire(held.dir);
    const ToolRun out = reg({QStringLiteral("copy"), held.dir, other});
    EXPECT_EQ(out.exitCode, 1);
    EXPECT_TRUE(out.err.contains("уже используется")) << out.err.toStdString();

    DirLock targetLock;
    targetLock.acquire(target.path());
    const ToolRun in = reg({QStringLiteral("copy"), url, target.path()});
    EXPECT_EQ(in.exitCode, 1);
    EXPECT_TRUE(in.err.contains("уже используется")) << in.err.toStdString();
    EXPECT_FALSE(QFileInfo::exists(target.filePath("obj.dbf")));
    PgConnection conn(other);
    conn.connect();
    EXPECT_EQ(conn.exec(QStringLiteral("SELECT count(*) FROM obj")).integer(0, 0), 0);
}

TEST(VarekRegisterTool, RefusesValuesTheTargetCannotHoldAndLeavesItAsItWas) {
    // A character cp866 lacks, on its way into the register's files.
    const QString url = initialisedDatabase();
    {
        PgConnection conn(url);
        conn.connect();
        conn.exec(
            QStringLiteral("INSERT INTO obj (obj_num, obj_name) VALUES (1, 'Склад'), (2, 'Кафе на углу €')"));
    }
    QTemporaryDir out;
    const ToolRun toDir = reg({QStringLiteral("copy"), url, out.filePath("Data")});
    EXPECT_EQ(toDir.exitCode, 1);
    EXPECT_TRUE(toDir.err.contains("строка 2")) << toDir.err.toStdString();
    EXPECT_TRUE(toDir.err.contains("«€» (U+20AC)")) << toDir.err.toStdString();
    EXPECT_TRUE(toDir.err.contains("cp866")) << toDir.err.toStdString();
    EXPECT_FALSE(QFileInfo::exists(out.filePath("Data")));

    // The same into an existing empty directory: it stays empty.
    QTemporaryDir empty;
    EXPECT_EQ(reg({QStringLiteral("copy"), url, empty.path()}).exitCode, 1);
    EXPECT_TRUE(
        QDir(empty.path()).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot).isEmpty());

    // A site name wider than the database's field, from a file whose field is wider than the register's own.
    TempRegister wide;
    QFile::remove(wide.file("obj.dbf"));
    DbfFile::create(
        wide.file("obj.dbf"),
        {{"OBJ_NUM", 'N', 11, 0}, {"OBJ_NAME", 'C', 80, 0}, {"ADDR", 'C', 100, 0}, {"NOTES", 'C', 100, 0}},
        kRegisterLanguageDriver);
    wide.obj(1, QStringLiteral("Склад"));
    wide.obj(2, QString(70, QChar(0x0416)));
    const QString narrow = initialisedDatabase();
    const ToolRun tooWide = reg({QStringLiteral("copy"), wide.dir, narrow});
    EXPECT_EQ(tooWide.exitCode, 1);
    EXPECT_TRUE(tooWide.err.contains("obj.dbf, строка 2: поле obj_name")) << tooWide.err.toStdString();
    EXPECT_TRUE(tooWide.err.contains("длиной 70 знаков длиннее 60")) << tooWide.err.toStdString();

    // A key twice in the files, where the database keeps each key once: nothing is copied.
    TempRegister twice;
    twice.obj(1, QStringLiteral("Склад"));
    twice.token(QStringLiteral("0100000ABCDEF0FF"), QStringLiteral("Пётр"));
    twice.token(QStringLiteral("0100000ABCDEF0FF"), QStringLiteral("Павел"));
    const QString target = initialisedDatabase();
    const ToolRun toDb = reg({QStringLiteral("copy"), twice.dir, target});
    EXPECT_EQ(toDb.exitCode, 1);
    EXPECT_TRUE(toDb.err.contains("повторяется")) << toDb.err.toStdString();
    PgConnection conn(target);
    conn.connect();
    EXPECT_EQ(conn.exec(QStringLiteral("SELECT (SELECT count(*) FROM obj) + (SELECT count(*) FROM tokens)"))
                  .integer(0, 0),
              0);
}
