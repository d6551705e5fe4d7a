#pragma once

#include <QAbstractTableModel>
#include <QList>
#include <QString>
#include <QStringList>
#include <QVector>

#include <vector>

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

// The rows of one data link's dataset as a read-only table. The model follows
// the link: while the link is disabled the model keeps the rows it had and
// does not announce changes, and it catches up when the link is enabled again.
//
// Shown rows: the model's rows are the dataset's presented rows through a row
// map of its own, so that a search or a sort changes what the grid shows and
// in which order, never the dataset's order (the image builder and the
// operations walk the datasets, not the grids). Without search and sort the
// map is the identity. sourceRow() and shownRow() translate between the two.
// - Search (setSearchText): rows whose search fields contain the text, compared
//   in lower case with "ё" read as "е" (searchKey). The rows' search texts are
//   kept normalised and rebuilt when the dataset's rows change, so a keystroke
//   is one pass of substring tests (a longer text only looks at the rows
//   already shown); they are made when the window is next idle.
// - Sort (sort): by one column, text in alphabetical order without regard to
//   case with "ё" beside "е", numbers by value, dates by date, empty cells
//   first; equal cells keep the dataset's order. The status column sorts by
//   the kind it shows.
// - Hidden (setAllHidden): no row shown (a grid following another grid's
//   current row while that row is hidden by a search).
// A change of a row in place (a field assigned while a row is edited) updates
// the row where it stands; the search and the sort take it into account when
// the dataset's rows are presented again (the post).
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

    // The form in which texts are searched and sorted: lower case, "ё" as "е".
    static QString searchKey(const QString& text);

    // The fields a search looks in (names matched without regard to case).
    void setSearchFields(const QStringList& fields);
    // Shows only the rows whose search fields contain text (blanks at its
    // ends ignored); an empty text shows every row.
    void setSearchText(const QString& text);
    QString searchText() const { return m_searchText; }
    bool searching() const { return !m_needle.isEmpty(); }
    void setAllHidden(bool hidden);
    bool allHidden() const { return m_allHidden; }
    // Whether some rows of the dataset may be left out (a search or hidden).
    bool filtering() const { return searching() || m_allHidden; }

    // Sorts by column (-1: the dataset's order) in that order.
    void sort(int column, Qt::SortOrder order = Qt::AscendingOrder) override;
    int sortColumn() const { return m_sortColumn; }
    Qt::SortOrder sortOrder() const { return m_sortOrder; }

    // The dataset row shown in a model row (-1 out of range), and the model
    // row that shows a dataset row (-1 when it is not shown).
    int sourceRow(int row) const;
    int shownRow(int sourceRow) const;
    // The rows of the dataset the model knows of, shown or not.
    int sourceRowCount() const { return m_rows; }

    int rowCount(const QModelIndex& parent = QModelIndex()) const override;
    int columnCount(const QModelIndex& parent = QModelIndex()) const override;
    QVariant data(const QModelIndex& index, int role = Qt::DisplayRole) const override;
    QVariant headerData(int section, Qt::Orientation orientation, int role = Qt::DisplayRole) const override;
    Qt::ItemFlags flags(const QModelIndex& index) const override;

signals:
    // The shown rows were chosen again (a reset, a search, a sort).
    void shownRowsChanged();

private:
    struct SortKey {
        int kind = 0; // 0 null, 1 number, 2 date, 3 text
        double number = 0;
        QString text; // searchKey of the text
        QString raw;  // the text as shown, to order equal keys
    };

    void reset();
    void rowChanged(int row);
    // Chooses the shown rows again from all rows (or, narrowing, from those
    // shown), in the sort's order.
    void buildMap(bool narrowing);
    void buildSearchTexts(); // the rest of them, now
    // Makes the search texts of further rows for about budgetMs; false
    // while some are left.
    bool makeSearchTexts(qint64 budgetMs);
    void scheduleSearchTexts();
    QString searchTextOf(int row) const;
    void buildSortKeys();
    SortKey sortKeyOf(int row) const;
    bool sortLess(int a, int b) const;
    void sortShown();
    void rebuildInverse();
    // Every row in the dataset's order, kept as that and not as a list.
    void showEveryRow();
    // Every row in the dataset's order, as a list (to sort or narrow).
    void listShown();

    DataLink& m_link;
    QList<GridColumn> m_columns;
    QVector<int> m_fieldIndex; // field position in the dataset per column, -1 when absent
    int m_rows = 0;

    QStringList m_searchFields;
    QVector<int> m_searchFieldIndex;
    QString m_searchText; // as given
    QString m_needle;     // its searchKey, trimmed
    bool m_allHidden = false;
    // Per dataset row: its search fields' searchKey. Two strings hold them
    // all, one after the other (a string each would cost a block of its
    // own): a text of ASCII and Cyrillic letters only, as nearly every text
    // of the register is, one byte a character; any other in UTF-16.
    class RowTexts {
    public:
        // What a search looks for, in both forms.
        struct Needle {
            QString wide;
            QByteArray narrow;
            bool narrowable = false; // every character has a byte
        };
        static Needle needleOf(const QString& key);
        void restart(int rows); // every row's text empty, the old ones dropped
        void set(int row, const QString& text);
        // Whether the row's text holds the needle (as QStringView::contains).
        bool contains(int row, const Needle& needle) const;
        int size() const { return int(m_starts.size()); }

    private:
        static constexpr quint32 kWide = 0x80000000u; // in m_sizes: the text is in m_wide
        QByteArray m_narrow;
        QString m_wide;
        std::vector<quint32> m_starts;
        std::vector<quint32> m_sizes;
        QByteArray m_scratch; // a text being narrowed
    };
    RowTexts m_rowTexts;
    bool m_rowTextsValid = false;
    int m_textsMade = 0;         // while not valid: the rows before this have theirs
    bool m_textsPending = false; // their making is scheduled for when the window is idle
    bool m_mapCurrent = false;   // the shown rows were chosen over the rows as they are

    int m_sortColumn = -1;
    Qt::SortOrder m_sortOrder = Qt::AscendingOrder;
    QVector<SortKey> m_sortKeys; // per dataset row, for m_sortColumn
    bool m_sortKeysValid = false;

    bool m_everyRow = false; // every row shown in the dataset's order: m_shown and m_inverse empty
    QVector<int> m_shown;    // model row -> dataset row
    QVector<int> m_inverse;  // dataset row -> model row or -1
};

} // namespace varek
