#pragma once

#include "backup/register_backup.h"

#include <QString>

namespace varek {

class Messages;
class VarekRegister;

// The window's two backup operations over its open register. They run on the
// window's thread, between operations: no unit of work is open then (a
// button press cannot come while one runs), and a journal a failed unit left
// is completed first, so the copy holds whole operations only. They throw on
// failure; the caller runs them under the guard.
class BackupOperations {
public:
    // dataDir: the register's directory; settingsPath: the window's settings.ini.
    BackupOperations(VarekRegister& reg, Messages& messages, QString dataDir, QString settingsPath);

    // "Создать резервную копию": asks where to save (starting in initialDir
    // with the default name; an existing file is replaced only when the
    // operator says so), writes the archive, says where it went.
    // Returns the archive's path, empty when the operator cancelled.
    QString createBackup(const QString& initialDir);

    // "Восстановить из копии": asks for the archive, checks it, asks the
    // operator, keeps the register it replaces as an archive beside the copy,
    // puts the copy's tables in place and reopens the register over them.
    // settings.ini is not restored: the port choices belong to this
    // workstation and stay as the window has them. True when restored.
    bool restoreBackup(const QString& initialDir);

    // Told how far the long parts (writing, reading and checking an archive)
    // have come; it may throw EAbort to cancel them.
    void setProgress(BackupProgress progress) { m_progress = std::move(progress); }

private:
    void refuseDuringUnit() const;

    VarekRegister& m_reg;
    Messages& m_messages;
    QString m_dataDir;
    QString m_settingsPath;
    BackupProgress m_progress;
};

} // namespace varek
