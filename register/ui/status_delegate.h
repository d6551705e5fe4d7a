#pragma once

#include <QStyledItemDelegate>

namespace varek {

// Draws the key grids' cells: a column bound to the field "status" (compared
// without regard to case) shows the key's kind as text instead of the number;
// every other column is drawn as usual. Used by both key grids.
class StatusDelegate : public QStyledItemDelegate {
    Q_OBJECT
public:
    using QStyledItemDelegate::QStyledItemDelegate;

    // The status column's text (GridModel::statusText).
    static QString statusText(const QVariant& status);

    // The text a cell shows: for the status column the model's accessible text.
    static QString cellText(const QModelIndex& index);

protected:
    void initStyleOption(QStyleOptionViewItem* option, const QModelIndex& index) const override;
};

} // namespace varek
