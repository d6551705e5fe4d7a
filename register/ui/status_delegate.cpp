#include "register/ui/status_delegate.h"

#include "register/ui/grid_model.h"

namespace varek {

namespace {
bool isStatusColumn(const QModelIndex& index) {
    const QAbstractItemModel* model = index.model();
    if (!model) return false;
    const QString field =
        model->headerData(index.column(), Qt::Horizontal, GridModel::FieldNameRole).toString();
    return field.compare(QStringLiteral("status"), Qt::CaseInsensitive) == 0;
}
} // namespace

QString StatusDelegate::statusText(const QVariant& status) {
    if (!status.isValid() || status.isNull()) return QStringLiteral("мастер-ключ");
    bool ok = false;
    const qlonglong n = status.toLongLong(&ok);
    return ok && n == 0 ? QStringLiteral("мастер-ключ") : QStringLiteral("доступ");
}

QString StatusDelegate::cellText(const QModelIndex& index) {
    if (isStatusColumn(index)) return statusText(index.data(GridModel::FieldValueRole));
    return index.data(Qt::DisplayRole).toString();
}

void StatusDelegate::initStyleOption(QStyleOptionViewItem* option, const QModelIndex& index) const {
    QStyledItemDelegate::initStyleOption(option, index);
    if (isStatusColumn(index)) option->text = statusText(index.data(GridModel::FieldValueRole));
}

} // namespace varek
