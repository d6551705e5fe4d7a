#include "keys/ui/rights_model.h"

namespace varek {

RightsModel::RightsModel(QObject* parent) : QAbstractItemModel(parent) {}

void RightsModel::clear() {
    beginResetModel();
    m_objects.clear();
    endResetModel();
}

QModelIndex RightsModel::addObject(const QString& text, qint32 objNum) {
    const int row = int(m_objects.size());
    beginInsertRows({}, row, row);
    m_objects.append(Object{text, objNum, false, {}});
    endInsertRows();
    return index(row, 0);
}

QModelIndex RightsModel::addController(const QModelIndex& object, const QString& text, qint32 serNum) {
    if (!object.isValid() || object.model() != this || !isObject(object)) return {};
    Object& o = m_objects[object.row()];
    const int row = int(o.controllers.size());
    const Qt::CheckState before = objectState(o);
    beginInsertRows(object, row, row);
    o.controllers.append(Controller{text, serNum, false});
    endInsertRows();
    if (objectState(o) != before) emit dataChanged(object, object, {Qt::CheckStateRole});
    return index(row, 0, object);
}

int RightsModel::nodeCount() const {
    int count = 0;
    for (const Object& o : m_objects)
        count += 1 + int(o.controllers.size());
    return count;
}

QModelIndex RightsModel::nodeAt(int position) const {
    if (position < 0) return {};
    for (int row = 0; row < m_objects.size(); ++row) {
        if (position == 0) return index(row, 0);
        --position;
        const int children = int(m_objects[row].controllers.size());
        if (position < children) return index(position, 0, index(row, 0));
        position -= children;
    }
    return {};
}

Qt::CheckState RightsModel::objectState(const Object& object) const {
    if (object.controllers.isEmpty()) return object.checked ? Qt::Checked : Qt::Unchecked;
    int checked = 0;
    for (const Controller& c : object.controllers)
        checked += c.checked ? 1 : 0;
    if (checked == 0) return Qt::Unchecked;
    return checked == object.controllers.size() ? Qt::Checked : Qt::PartiallyChecked;
}

Qt::CheckState RightsModel::checkState(const QModelIndex& index) const {
    if (!index.isValid() || index.model() != this) return Qt::Unchecked;
    if (isObject(index)) return objectState(m_objects[index.row()]);
    return m_objects[int(index.internalId()) - 1].controllers[index.row()].checked ? Qt::Checked
                                                                                   : Qt::Unchecked;
}

void RightsModel::setState(const QModelIndex& index, bool checked) {
    if (isObject(index)) {
        Object& o = m_objects[index.row()];
        o.checked = checked;
        for (Controller& c : o.controllers)
            c.checked = checked;
        if (!o.controllers.isEmpty())
            emit dataChanged(this->index(0, 0, index), this->index(int(o.controllers.size()) - 1, 0, index),
                             {Qt::CheckStateRole});
        emit dataChanged(index, index, {Qt::CheckStateRole});
        return;
    }
    const QModelIndex object = parent(index);
    m_objects[object.row()].controllers[index.row()].checked = checked;
    emit dataChanged(index, index, {Qt::CheckStateRole});
    emit dataChanged(object, object, {Qt::CheckStateRole});
}

void RightsModel::setNodeChecked(int position, bool checked) {
    const QModelIndex node = nodeAt(position);
    if (node.isValid()) setState(node, checked);
}

void RightsModel::toggle(const QModelIndex& index) {
    if (!index.isValid() || index.model() != this) return;
    setState(index, checkState(index) != Qt::Checked);
}

QVector<qint32> RightsModel::rights() const {
    QVector<qint32> list(nodeCount(), 0);
    int entry = 0;
    for (const Object& o : m_objects)
        for (const Controller& c : o.controllers)
            list[entry++] = c.serNum * 10 + (c.checked ? 1 : 0);
    return list;
}

QModelIndex RightsModel::index(int row, int column, const QModelIndex& parent) const {
    if (column != 0 || row < 0) return {};
    if (!parent.isValid()) return row < m_objects.size() ? createIndex(row, 0, quintptr(0)) : QModelIndex();
    if (parent.model() != this || !isObject(parent) || parent.row() >= m_objects.size()) return {};
    if (row >= m_objects[parent.row()].controllers.size()) return {};
    return createIndex(row, 0, quintptr(parent.row() + 1));
}

QModelIndex RightsModel::parent(const QModelIndex& child) const {
    if (!child.isValid() || isObject(child)) return {};
    return createIndex(int(child.internalId()) - 1, 0, quintptr(0));
}

int RightsModel::rowCount(const QModelIndex& parent) const {
    if (!parent.isValid()) return int(m_objects.size());
    if (parent.column() != 0 || !isObject(parent)) return 0;
    return int(m_objects[parent.row()].controllers.size());
}

int RightsModel::columnCount(const QModelIndex&) const {
    return 1;
}

QVariant RightsModel::data(const QModelIndex& index, int role) const {
    if (!index.isValid()) return {};
    const bool object = isObject(index);
    const Object& o = m_objects[object ? index.row() : int(index.internalId()) - 1];
    switch (role) {
    case Qt::DisplayRole:
    case Qt::ToolTipRole:
        return object ? o.text : o.controllers[index.row()].text;
    case Qt::CheckStateRole:
        return int(checkState(index));
    case NumberRole:
        return object ? o.objNum : o.controllers[index.row()].serNum;
    default:
        return {};
    }
}

bool RightsModel::setData(const QModelIndex& index, const QVariant& value, int role) {
    if (role != Qt::CheckStateRole || !index.isValid() || index.model() != this) return false;
    const auto state = static_cast<Qt::CheckState>(value.toInt());
    if (state == Qt::PartiallyChecked) return false; // follows from the controllers alone
    setState(index, state == Qt::Checked);
    return true;
}

Qt::ItemFlags RightsModel::flags(const QModelIndex& index) const {
    if (!index.isValid()) return Qt::NoItemFlags;
    Qt::ItemFlags f = Qt::ItemIsEnabled | Qt::ItemIsSelectable | Qt::ItemIsUserCheckable;
    f |= isObject(index) ? Qt::ItemIsAutoTristate : Qt::ItemNeverHasChildren;
    return f;
}

} // namespace varek
