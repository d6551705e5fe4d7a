#pragma once

#include <QAbstractTableModel>
#include <QList>
#include <QString>
#include <QVector>

namespace varek {

class DataLink;
class Dataset;

// One column of a grid: the field it shows (matched without regard to case),
// its title and its initial width in pixels.
struct GridColumn {
    QString field;
    QString title;
    int width = 100;
};

// The rows of one data link's dataset as a read-only table. Rows are the
// dataset's presented rows; the model follows the link: while the link is
// disabled the model keeps the row count it had and does not announce
// changes, and it catches up when the link is enabled again.
//
// Display: null as an empty cell, dates as dd.MM.yyyy, numbers in decimal.
// A column bound to the field "status" (compared without regard to case)
// shows the key's kind as text ("мастер-ключ" / "доступ", statusText): that is
// what the status delegate draws and what Qt::AccessibleTextRole gives, so a
// screen reader hears what is on the screen. FieldValueRole gives the stored
// value; the header's FieldNameRole gives the column's field name.
class GridModel : public QAbstractTableModel {
    Q_OBJECT
public:
    enum Role { FieldValueRole = Qt::UserRole + 1, FieldNameRole };

    GridModel(DataLink& link, QList<GridColumn> columns, QObject* parent = nullptr);

    DataLink& link() const { return m_link; }
    Dataset* dataset() const;
    const QList<GridColumn>& columns() const { return m_columns; }
    // The column showing a field (case-insensitive), or -1.
    int columnOfField(const QString& field) const;
    bool isStatusColumn(int column) const;

    // "мастер-ключ" for 0 and for null, "доступ" for every other value: the
    // memory image treats a key the same way (status other than 0 is an
    // access key), so the grid never names a key differently from its controller.
    static QString statusText(const QVariant& status);

    int rowCount(const QModelIndex& parent = QModelIndex()) const override;
    int columnCount(const QModelIndex& parent = QModelIndex()) const override;
    QVariant data(const QModelIndex& index, int role = Qt::DisplayRole) const override;
    QVariant headerData(int section, Qt::Orientation orientation, int role = Qt::DisplayRole) const override;
    Qt::ItemFlags flags(const QModelIndex& index) const override;

private:
    void reset();
    void rowChanged(int row);

    DataLink& m_link;
    QList<GridColumn> m_columns;
    QVector<int> m_fieldIndex; // field position in the dataset per column, -1 when absent
    int m_rows = 0;
};

} // namespace varek
