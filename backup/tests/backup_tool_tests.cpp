// varek-backup, the command-line tool, run as a program over real directories.
#include "backup/tests/backup_support.h"

#include "core/errors.h"
#include "dbase/dbf.h"
#include "dbase/write_batch.h"
#include "register/dir_lock.h"
#include "register/table.h"
#include "register/varek_register.h"

#include <QFileInfo>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

using namespace varek;
using namespace varek::test;

namespace {

const QString kTool = QStringLiteral(VAREK_BACKUP_EXE);
const QStringList kTables = {"obj.dbf", "ctrl.dbf", "tokens.dbf", "tc.dbf"};

Ran tool(const QStringList& args) {
    return run(kTool, args);
}

// What a crash between the two steps of a unit's commit leaves: the journal
// whole and synced, the table file not yet written. The unit renames the
// first key's holder.
void leavePendingJournal(const QString& dir, const QByteArray& newName) {
    const QString path = dir + "tokens.dbf";
    qint64 offset = 0;
    QByteArray bytes;
    {
        auto f = DbfFile::open(path);
        const DbfField& field = f->fields()[f->fieldIndex("user_name")];
        offset = f->headerLength() + field.offset;
        bytes = newName.leftJustified(field.length, ' ');
    }
    // The file's writes fail (it is open for reading only) after the journal is synced.
    const int fd = ::open(QFile::encodeName(path).constData(), O_RDONLY | O_CLOEXEC);
    ASSERT_GE(fd, 0);
    WriteBatch batch(dir + VarekRegister::journalFileName());
    batch.write(fd, path, offset, bytes.constData(), bytes.size());
    EXPECT_THROW(batch.commit(), EDatabaseError);
    ::close(fd);
    ASSERT_GT(QFileInfo(dir + VarekRegister::journalFileName()).size(), 0);
}

} // namespace

TEST(BackupTool, CreateThenRestoreIntoAMissingDirectoryOpensWithEveryRow) {
    SampleHome home;
    QTemporaryDir out;
    const QString archive = out.filePath("b.tar.gz");
    const Ran made = tool({"create", home.data, archive});
    ASSERT_EQ(made.exitCode, 0) << made.err.toStdString();
    EXPECT_TRUE(made.out.contains("Резервная копия реестра сохранена")) << made.out.toStdString();
    EXPECT_TRUE(tarList(archive).contains("settings.ini")); // from beside Data/

    QTemporaryDir target;
    const QString data = target.filePath("new/Data");
    const Ran restored = tool({"restore", archive, data});
    ASSERT_EQ(restored.exitCode, 0) << restored.err.toStdString();
    EXPECT_TRUE(restored.out.contains("объектов 2, контроллеров 3, ключей 4")) << restored.out.toStdString();
    for (const QString& t : kTables)
        EXPECT_EQ(fileBytes(data + "/" + t), fileBytes(home.data + t)) << t.toStdString();
    EXPECT_EQ(fileBytes(target.filePath("new/settings.ini")), fileBytes(home.home + "settings.ini"));
    EXPECT_TRUE(QDir(out.path()).entryList({"varek-before-restore-*"}).isEmpty()); // nothing was replaced

    VarekRegister reg;
    reg.open(data);
    EXPECT_EQ(reg.taObj().liveRowCount(), 2);
    EXPECT_EQ(reg.taCtrl().liveRowCount(), 3);
    EXPECT_EQ(reg.taTokens().liveRowCount(), 4);
    EXPECT_EQ(reg.taTC().liveRowCount(), 4);
}

TEST(BackupTool, RestoreOverARegisterKeepsItAndLeavesItsSettings) {
    SampleHome from, into;
    sample::appendRows(from.data + "obj.dbf", {{3, QStringLiteral("Гараж"), QString(), QString()}});
    writeBytes(from.home + "settings.ini", "[1]\ncom_zintor=9\n");
    QTemporaryDir out;
    const QString archive = out.filePath("b.tar.gz");
    ASSERT_EQ(tool({"create", from.data, archive}).exitCode, 0);
    const auto old = dirSnapshot(into.data);

    const Ran r = tool({"restore", archive, into.data});
    ASSERT_EQ(r.exitCode, 0) << r.err.toStdString();
    EXPECT_EQ(fileBytes(into.data + "obj.dbf"), fileBytes(from.data + "obj.dbf"));
    EXPECT_EQ(fileBytes(into.home + "settings.ini"), QByteArray("[1]\ncom_zintor=3\ncom_token=4\n"));
    const QStringList kept = QDir(out.path()).entryList({"varek-before-restore-*.tar.gz"});
    ASSERT_EQ(kept.size(), 1);
    EXPECT_TRUE(r.out.contains(kept[0]));

    // Restoring the kept copy brings the old register back.
    ASSERT_EQ(tool({"restore", out.filePath(kept[0]), into.data}).exitCode, 0);
    for (const QString& t : kTables)
        EXPECT_EQ(fileBytes(into.data + t), old.value(t)) << t.toStdString();
}

TEST(BackupTool, TheSettingsOfAnInstalledProgramAreFoundInItsConfigPlace) {
    const QString exeDir = QFileInfo(kTool).absolutePath() + "/";
    if (QFileInfo::exists(exeDir + "Data") || QFileInfo::exists(exeDir + "settings.ini"))
        GTEST_SKIP() << "the tool's directory is laid out as a portable installation";
    QTemporaryDir xdg;
    const QString data = xdg.filePath("share/varek/Data/");
    sample::makeRegister(data);
    QDir().mkpath(xdg.filePath("config/varek"));
    writeBytes(xdg.filePath("config/varek/settings.ini"), "[1]\ncom_zintor=5\n");
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.remove("VAREK_HOME");
    env.insert("XDG_DATA_HOME", xdg.filePath("share"));
    env.insert("XDG_CONFIG_HOME", xdg.filePath("config"));
    const QString archive = xdg.filePath("b.tar.gz");
    const Ran r = run(kTool, {"create", data, archive}, env);
    ASSERT_EQ(r.exitCode, 0) << r.err.toStdString();
    EXPECT_TRUE(tarList(archive).contains("settings.ini"));
}

TEST(BackupTool, RefusesWhileTheProgramHoldsTheRegister) {
    SampleHome home;
    QTemporaryDir out;
    const QString archive = out.filePath("b.tar.gz");
    ASSERT_EQ(tool({"create", home.data, archive}).exitCode, 0);
    const auto before = dirSnapshot(home.data);

    VarekRegister program; // the window's register holds the directory's lock
    program.open(home.data);
    const Ran c = tool({"create", home.data, out.filePath("c.tar.gz")});
    EXPECT_EQ(c.exitCode, 1);
    EXPECT_TRUE(c.err.contains("уже используется")) << c.err.toStdString();
    EXPECT_TRUE(c.err.contains("Закройте программу Varek")) << c.err.toStdString();
    EXPECT_FALSE(QFileInfo::exists(out.filePath("c.tar.gz")));
    const Ran r = tool({"restore", archive, home.data});
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_TRUE(r.err.contains("уже используется")) << r.err.toStdString();
    EXPECT_EQ(dirSnapshot(home.data), before);
    EXPECT_EQ(QDir(out.path()).entryList(QDir::Files | QDir::Hidden), QStringList{"b.tar.gz"});
}

TEST(BackupTool, APendingJournalIsCompletedBeforeTheCopyIsTaken) {
    SampleHome home;
    leavePendingJournal(home.data, "Restored Holder");
    QTemporaryDir out;
    const QString archive = out.filePath("b.tar.gz");
    ASSERT_EQ(tool({"create", home.data, archive}).exitCode, 0);
    EXPECT_EQ(QFileInfo(home.data + VarekRegister::journalFileName()).size(), 0);
    EXPECT_FALSE(tarList(archive).join(' ').contains("journal"));

    QTemporaryDir target;
    const Ran r = tool({"restore", archive, target.path()});
    ASSERT_EQ(r.exitCode, 0) << r.err.toStdString();
    auto tokens = DbfFile::open(target.filePath("tokens.dbf"));
    QStringList names;
    tokens->readAll(
        [&](quint32, QVector<QVariant>&& v) { names << v[tokens->fieldIndex("user_name")].toString(); });
    EXPECT_EQ(names.value(0), "Restored Holder");
    EXPECT_EQ(names.size(), 4);
}

TEST(BackupTool, RefusedArchiveAndWrongCommandLines) {
    SampleHome home;
    QTemporaryDir out;
    writeBytes(out.filePath("notes.txt"), "not an archive");
    const auto before = dirSnapshot(home.data);
    const Ran bad = tool({"restore", out.filePath("notes.txt"), home.data});
    EXPECT_EQ(bad.exitCode, 1);
    EXPECT_TRUE(bad.err.contains("не является резервной копией")) << bad.err.toStdString();
    EXPECT_EQ(dirSnapshot(home.data), before);
    const Ran missing = tool({"create", out.filePath("nowhere"), out.filePath("b.tar.gz")});
    EXPECT_EQ(missing.exitCode, 1);
    EXPECT_TRUE(missing.err.contains("не найден")) << missing.err.toStdString();

    for (const QStringList& args :
         {QStringList{}, QStringList{"create", home.data}, QStringList{"copy", home.data, "b.tar.gz"},
          QStringList{"create", "--settings"}, QStringList{"restore", "--x", "a", "b"}}) {
        const Ran r = tool(args);
        EXPECT_EQ(r.exitCode, 2) << args.join(' ').toStdString();
        EXPECT_TRUE(r.err.contains("Использование:")) << args.join(' ').toStdString();
    }
    EXPECT_EQ(tool({"--help"}).exitCode, 0);
}
