#pragma once

#include "register/ui/grid_model.h"

#include <QTableView>
#include <functional>

namespace varek {

class Messages;

// A grid over one data link: a read-only table view of a GridModel whose
// current row and the dataset's current row follow each other both ways
// (a click moves the dataset; a move of the dataset moves the grid while the
// link is enabled).
//
// The grid shows its model's rows (see GridModel): a click on a column's
// header sorts by that column, a second click the other way round, with the
// header's sort indicator; a search (setSearchText) shows only the rows that
// match. The dataset's order never changes, and the current row stays the
// same dataset row. A current row that a search hides is not current in the
// grid (currentHidden); the operations that act on the current row refuse it.
//
// Ctrl+Delete, in a grid over a table, asks "Delete record?" (or "Delete all
// selected records?" for two or more selected rows) in a "Confirm" box and on
// OK deletes the current row, or every selected row. In a grid over a view it
// does nothing.
class DbGrid : public QTableView {
    Q_OBJECT
public:
    struct Options {
        bool rowSelect = false;     // highlight the whole current row
        bool multiSelect = false;   // several rows can be selected
        bool keepHighlight = false; // the highlight stays when the grid loses the focus
        bool tableGrid = false;     // over a table: Ctrl+Delete deletes rows
    };

    DbGrid(DataLink& link, QList<GridColumn> columns, Options options, Messages& messages,
           QWidget* parent = nullptr);

    GridModel* gridModel() const { return m_model; }
    const Options& options() const { return m_options; }

    // Deletes the dataset's current row for Ctrl+Delete. The default deletes
    // the table's row alone; the window sets deleters that also remove the
    // rows depending on it.
    void setRowDeleter(std::function<void()> deleter) { m_rowDeleter = std::move(deleter); }
    // Runs the deletion of the chosen rows as one piece of work (the window
    // makes it one durable unit of the register); by default it just runs.
    using Scope = std::function<void(const std::function<void()>& work)>;
    void setDeletionScope(Scope scope) { m_deletionScope = std::move(scope); }

    // Shows only the rows that contain text in the model's search fields;
    // when the current row is no longer shown, the first row shown becomes
    // current. Errors of the change handlers go to the messages.
    void setSearchText(const QString& text);
    // The dataset's current row exists but the grid does not show it (a
    // search hides it, or no row is shown).
    bool currentHidden() const;
    // When the current row is hidden and some row is shown, makes the first
    // row shown current (the window calls it after each operation: the
    // operation may have made a hidden row current). Errors go to the messages.
    void ensureCurrentShown();
    // This grid shows rows only while master's current row is shown: the
    // rights of a key, the controllers of an object follow the row the
    // operator sees.
    void followShownRowOf(DbGrid& master);
    // Drawn in the empty grid while a search finds nothing.
    void setNothingFoundText(const QString& text) { m_nothingFound = text; }

    // The dataset rows Ctrl+Delete would delete: the selected rows, or the
    // current row when it is shown; in the dataset's order.
    QList<int> rowsToDelete() const;
    // Ctrl+Delete's action (public for tests); errors are thrown.
    void deleteRows();

signals:
    // The current row, or whether it is shown, may have changed.
    void shownCurrentChanged();

protected:
    void paintEvent(QPaintEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;
    void currentChanged(const QModelIndex& current, const QModelIndex& previous) override;

private:
    // Makes the dataset's current row the grid's current row; force also
    // when it already is (clears a multiple selection).
    void followDataset(bool force = false);

    GridModel* m_model;
    Options m_options;
    Messages& m_messages;
    std::function<void()> m_rowDeleter;
    Scope m_deletionScope;
    bool m_following = false;
    QString m_nothingFound = QStringLiteral("Ничего не найдено");
};

} // namespace varek
