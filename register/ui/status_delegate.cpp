#include "register/ui/status_delegate.h"
#include "register/fields.h"

#include "register/ui/grid_model.h"

namespace varek {

namespace {
bool isStatusColumn(const QModelIndex& index) {
    const QAbstractItemModel* model = index.model();
    if (!model) return false;
    const QString field =
        model->headerData(index.column(), Qt::Horizontal, GridModel::FieldNameRole).toString();
    return field.compare(field::status, Qt::CaseInsensitive) == 0;
}
} // namespace

QString StatusDelegate::statusText(const QVariant& status) {
    return GridModel::statusText(status);
}

// The model names the key's kind in its accessible text; drawing that same
// text keeps the screen and a screen reader in step.
QString StatusDelegate::cellText(const QModelIndex& index) {
    if (isStatusColumn(index)) return index.data(Qt::AccessibleTextRole).toString();
    return index.data(Qt::DisplayRole).toString();
}

void StatusDelegate::initStyleOption(QStyleOptionViewItem* option, const QModelIndex& index) const {
    QStyledItemDelegate::initStyleOption(option, index);
    if (isStatusColumn(index)) option->text = cellText(index);
}

} // namespace varek
