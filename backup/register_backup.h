#pragma once

#include <QDateTime>
#include <QString>
#include <QStringList>

#include <functional>

namespace varek {

// Backups of the register: one tar.gz archive that holds the four tables
// (Data/obj.dbf, Data/ctrl.dbf, Data/tokens.dbf, Data/tc.dbf), their memo
// files (Data/*.dbt) when there are any, settings.ini when it exists, and a
// short note of when the copy was taken (varek-backup.txt). Standard tools
// open it: tar -tzf lists it, tar -xzf lays Data/ and settings.ini out as a
// portable installation keeps them.
//
// The functions here read and write files only; making sure that nothing
// writes the register meanwhile is the caller's part (the window takes the
// copy on its own thread outside any unit of work, the command-line tool
// holds the data directory's lock). Failures are EFileError or
// EDatabaseError with a Russian message that says what to do.

// Told how far a long backup or check has come, in percent (0 when that
// piece of work starts, 100 when it ends). It may throw (EAbort, to cancel): the work
// then stops as on any failure, before anything was changed.
using BackupProgress = std::function<void(int percent)>;

// The default name of a backup taken at when: varek-2026-12-10-1530.tar.gz.
QString defaultBackupName(const QDateTime& when);
// The name under which a restore keeps the register it replaces:
// varek-before-restore-2026-12-10-153012.tar.gz.
QString replacedRegisterName(const QDateTime& when);
// A chosen name without an archive suffix gets ".tar.gz".
QString withArchiveSuffix(const QString& path);

// The register files of dataDir that a backup holds, as they are named there
// (any case): the four tables, in the register's order, then their memo files.
struct RegisterFiles {
    QStringList tables;        // full paths; missing tables are left out
    QStringList memos;         // full paths of the tables' .dbt files
    QStringList missingTables; // canonical names of the tables not found
};
RegisterFiles registerFilesIn(const QString& dataDir);

// Writes the archive of dataDir's register (and of settingsPath when that
// file exists; an empty path leaves it out) to target. The archive is
// written to a temporary file beside target, synced, and renamed over target
// only when complete, so a failure never leaves a partial archive under
// target's name. With requireAllTables, a register that lacks any of the four
// tables is refused; otherwise whatever there is goes in.
void writeBackup(const QString& dataDir, const QString& settingsPath, const QString& target,
                 bool requireAllTables = true, const QDateTime& taken = QDateTime::currentDateTime(),
                 const BackupProgress& progress = {});

// What a checked archive holds.
struct BackupContents {
    QDateTime taken; // from the archive's note, else the newest table's time in it
    int objects = 0;
    int controllers = 0;
    int keys = 0;
    int accessRows = 0;
    bool hasSettings = false;
    QString stagingDir; // where the files were laid out, with its trailing '/'
};

// Reads archive, lays the register's files out in stagingDir (which must
// exist and be empty; canonical lower-case names: obj.dbf, obj.dbt, ...,
// and settings.ini) and checks them: every one of the four tables is there,
// opens, has every field the register needs of a kind it can use, every
// record and memo reads, and the register opens over them. Anything else in
// the archive is skipped. Fails with a Russian reason; stagingDir may then
// hold some files, which the caller removes.
BackupContents checkBackup(const QString& archive, const QString& stagingDir,
                           const BackupProgress& progress = {});

// The Russian question asked before a restore, naming the copy's date and
// what it holds, and where the replaced register is kept.
QString restoreQuestion(const QString& archive, const BackupContents& contents, const QString& keptAs);

// Puts the checked files of stagingDir in place of dataDir's register: the
// register files dataDir has now (any case, with their memo files) are moved
// aside into stagingDir, the new ones renamed in; a failure on the way moves
// everything back, so dataDir holds either the old register or the new one.
// settings.ini is not touched here. The caller holds dataDir's lock or has the
// register closed, and has completed a pending journal.
void installBackup(const BackupContents& contents, const QString& dataDir);

// Completes a unit of work whose journal was left whole in dataDir (as
// opening the register does), so that the files hold whole units only.
void completePendingJournal(const QString& dataDir);

// Where a restore from archive into dataDir keeps the register it replaces:
// a replacedRegisterName() archive beside the backup when that folder is
// writable, else beside the data directory; empty when dataDir holds no
// register file (nothing to keep).
QString replacedRegisterPath(const QString& archive, const QString& dataDir, const QDateTime& when);

// Writes the settings.ini of a checked backup to settingsPath when the copy
// holds one and no settings file is there yet (the port numbers belong to the
// workstation: an existing file is kept). True when written.
bool restoreSettingsIfMissing(const BackupContents& contents, const QString& settingsPath);

// The settings.ini place for a data directory in the portable layout: the
// file beside it (DATA_DIR/../settings.ini).
QString portableSettingsPath(const QString& dataDir);

} // namespace varek
