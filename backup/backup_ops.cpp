#include "backup/backup_ops.h"

#include "backup/register_backup.h"
#include "core/errors.h"
#include "core/messages.h"
#include "register/varek_register.h"

#include <QDateTime>
#include <QDir>
#include <QFileInfo>
#include <QTemporaryDir>

namespace varek {

BackupOperations::BackupOperations(VarekRegister& reg, Messages& messages, QString dataDir,
                                   QString settingsPath)
    : m_reg(reg), m_messages(messages), m_dataDir(std::move(dataDir)),
      m_settingsPath(std::move(settingsPath)) {
    if (!m_dataDir.endsWith(QLatin1Char('/'))) m_dataDir += QLatin1Char('/');
}

void BackupOperations::refuseDuringUnit() const {
    // A register on a server is copied by the server's own means.
    if (m_reg.backend() == VarekRegister::Backend::Database)
        throw EDatabaseError(
            QStringLiteral(
                "Реестр хранится на сервере PostgreSQL (%1); его резервную копию делают средствами сервера, "
                "например pg_dump. Эти кнопки копируют и восстанавливают реестр в каталоге с данными.")
                .arg(m_reg.backendDescription()));
    if (m_reg.unitOpen())
        throw EDatabaseError(
            QStringLiteral("Реестр сейчас изменяется. Дождитесь конца операции и повторите."));
}

QString BackupOperations::createBackup(const QString& initialDir) {
    refuseDuringUnit();
    const QDateTime now = QDateTime::currentDateTime();
    QString target = m_messages.saveFileName(QDir(initialDir).filePath(defaultBackupName(now)));
    if (target.isEmpty()) return QString();
    target = withArchiveSuffix(target);
    if (QFileInfo::exists(target) &&
        !m_messages.question(QStringLiteral("Файл %1 уже есть. Заменить его новой копией?").arg(target)))
        return QString();
    completePendingJournal(m_dataDir);
    writeBackup(m_dataDir, m_settingsPath, target, true, now, m_progress);
    m_messages.plain(QStringLiteral("Резервная копия реестра сохранена в файл %1.").arg(target));
    return target;
}

bool BackupOperations::restoreBackup(const QString& initialDir) {
    refuseDuringUnit();
    const QString archive = m_messages.openFileName(initialDir, QStringLiteral("tar.gz"));
    if (archive.isEmpty()) return false;
    if (!QDir().mkpath(m_dataDir))
        throw EFileError(QStringLiteral("Не удалось создать каталог с данными %1.").arg(m_dataDir));
    // Laid out inside the data directory, so that putting the files in
    // place is a rename on the same disk.
    QTemporaryDir staging(m_dataDir + QStringLiteral(".varek-restore-XXXXXX"));
    if (!staging.isValid())
        throw EFileError(QStringLiteral("Не удалось создать временный каталог в %1: %2.")
                             .arg(m_dataDir, staging.errorString()));
    const BackupContents contents = checkBackup(archive, staging.path(), m_progress);
    const QDateTime now = QDateTime::currentDateTime();
    const QString keptAs = replacedRegisterPath(archive, m_dataDir, now);
    if (!m_messages.question(restoreQuestion(archive, contents, keptAs))) return false;

    refuseDuringUnit();
    completePendingJournal(m_dataDir);
    if (!keptAs.isEmpty()) writeBackup(m_dataDir, m_settingsPath, keptAs, false, now, m_progress);
    m_reg.close();
    try {
        installBackup(contents, m_dataDir);
    } catch (...) {
        try {
            m_reg.open(m_dataDir);
        } catch (...) {
        }
        throw;
    }
    m_reg.open(m_dataDir);
    QString text = QStringLiteral("Реестр восстановлен из копии %1.").arg(archive);
    if (!keptAs.isEmpty()) text += QStringLiteral("\nПрежний реестр сохранён в файл %1.").arg(keptAs);
    m_messages.plain(text);
    return true;
}

} // namespace varek
