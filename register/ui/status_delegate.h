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

    // "мастер-ключ" for 0 and for null, "доступ" for every other value: the
    // memory image treats a key the same way (status other than 0 is an
    // access key), so the grid never names a key differently from its controller.
    static QString statusText(const QVariant& status);

    // The text a cell shows (for tests and accessibility).
    static QString cellText(const QModelIndex& index);

protected:
    void initStyleOption(QStyleOptionViewItem* option, const QModelIndex& index) const override;
};

} // namespace varek
