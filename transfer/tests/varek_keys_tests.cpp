// The command-line tool varek-keys over real registers in temporary directories.

#include "keys/token_code.h"
#include "register/dir_lock.h"
#include "register/tests/dataset_support.h"
#include "register/varek_register.h"
#include "transfer/key_transfer.h"
#include "transfer/tests/gtest_print.h"

#include "core/tests/run_program.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QProcess>

#include <gtest/gtest.h>

using namespace varek;
using varek::test::TempRegister;

namespace {

const QString CodeA = QStringLiteral("01B2F5107C3A0086");
const QString CodeB = QStringLiteral("010900107C3A000D");
const QString CodeD = QStringLiteral("01FFFFFFFFFF001A");

using ToolRun = test::ProgramRun;

ToolRun varekKeys(const QStringList& args) {
    return test::runProgram(QStringLiteral(VAREK_BIN_DIR "/varek-keys"), args);
}

QByteArray filesHash(const QString& dir) {
    QCryptographicHash h(QCryptographicHash::Sha256);
    for (const QString& name : QDir(dir).entryList({QStringLiteral("*.dbf")}, QDir::Files)) {
        QFile f(dir + name);
        EXPECT_TRUE(f.open(QIODevice::ReadOnly));
        h.addData(name.toUtf8());
        h.addData(f.readAll());
    }
    return h.result();
}

void writeFile(const QString& path, const QString& text) {
    QFile f(path);
    ASSERT_TRUE(f.open(QIODevice::WriteOnly));
    f.write(text.toUtf8());
}

struct ToolRegister {
    TempRegister files;
    QString csv;
    ToolRegister() {
        files.obj(1, QStringLiteral("Склад"));
        files.ctrl(1, QStringLiteral("Ворота"), 3);
        files.add("tokens.dbf",
                  {CodeA, CardNumberOf(CodeA), QStringLiteral("Иванов"), QDate(2024, 5, 17), 1});
        files.add("tokens.dbf", {CodeB, CardNumberOf(CodeB), QStringLiteral("Охрана"), QDate(2023, 1, 2), 0});
        files.access(CodeA, 3);
        csv = files.tmp.path() + QStringLiteral("/keys.csv");
    }
    QByteArray exported() {
        VarekRegister reg;
        reg.open(files.dir);
        return exportKeysCsv(reg);
    }
};

const QString ImportText = QStringLiteral("Код Dallas,Пользователь,Статус,Контроллеры\r\n"
                                          "%1,Петров,доступ,Склад / Ворота\r\n"
                                          "%2,Охрана,мастер-ключ,Склад / Ворота\r\n")
                               .arg(CodeD, CodeB);

TEST(VarekKeysTool, ExportWritesTheRegistersKeys) {
    ToolRegister r;
    const ToolRun run = varekKeys({QStringLiteral("export"), r.files.dir, r.csv});
    EXPECT_EQ(run.exitCode, 0) << run.err.toStdString();
    EXPECT_EQ(run.out.trimmed(), QStringLiteral("Выгружено ключей: 2 в файл %1").arg(r.csv));
    QFile f(r.csv);
    ASSERT_TRUE(f.open(QIODevice::ReadOnly));
    EXPECT_EQ(f.readAll(), r.exported());
}

TEST(VarekKeysTool, DryRunPrintsThePreviewAndChangesNothing) {
    ToolRegister r;
    writeFile(r.csv, ImportText);
    const QByteArray before = filesHash(r.files.dir);
    const ToolRun run =
        varekKeys({QStringLiteral("import"), r.files.dir, r.csv, QStringLiteral("--dry-run")});
    EXPECT_EQ(run.exitCode, 0) << run.err.toStdString();
    EXPECT_EQ(run.out, QStringLiteral("строка 2: добавить %1 (Петров)\n"
                                      "строка 3: изменить %2 (Охрана): изменится: контроллеры\n"
                                      "Добавить: 1, изменить: 1, отклонено: 0\n")
                           .arg(CodeD, CodeB));
    EXPECT_EQ(filesHash(r.files.dir), before);
}

TEST(VarekKeysTool, ImportAppliesAndASecondRunHasNothingToDo) {
    ToolRegister r;
    writeFile(r.csv, ImportText);
    ToolRun run = varekKeys({QStringLiteral("import"), r.files.dir, r.csv});
    EXPECT_EQ(run.exitCode, 0) << run.err.toStdString();
    EXPECT_TRUE(run.out.endsWith(QStringLiteral("Применено: добавлено 1, изменено 1.\n")))
        << run.out.toStdString();
    const QString keys = QString::fromUtf8(r.exported());
    EXPECT_TRUE(keys.contains(QStringLiteral(",Петров,%1,доступ,%2,Склад / Ворота\r\n")
                                  .arg(QDate::currentDate().toString(QStringLiteral("dd.MM.yyyy")), CodeD)))
        << keys.toStdString();
    EXPECT_TRUE(keys.contains(QStringLiteral("мастер-ключ,%1,Склад / Ворота\r\n").arg(CodeB)));

    run = varekKeys({QStringLiteral("import"), r.files.dir + QStringLiteral("/"), r.csv});
    EXPECT_EQ(run.exitCode, 0);
    EXPECT_TRUE(run.out.endsWith(QStringLiteral("без изменений: 2\nИзменений нет.\n")))
        << run.out.toStdString();
}

TEST(VarekKeysTool, RefusedRowsAndUnreadableFilesFailWithoutChanges) {
    ToolRegister r;
    writeFile(r.csv, ImportText + QStringLiteral("01B2F5107C3A0087,Гость,доступ,\r\n"));
    const QByteArray before = filesHash(r.files.dir);
    for (const bool dry : {true, false}) {
        QStringList args{QStringLiteral("import"), r.files.dir, r.csv};
        if (dry) args << QStringLiteral("--dry-run");
        const ToolRun run = varekKeys(args);
        EXPECT_EQ(run.exitCode, 1);
        EXPECT_TRUE(run.out.contains(QStringLiteral("строка 4: отклонена: неверный контрольный байт")))
            << run.out.toStdString();
        EXPECT_TRUE(run.err.contains(QStringLiteral("файл не применён"))) << run.err.toStdString();
    }
    EXPECT_EQ(filesHash(r.files.dir), before);

    const ToolRun missing =
        varekKeys({QStringLiteral("import"), r.files.dir, r.csv + QStringLiteral(".absent")});
    EXPECT_EQ(missing.exitCode, 1);
    EXPECT_TRUE(missing.err.contains(QStringLiteral("Не удалось открыть файл"))) << missing.err.toStdString();
}

TEST(VarekKeysTool, RefusesARegisterTheProgramHolds) {
    ToolRegister r;
    writeFile(r.csv, ImportText);
    const QByteArray before = filesHash(r.files.dir);
    DirLock held;
    held.acquire(r.files.dir);
    for (const QStringList& args :
         {QStringList{QStringLiteral("import"), r.files.dir, r.csv},
          QStringList{QStringLiteral("export"), r.files.dir, r.csv + QStringLiteral("2")}}) {
        const ToolRun run = varekKeys(args);
        EXPECT_EQ(run.exitCode, 1);
        EXPECT_TRUE(run.err.contains(QStringLiteral("уже используется другой копией программы")))
            << run.err.toStdString();
        EXPECT_TRUE(run.err.contains(QStringLiteral("Закройте программу Varek")));
    }
    EXPECT_EQ(filesHash(r.files.dir), before);
    EXPECT_FALSE(QFile::exists(r.csv + QStringLiteral("2")));
}

TEST(VarekKeysTool, WrongCommandLinesGiveUsage) {
    for (const QStringList& args :
         {QStringList{}, QStringList{QStringLiteral("export"), QStringLiteral("/tmp")},
          QStringList{QStringLiteral("merge"), QStringLiteral("a"), QStringLiteral("b")},
          QStringList{QStringLiteral("export"), QStringLiteral("a"), QStringLiteral("b"),
                      QStringLiteral("--dry-run")},
          QStringList{QStringLiteral("import"), QStringLiteral("a"), QStringLiteral("b"),
                      QStringLiteral("--force")}}) {
        const ToolRun run = varekKeys(args);
        EXPECT_EQ(run.exitCode, 2) << args.join(u' ').toStdString();
        EXPECT_TRUE(run.err.contains(QStringLiteral("Вызов: varek-keys export")));
    }
}

} // namespace
