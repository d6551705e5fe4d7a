#pragma once

#include "transfer/key_transfer.h"

#include <QDialog>

class QLabel;
class QPushButton;
class QTableWidget;

namespace varek {

// The check of a keys file before it is applied: a table of its rows with what
// each does and why a row is refused, the counts, and "Применить" (only when
// nothing is refused and something changes) and "Отмена".
class ImportPreviewDialog : public QDialog {
    Q_OBJECT
public:
    ImportPreviewDialog(const ImportPlan& plan, const QString& fileName, QWidget* parent = nullptr);

    QTableWidget* rowsTable() const { return m_rows; }
    QLabel* countsLabel() const { return m_counts; }
    QPushButton* applyButton() const { return m_apply; }
    QPushButton* cancelButton() const { return m_cancel; }

    // The words of the action column.
    static QString verdictText(ImportRow::Verdict verdict);

private:
    QTableWidget* m_rows;
    QLabel* m_counts;
    QPushButton* m_apply;
    QPushButton* m_cancel;
};

} // namespace varek
