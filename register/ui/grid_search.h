#pragma once

#include <QString>
#include <QStringList>
#include <QWidget>

class QIcon;
class QLabel;
class QLineEdit;

namespace varek {

class DbGrid;

// A search field over a grid: as the operator types, the grid shows only the
// rows whose search fields contain the text (GridModel::setSearchText). The
// field has a clear button; Escape clears it; Down or Enter moves to the
// grid. Beside it a label reads "Найдено N из M" while a search is on (M: all
// rows of the grid's dataset) and is hidden otherwise. name is the field's
// accessible name and its placeholder.
class GridSearch : public QWidget {
    Q_OBJECT
public:
    GridSearch(DbGrid& grid, const QString& name, const QStringList& fields, QWidget* parent = nullptr);

    QLineEdit* edit() const { return m_edit; }
    QLabel* countLabel() const { return m_count; }
    DbGrid& grid() const { return m_grid; }

    static QString countText(int shown, int all);
    // Shows icon at the start of the field.
    void setIcon(const QIcon& icon);

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void updateCount();
    // Names the field's buttons (clear, icon) that have no name yet.
    void nameButtons(const QString& name);

    DbGrid& m_grid;
    QLineEdit* m_edit;
    QLabel* m_count;
};

} // namespace varek
