#pragma once

#include <QAbstractItemModel>
#include <QString>
#include <QVector>

namespace varek {

// The key editor's access rights: every object with its controllers, two
// levels, each node with a check state. A controller is checked or not; an
// object with controllers is checked when all of them are, unchecked when
// none is and partly checked otherwise (an object without controllers keeps
// a state of its own). Checking or clearing an object checks or clears all
// its controllers.
//
// Positions count every node from the top, each object followed by its
// controllers, in the order they were added. The number a node carries
// (obj_num or ser_num) is given by NumberRole and not displayed.
class RightsModel : public QAbstractItemModel {
    Q_OBJECT
public:
    enum Role { NumberRole = Qt::UserRole };

    explicit RightsModel(QObject* parent = nullptr);

    void clear();
    // Adds an object at the end of the top level / a controller as the last
    // child of an object; both start unchecked.
    QModelIndex addObject(const QString& text, qint32 objNum);
    QModelIndex addController(const QModelIndex& object, const QString& text, qint32 serNum);

    int nodeCount() const;
    // The node at a position, or an invalid index.
    QModelIndex nodeAt(int position) const;
    Qt::CheckState checkState(const QModelIndex& index) const;
    // Sets the node at a position (out of range: nothing).
    void setNodeChecked(int position, bool checked);
    // What Space, a click on the check box and the accessible toggle do: a
    // checked node becomes unchecked, any other node checked.
    void toggle(const QModelIndex& index);

    // One entry per node: first ser_num * 10 + 1 (checked) or ser_num * 10
    // for each controller in tree order, then 0 for the rest.
    QVector<qint32> rights() const;

    QModelIndex index(int row, int column, const QModelIndex& parent = QModelIndex()) const override;
    QModelIndex parent(const QModelIndex& child) const override;
    int rowCount(const QModelIndex& parent = QModelIndex()) const override;
    int columnCount(const QModelIndex& parent = QModelIndex()) const override;
    QVariant data(const QModelIndex& index, int role = Qt::DisplayRole) const override;
    bool setData(const QModelIndex& index, const QVariant& value, int role = Qt::EditRole) override;
    Qt::ItemFlags flags(const QModelIndex& index) const override;

private:
    struct Controller {
        QString text;
        qint32 serNum = 0;
        bool checked = false;
    };
    struct Object {
        QString text;
        qint32 objNum = 0;
        bool checked = false; // used only while the object has no controllers
        QVector<Controller> controllers;
    };

    // Objects carry internal id 0, controllers their object's row + 1.
    static bool isObject(const QModelIndex& index) { return index.internalId() == 0; }
    Qt::CheckState objectState(const Object& object) const;
    void setState(const QModelIndex& index, bool checked);

    QVector<Object> m_objects;
};

} // namespace varek
