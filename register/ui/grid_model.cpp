#include "register/ui/grid_model.h"
#include "register/fields.h"

#include "register/data_link.h"
#include "register/dataset.h"

namespace varek {

GridModel::GridModel(DataLink& link, QList<GridColumn> columns, QObject* parent)
    : QAbstractTableModel(parent), m_link(link), m_columns(std::move(columns)),
      m_fieldIndex(m_columns.size(), -1) {
    connect(&m_link, &DataLink::rowsReset, this, &GridModel::reset);
    connect(&m_link, &DataLink::rowChanged, this, &GridModel::rowChanged);
    // A move of the current row can follow an open the model has not seen yet
    // (handlers run in connection order); take the rows then too.
    connect(&m_link, &DataLink::dataChange, this, [this] {
        const Dataset* ds = dataset();
        if (ds && ds->active() && ds->recordCount() != m_rows) reset();
    });
    reset();
}

Dataset* GridModel::dataset() const {
    return m_link.dataset();
}

int GridModel::columnOfField(const QString& field) const {
    for (int c = 0; c < m_columns.size(); ++c)
        if (m_columns[c].field.compare(field, Qt::CaseInsensitive) == 0) return c;
    return -1;
}

bool GridModel::isStatusColumn(int column) const {
    return column >= 0 && column < m_columns.size() &&
           m_columns[column].field.compare(field::status, Qt::CaseInsensitive) == 0;
}

QString GridModel::statusText(const QVariant& status) {
    if (!status.isValid() || status.isNull()) return QStringLiteral("мастер-ключ");
    bool ok = false;
    const qlonglong n = status.toLongLong(&ok);
    return ok && n == 0 ? QStringLiteral("мастер-ключ") : QStringLiteral("доступ");
}

void GridModel::reset() {
    beginResetModel();
    const Dataset* ds = dataset();
    const bool active = ds && ds->active();
    m_rows = active ? ds->recordCount() : 0;
    for (int c = 0; c < m_columns.size(); ++c)
        m_fieldIndex[c] = active ? ds->fieldIndex(m_columns[c].field) : -1;
    endResetModel();
}

void GridModel::rowChanged(int row) {
    if (row < 0 || row >= m_rows || m_columns.isEmpty()) return;
    emit dataChanged(index(row, 0), index(row, int(m_columns.size()) - 1));
}

int GridModel::rowCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : m_rows;
}

int GridModel::columnCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : int(m_columns.size());
}

QVariant GridModel::data(const QModelIndex& index, int role) const {
    if (!index.isValid() || index.row() >= m_rows || index.column() >= m_columns.size()) return {};
    if (role != Qt::DisplayRole && role != FieldValueRole && role != Qt::ToolTipRole &&
        role != Qt::AccessibleTextRole)
        return {};
    const Dataset* ds = dataset();
    const int field = m_fieldIndex[index.column()];
    // While the link is suspended the dataset may present fewer rows than the
    // model still shows.
    if (!ds || !ds->active() || field < 0 || index.row() >= ds->recordCount()) return {};
    const QVariant value = ds->value(index.row(), field);
    if (role == FieldValueRole) return value;
    if (role == Qt::AccessibleTextRole && isStatusColumn(index.column())) return statusText(value);
    return Dataset::textOf(value);
}

QVariant GridModel::headerData(int section, Qt::Orientation orientation, int role) const {
    if (orientation != Qt::Horizontal || section < 0 || section >= m_columns.size())
        return QAbstractTableModel::headerData(section, orientation, role);
    if (role == Qt::DisplayRole) return m_columns[section].title;
    if (role == FieldNameRole) return m_columns[section].field;
    return {};
}

Qt::ItemFlags GridModel::flags(const QModelIndex& index) const {
    if (!index.isValid()) return Qt::NoItemFlags;
    return Qt::ItemIsSelectable | Qt::ItemIsEnabled | Qt::ItemNeverHasChildren;
}

} // namespace varek
