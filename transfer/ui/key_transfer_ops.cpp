#include "transfer/ui/key_transfer_ops.h"

#include "core/errors.h"
#include "core/messages.h"
#include "transfer/ui/import_preview.h"

#include <QDir>
#include <QFileInfo>
#include <QProgressDialog>

namespace varek {

KeyTransferOperations::KeyTransferOperations(VarekRegister& reg, Messages& messages, QWidget* dialogParent)
    : m_reg(reg), m_messages(messages), m_dialogParent(dialogParent) {}

void KeyTransferOperations::exportKeys(const KeySubset& subset) {
    QString path = m_messages.saveFileName(QDir::homePath());
    if (path.isEmpty()) return;
    if (QFileInfo(path).suffix().isEmpty()) path += QStringLiteral(".csv");
    if (QFileInfo::exists(path) &&
        !m_messages.question(
            QStringLiteral("Файл %1 уже существует. Заменить его?").arg(QDir::toNativeSeparators(path))))
        return;
    const int n = varek::exportKeys(m_reg, path, subset);
    m_messages.plain(
        QStringLiteral("Выгружено ключей: %1 в файл %2").arg(n).arg(QDir::toNativeSeparators(path)));
}

void KeyTransferOperations::importKeys() {
    const QString path = m_messages.openFileName(QDir::homePath(), QStringLiteral("csv"));
    if (path.isEmpty()) return;
    const ImportPlan plan = planImportFile(m_reg, path);
    if (!plan.fileError.isEmpty()) throw EFileError(plan.fileError);
    ImportPreviewDialog preview(plan, path, m_dialogParent);
    if (preview.exec() != QDialog::Accepted || !plan.canApply()) return;
    // A long apply shows how far it is; the dialog is modal, so no other
    // operation starts while the unit is open, and the window repaints.
    QProgressDialog progress(QStringLiteral("Запись ключей в реестр..."), QString(), 0, 1, m_dialogParent);
    progress.setObjectName(QStringLiteral("ImportProgress"));
    progress.setWindowTitle(QStringLiteral("Импорт ключей из CSV"));
    progress.setWindowModality(Qt::ApplicationModal);
    progress.setMinimumDuration(500);
    progress.setAutoClose(false);
    progress.setAutoReset(false);
    progress.setValue(0);
    const ImportResult result = applyImport(m_reg, plan, [&progress](int done, int total) {
        if (progress.maximum() != total) progress.setMaximum(total);
        if (done == total || done % 64 == 0) progress.setValue(done);
    });
    progress.close();
    m_messages.plain(
        QStringLiteral("Применено: добавлено %1, изменено %2.").arg(result.added).arg(result.changed));
}

} // namespace varek
