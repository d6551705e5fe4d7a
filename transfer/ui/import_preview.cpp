#include "transfer/ui/import_preview.h"

#include <QBrush>
#include <QDialogButtonBox>
#include <QFileInfo>
#include <QHeaderView>
#include <QLabel>
#include <QPalette>
#include <QPushButton>
#include <QTableWidget>
#include <QVBoxLayout>

namespace varek {

QString ImportPreviewDialog::verdictText(ImportRow::Verdict verdict) {
    switch (verdict) {
    case ImportRow::Verdict::Add:
        return QStringLiteral("добавить");
    case ImportRow::Verdict::Change:
        return QStringLiteral("изменить");
    case ImportRow::Verdict::Same:
        return QStringLiteral("без изменений");
    case ImportRow::Verdict::Refused:
        return QStringLiteral("отклонена");
    }
    return QString();
}

ImportPreviewDialog::ImportPreviewDialog(const ImportPlan& plan, const QString& fileName, QWidget* parent)
    : QDialog(parent) {
    setObjectName(QStringLiteral("ImportPreviewDialog"));
    setWindowTitle(QStringLiteral("Импорт ключей из CSV"));
    setModal(true);
    resize(820, 480);
    auto* layout = new QVBoxLayout(this);

    auto* file = new QLabel(QStringLiteral("Файл: %1").arg(QFileInfo(fileName).fileName()), this);
    file->setToolTip(fileName);
    layout->addWidget(file);
    if (!plan.ignoredColumns.isEmpty()) {
        auto* ignored = new QLabel(
            QStringLiteral("Столбцы не распознаны и не читаются: %1").arg(plan.ignoredColumns.join(u", ")),
            this);
        ignored->setObjectName(QStringLiteral("laIgnored"));
        ignored->setWordWrap(true);
        layout->addWidget(ignored);
    }

    const QStringList headers{QStringLiteral("Строка"), QStringLiteral("Код Dallas"),
                              QStringLiteral("Пользователь"), QStringLiteral("Действие"),
                              QStringLiteral("Причина")};
    m_rows = new QTableWidget(static_cast<int>(plan.rows.size()), static_cast<int>(headers.size()), this);
    m_rows->setObjectName(QStringLiteral("gridImport"));
    m_rows->setAccessibleName(QStringLiteral("Строки файла"));
    m_rows->setHorizontalHeaderLabels(headers);
    m_rows->verticalHeader()->hide();
    m_rows->setEditTriggers(QAbstractItemView::NoEditTriggers);
    m_rows->setSelectionBehavior(QAbstractItemView::SelectRows);
    m_rows->setWordWrap(true);
    const QBrush refusedText(QColor(0xB0, 0x00, 0x20));
    for (int r = 0; r < plan.rows.size(); ++r) {
        const ImportRow& row = plan.rows.at(r);
        const QStringList cells{QString::number(row.line), row.code, row.holder, verdictText(row.verdict),
                                row.reason};
        for (int c = 0; c < cells.size(); ++c) {
            auto* item = new QTableWidgetItem(cells.at(c));
            if (row.verdict == ImportRow::Verdict::Refused) item->setForeground(refusedText);
            if (c == 4) item->setToolTip(row.reason);
            m_rows->setItem(r, c, item);
        }
    }
    m_rows->resizeColumnsToContents();
    m_rows->horizontalHeader()->setStretchLastSection(true);
    layout->addWidget(m_rows, 1);

    const int same = plan.count(ImportRow::Verdict::Same);
    m_counts = new QLabel(
        plan.summary() + (same > 0 ? QStringLiteral(", без изменений: %1").arg(same) : QString()), this);
    m_counts->setObjectName(QStringLiteral("laCounts"));
    QFont bold = m_counts->font();
    bold.setBold(true);
    m_counts->setFont(bold);
    layout->addWidget(m_counts);
    if (plan.refused() || !plan.canApply()) {
        auto* why =
            new QLabel(plan.refused() ? QStringLiteral("Файл нельзя применить: исправьте отклонённые строки "
                                                       "и откройте его снова.")
                                      : QStringLiteral("Файл ничего не меняет в реестре."),
                       this);
        why->setObjectName(QStringLiteral("laWhy"));
        why->setWordWrap(true);
        layout->addWidget(why);
    }

    auto* buttons = new QDialogButtonBox(this);
    m_apply = buttons->addButton(QStringLiteral("Применить"), QDialogButtonBox::AcceptRole);
    m_apply->setObjectName(QStringLiteral("btnApply"));
    m_apply->setEnabled(plan.canApply());
    m_cancel = buttons->addButton(QStringLiteral("Отмена"), QDialogButtonBox::RejectRole);
    m_cancel->setObjectName(QStringLiteral("btnCancel"));
    if (plan.canApply())
        m_apply->setDefault(true);
    else
        m_cancel->setDefault(true);
    connect(buttons, &QDialogButtonBox::accepted, this, &QDialog::accept);
    connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
    layout->addWidget(buttons);
}

} // namespace varek
