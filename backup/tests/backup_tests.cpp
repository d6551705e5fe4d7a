// Backups of the register: the archive, its checks before a restore, putting
// the files in place, and the window's two operations over an open register.
#include "backup/backup_ops.h"
#include "backup/register_backup.h"
#include "backup/tests/backup_support.h"
#include "dbase/tests/python_support.h"

#include "core/errors.h"
#include "core/recording_messages.h"
#include "register/table.h"
#include "register/varek_register.h"

#include <QDateTime>
#include <gtest/gtest.h>

using namespace varek;
using namespace varek::test;

namespace {

const QStringList kTables = {"obj.dbf", "ctrl.dbf", "tokens.dbf", "tc.dbf"};

QString errorOf(const std::function<void()>& f) {
    try {
        f();
    } catch (const VarekError& e) {
        return e.message();
    }
    return QStringLiteral("<no error>");
}

bool hasCyrillic(const QString& s) {
    for (QChar c : s)
        if (c.unicode() >= 0x0400 && c.unicode() <= 0x04FF) return true;
    return false;
}

} // namespace

TEST(Backup, RoundTripIntoAnEmptyDirectoryGivesEveryRowAndTheSameBytes) {
    SampleHome home;
    QTemporaryDir outDir;
    const QString archive = outDir.filePath("varek-2026-12-10-1530.tar.gz");
    writeBackup(home.data, home.home + "settings.ini", archive);

    // Standard tools open it, and nothing else was left beside it.
    EXPECT_EQ(tarList(archive), (QStringList{"varek-backup.txt", "Data/obj.dbf", "Data/ctrl.dbf",
                                             "Data/tokens.dbf", "Data/tc.dbf", "settings.ini"}));
    EXPECT_EQ(QDir(outDir.path()).entryList(QDir::Files | QDir::Hidden),
              QStringList{"varek-2026-12-10-1530.tar.gz"});

    QTemporaryDir target;
    const QString data = target.filePath("Data/"); // does not exist yet
    ASSERT_TRUE(QDir().mkpath(data));
    QTemporaryDir staging(data + ".varek-restore-XXXXXX");
    const BackupContents c = checkBackup(archive, staging.path());
    EXPECT_EQ(c.objects, 2);
    EXPECT_EQ(c.controllers, 3);
    EXPECT_EQ(c.keys, 4);
    EXPECT_EQ(c.accessRows, 4);
    EXPECT_TRUE(c.hasSettings);
    EXPECT_LT(std::abs(c.taken.secsTo(QDateTime::currentDateTime())), 120);
    installBackup(c, data);
    for (const QString& t : kTables)
        EXPECT_EQ(fileBytes(data + t), fileBytes(home.data + t)) << t.toStdString();

    const QString settings = target.filePath("settings.ini");
    EXPECT_TRUE(restoreSettingsIfMissing(c, settings));
    EXPECT_EQ(fileBytes(settings), fileBytes(home.home + "settings.ini"));
    writeBytes(settings, "[1]\ncom_zintor=7\n");
    EXPECT_FALSE(restoreSettingsIfMissing(c, settings)); // the workstation's own file is kept
    EXPECT_EQ(fileBytes(settings), QByteArray("[1]\ncom_zintor=7\n"));

    VarekRegister reg;
    reg.open(data);
    EXPECT_EQ(reg.taObj().liveRowCount(), 2);
    EXPECT_EQ(reg.taCtrl().liveRowCount(), 3);
    EXPECT_EQ(reg.taTokens().liveRowCount(), 4);
    EXPECT_EQ(reg.taTC().liveRowCount(), 4);
}

TEST(Backup, MemoFilesTravelWithTheirTablesAndACopyWithoutThemIsRefused) {
    if (!hasModule("dbf")) GTEST_SKIP() << "python3-dbf missing";
    SampleHome home(false);
    runPython(R"(
import dbf, sys, datetime
d = sys.argv[1]
def table(name, fields, rows):
    t = dbf.Table(d + name, fields, codepage='cp866', dbf_type='db3')
    t.open(dbf.READ_WRITE)
    for r in rows:
        t.append(r)
    t.close()
table('obj.dbf', 'obj_num N(11,0); obj_name C(60); addr C(100); notes M', [(1, 'Офис', '', 'Ключ у вахтёра ' * 60)])
table('ctrl.dbf', 'obj_num N(11,0); ctrl_name C(60); ser_num N(11,0); hard C(30); notes C(100); open_time N(11,0)', [])
table('tokens.dbf', 'token_code C(16); token_card C(9); user_name C(80); give_date D; status N(11,0)', [])
table('tc.dbf', 'token_code C(16); ser_num N(11,0)', [])
)",
              {home.data});
    ASSERT_TRUE(QFile::exists(home.data + "obj.dbt"));
    QTemporaryDir outDir;
    const QString archive = outDir.filePath("memo.tar.gz");
    writeBackup(home.data, QString(), archive);
    EXPECT_TRUE(tarList(archive).contains("Data/obj.dbt"));

    QTemporaryDir target;
    QTemporaryDir staging(target.filePath(".staging-XXXXXX"));
    const BackupContents c = checkBackup(archive, staging.path());
    installBackup(c, target.path());
    EXPECT_EQ(fileBytes(target.filePath("obj.dbt")), fileBytes(home.data + "obj.dbt"));

    // The same tables, packed by hand without the memo file.
    QFile::remove(home.data + "obj.dbt");
    const QString cut = outDir.filePath("cut.tar.gz");
    ASSERT_EQ(run("tar", {"-czf", cut, "-C", home.home, "Data/obj.dbf", "Data/ctrl.dbf", "Data/tokens.dbf",
                          "Data/tc.dbf"})
                  .exitCode,
              0);
    QTemporaryDir staging2;
    const QString why = errorOf([&] { checkBackup(cut, staging2.path()); });
    EXPECT_TRUE(why.contains("нет файла заметок obj.dbt")) << why.toStdString();
}

// A damaged or foreign archive is refused with a reason, before anything is
// asked, and the register stays as it was and open.
struct Refusal {
    const char* name;
    const char* reason; // a part of the message
    std::function<void(const QString& archive, QTemporaryDir& work)> make;
};

class RefusedArchive : public ::testing::TestWithParam<Refusal> {};

// A register laid in work/name/ and changed by change, archived as archive.
void archiveOf(const QString& archive, QTemporaryDir& work,
               const std::function<void(const QString&)>& change) {
    const QString dir = work.filePath("reg/");
    sample::makeRegister(dir);
    change(dir);
    writeBackup(dir, QString(), archive, false);
}

const Refusal kRefusals[] = {
    {"NotAnArchive", "не является резервной копией",
     [](const QString& a, QTemporaryDir&) { writeBytes(a, "[1]\ncom_zintor=3\n"); }},
    {"EmptyFile", "не является резервной копией",
     [](const QString& a, QTemporaryDir&) { writeBytes(a, ""); }},
    {"Truncated", "повреждена или обрезана",
     [](const QString& a, QTemporaryDir& w) {
         archiveOf(a, w, [](const QString&) {});
         const QByteArray whole = fileBytes(a);
         writeBytes(a, whole.left(whole.size() * 2 / 3));
     }},
    {"ForeignArchive", "нет таблиц реестра",
     [](const QString& a, QTemporaryDir& w) {
         writeBytes(w.filePath("readme.txt"), "hello");
         run("tar", {"-czf", a, "-C", w.path(), "readme.txt"});
     }},
    {"TableMissing", "нет таблиц tc.dbf",
     [](const QString& a, QTemporaryDir& w) {
         archiveOf(a, w, [](const QString& d) { QFile::remove(d + "tc.dbf"); });
     }},
    {"TableLacksAField", "нет поля status",
     [](const QString& a, QTemporaryDir& w) {
         archiveOf(a, w, [](const QString& d) {
             QFile::remove(d + "tokens.dbf");
             DbfFile::create(d + "tokens.dbf",
                             {{"token_code", 'C', 16},
                              {"token_card", 'C', 9},
                              {"user_name", 'C', 80},
                              {"give_date", 'D', 8}},
                             0x65);
         });
     }},
    {"FieldOfAnotherKind", "не подходит реестру",
     [](const QString& a, QTemporaryDir& w) {
         archiveOf(a, w, [](const QString& d) {
             QFile::remove(d + "tc.dbf");
             DbfFile::create(d + "tc.dbf", {{"token_code", 'C', 16}, {"ser_num", 'C', 11}}, 0x65);
         });
     }},
    {"DamagedTable", "повреждена",
     [](const QString& a, QTemporaryDir& w) {
         archiveOf(a, w,
                   [](const QString& d) { writeBytes(d + "ctrl.dbf", fileBytes(d + "ctrl.dbf").left(40)); });
     }},
};

TEST_P(RefusedArchive, WithAReasonAndTheRegisterUnchanged) {
    const Refusal& r = GetParam();
    SampleHome home;
    QTemporaryDir work;
    const QString archive = work.filePath("copy.tar.gz");
    r.make(archive, work);
    const auto before = dirSnapshot(home.data);
    const auto archivesBefore = QDir(work.path()).entryList(QDir::Files);

    VarekRegister reg;
    reg.open(home.data);
    RecordingMessages messages;
    messages.fileAnswers = {archive};
    BackupOperations ops(reg, messages, home.data, home.home + "settings.ini");
    const QString why = errorOf([&] { ops.restoreBackup(work.path()); });
    EXPECT_TRUE(why.contains(QString::fromUtf8(r.reason))) << why.toStdString();
    EXPECT_TRUE(hasCyrillic(why));
    EXPECT_TRUE(messages.texts(RecordingMessages::Shown::Question).isEmpty());
    EXPECT_TRUE(reg.taObj().active());
    EXPECT_EQ(reg.taObj().liveRowCount(), 2);
    EXPECT_EQ(dirSnapshot(home.data), before);
    EXPECT_EQ(QDir(work.path()).entryList(QDir::Files), archivesBefore); // no copy of the old register made
    EXPECT_EQ(QDir(home.data).entryList(QDir::Dirs | QDir::NoDotAndDotDot | QDir::Hidden), QStringList());
}

INSTANTIATE_TEST_SUITE_P(Backup, RefusedArchive, ::testing::ValuesIn(kRefusals),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(Backup, RestoreAsksNamingTheCopyKeepsTheReplacedRegisterAndReopens) {
    SampleHome home;
    QTemporaryDir work;
    // The copy holds one object more than the register it replaces.
    const QString other = work.filePath("other/");
    sample::makeRegister(other);
    sample::appendRows(other + "obj.dbf", {{3, QStringLiteral("Гараж"), QString(), QString()}});
    const QDateTime taken(QDate(2026, 11, 30), QTime(9, 5));
    const QString archive = work.filePath("varek-2026-11-30-0905.tar.gz");
    writeBackup(other, QString(), archive, true, taken);
    const QByteArray settings = fileBytes(home.home + "settings.ini");

    VarekRegister reg;
    reg.open(home.data);
    RecordingMessages messages;
    messages.fileAnswers = {archive};
    messages.questionAnswers = {false};
    BackupOperations ops(reg, messages, home.data, home.home + "settings.ini");
    const auto before = dirSnapshot(home.data);
    EXPECT_FALSE(ops.restoreBackup(work.path()));
    EXPECT_EQ(dirSnapshot(home.data), before); // No leaves everything

    messages = RecordingMessages();
    messages.fileAnswers = {archive};
    EXPECT_TRUE(ops.restoreBackup(work.path()));
    const QStringList questions = messages.texts(RecordingMessages::Shown::Question);
    ASSERT_EQ(questions.size(), 1);
    EXPECT_TRUE(questions[0].contains("от 30.11.2026 09:05")) << questions[0].toStdString();
    EXPECT_TRUE(questions[0].contains("объектов: 3, контроллеров: 3, ключей: 4"))
        << questions[0].toStdString();
    EXPECT_TRUE(reg.taObj().active());
    EXPECT_EQ(reg.taObj().liveRowCount(), 3);
    EXPECT_EQ(fileBytes(home.data + "obj.dbf"), fileBytes(other + "obj.dbf"));
    EXPECT_EQ(fileBytes(home.home + "settings.ini"), settings); // the window's port choices stay

    // The replaced register is kept beside the copy, and restores like any copy.
    const QStringList kept = QDir(work.path()).entryList({"varek-before-restore-*.tar.gz"}, QDir::Files);
    ASSERT_EQ(kept.size(), 1);
    EXPECT_TRUE(messages.texts(RecordingMessages::Shown::Plain).join("").contains(kept[0]));
    QTemporaryDir staging;
    const BackupContents old = checkBackup(work.filePath(kept[0]), staging.path());
    EXPECT_EQ(old.objects, 2);
    EXPECT_EQ(fileBytes(staging.filePath("obj.dbf")), before.value("obj.dbf"));
    EXPECT_EQ(QDir(home.data).entryList(QDir::Dirs | QDir::NoDotAndDotDot | QDir::Hidden), QStringList());
}

TEST(Backup, AFailureHalfWayThroughPuttingFilesInPlaceLeavesTheOldRegister) {
    SampleHome home;
    QTemporaryDir work;
    const QString other = work.filePath("other/");
    sample::makeRegister(other);
    sample::appendRows(other + "obj.dbf", {{3, QStringLiteral("Гараж"), QString(), QString()}});
    const QString archive = work.filePath("copy.tar.gz");
    writeBackup(other, QString(), archive);
    // tc.dbf, the last file to go in, cannot: a directory of that name is in the way.
    ASSERT_TRUE(QFile::remove(home.data + "tc.dbf"));
    ASSERT_TRUE(QDir().mkpath(home.data + "tc.dbf/inside"));
    const auto before = dirSnapshot(home.data);

    QTemporaryDir staging(home.data + ".staging-XXXXXX");
    const BackupContents c = checkBackup(archive, staging.path());
    const QString why = errorOf([&] { installBackup(c, home.data); });
    EXPECT_TRUE(why.contains("прежние файлы оставлены на месте")) << why.toStdString();
    EXPECT_EQ(dirSnapshot(home.data), before);
}

TEST(Backup, NoCopyIsTakenWhileAUnitOfWorkIsOpen) {
    SampleHome home;
    VarekRegister reg;
    reg.open(home.data);
    QTemporaryDir work;
    RecordingMessages messages;
    messages.fileAnswers = {work.filePath("copy.tar.gz")};
    BackupOperations ops(reg, messages, home.data, QString());

    reg.beginUnit();
    reg.taObj().append();
    reg.taObj().setFieldValue("obj_num", 3);
    reg.taObj().setFieldValue("obj_name", QStringLiteral("Гараж"));
    reg.taObj().post(); // waits in the unit
    const QString why = errorOf([&] { ops.createBackup(work.path()); });
    EXPECT_TRUE(why.contains("Реестр сейчас изменяется")) << why.toStdString();
    EXPECT_TRUE(QDir(work.path()).entryList(QDir::Files | QDir::Hidden).isEmpty());
    reg.endUnit();

    // Once the unit has ended, the copy holds it whole; the name gets its suffix.
    messages.fileAnswers = {work.filePath("copy")};
    EXPECT_EQ(ops.createBackup(work.path()), work.filePath("copy.tar.gz"));
    // The save dialog offered the dated default name in the folder given.
    EXPECT_TRUE(QFileInfo(messages.lastInitialDir)
                    .fileName()
                    .startsWith("varek-" + QDate::currentDate().toString("yyyy-MM-dd") + "-"))
        << messages.lastInitialDir.toStdString();
    EXPECT_EQ(QFileInfo(messages.lastInitialDir).absolutePath(), work.path());
    QTemporaryDir staging;
    EXPECT_EQ(checkBackup(work.filePath("copy.tar.gz"), staging.path()).objects, 3);

    // An existing file is replaced only when the operator says so.
    const QByteArray first = fileBytes(work.filePath("copy.tar.gz"));
    messages = RecordingMessages();
    messages.fileAnswers = {work.filePath("copy.tar.gz")};
    messages.questionAnswers = {false};
    EXPECT_EQ(ops.createBackup(work.path()), QString());
    EXPECT_EQ(fileBytes(work.filePath("copy.tar.gz")), first);
    EXPECT_TRUE(messages.texts(RecordingMessages::Shown::Question).value(0).contains("уже есть"));
}

TEST(Backup, Names) {
    const QDateTime t(QDate(2026, 12, 10), QTime(15, 30, 7));
    EXPECT_EQ(defaultBackupName(t), "varek-2026-12-10-1530.tar.gz");
    EXPECT_EQ(replacedRegisterName(t), "varek-before-restore-2026-12-10-153007.tar.gz");
    EXPECT_EQ(withArchiveSuffix("/b/copy"), "/b/copy.tar.gz");
    EXPECT_EQ(withArchiveSuffix("/b/copy.TGZ"), "/b/copy.TGZ");
    EXPECT_EQ(portableSettingsPath("/opt/varek/Data/"), "/opt/varek/settings.ini");
    EXPECT_EQ(portableSettingsPath("/opt/varek/Data"), "/opt/varek/settings.ini");
}

TEST(Backup, ProgressRunsToTheEndAndCancellingLeavesNothingChanged) {
    SampleHome home;
    QTemporaryDir work;
    QList<int> seen;
    const QString archive = work.filePath("copy.tar.gz");
    writeBackup(home.data, QString(), archive, true, QDateTime::currentDateTime(), [&](int p) { seen << p; });
    ASSERT_FALSE(seen.isEmpty());
    EXPECT_EQ(seen.last(), 100);
    EXPECT_TRUE(std::is_sorted(seen.begin(), seen.end()));
    seen.clear();
    QTemporaryDir staging;
    checkBackup(archive, staging.path(), [&](int p) { seen << p; });
    EXPECT_EQ(seen.last(), 100);
    EXPECT_TRUE(std::is_sorted(seen.begin(), seen.end()));

    // Cancelled while the archive is written: no file, not even a temporary one.
    const auto cancel = [](int) { throw EAbort(); };
    EXPECT_THROW(writeBackup(home.data, QString(), work.filePath("other.tar.gz"), true,
                             QDateTime::currentDateTime(), cancel),
                 EAbort);
    EXPECT_EQ(QDir(work.path()).entryList(QDir::Files | QDir::Hidden), QStringList{"copy.tar.gz"});

    // Cancelled in a restore, while the copy is checked or the old register kept.
    sample::appendRows(home.data + "obj.dbf", {{3, QStringLiteral("Гараж"), QString(), QString()}});
    const auto before = dirSnapshot(home.data);
    VarekRegister reg;
    reg.open(home.data);
    for (int cancelAt : {1, 2}) {
        RecordingMessages messages;
        messages.fileAnswers = {archive};
        BackupOperations ops(reg, messages, home.data, QString());
        int phase = 0;
        ops.setProgress([&](int p) {
            if (p == 0 && ++phase == cancelAt) throw EAbort();
        });
        EXPECT_THROW(ops.restoreBackup(work.path()), EAbort);
        EXPECT_EQ(dirSnapshot(home.data), before);
        EXPECT_EQ(reg.taObj().liveRowCount(), 3);
        EXPECT_EQ(QDir(work.path()).entryList(QDir::Files | QDir::Hidden), QStringList{"copy.tar.gz"});
    }
}
