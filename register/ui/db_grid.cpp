#include "register/ui/db_grid.h"

#include "core/errors.h"
#include "core/messages.h"
#include "register/data_link.h"
#include "register/dataset.h"
#include "register/table.h"
#include "register/ui/status_delegate.h"

#include <QHeaderView>
#include <QKeyEvent>
#include <algorithm>

namespace varek {

DbGrid::DbGrid(DataLink& link, QList<GridColumn> columns, Options options, Messages& messages,
               QWidget* parent)
    : QTableView(parent), m_model(new GridModel(link, std::move(columns), this)), m_options(options),
      m_messages(messages) {
    setModel(m_model);
    setItemDelegate(new StatusDelegate(this));
    setEditTriggers(QAbstractItemView::NoEditTriggers);
    setSelectionBehavior(m_options.rowSelect ? QAbstractItemView::SelectRows
                                             : QAbstractItemView::SelectItems);
    setSelectionMode(m_options.multiSelect ? QAbstractItemView::ExtendedSelection
                                           : QAbstractItemView::SingleSelection);
    setTabKeyNavigation(false);
    setWordWrap(false);
    setAlternatingRowColors(false);
    verticalHeader()->setSectionResizeMode(QHeaderView::Fixed);
    verticalHeader()->setDefaultSectionSize(fontMetrics().height() + 6);
    verticalHeader()->setVisible(false);
    horizontalHeader()->setHighlightSections(false);
    horizontalHeader()->setStretchLastSection(true);
    for (int c = 0; c < m_model->columns().size(); ++c)
        setColumnWidth(c, m_model->columns()[c].width);

    // Without "keep highlight" the selection is drawn only while the grid has
    // the focus; with it the highlight looks the same either way.
    QPalette pal = palette();
    if (m_options.keepHighlight) {
        pal.setColor(QPalette::Inactive, QPalette::Highlight,
                     pal.color(QPalette::Active, QPalette::Highlight));
        pal.setColor(QPalette::Inactive, QPalette::HighlightedText,
                     pal.color(QPalette::Active, QPalette::HighlightedText));
    } else {
        // Not the full highlight, but still a pale mark: the grid has no row
        // indicator, and the operator must see which row is current.
        const QColor base = pal.color(QPalette::Active, QPalette::Base);
        const QColor high = pal.color(QPalette::Active, QPalette::Highlight);
        const QColor pale((base.red() * 3 + high.red()) / 4, (base.green() * 3 + high.green()) / 4,
                          (base.blue() * 3 + high.blue()) / 4);
        pal.setColor(QPalette::Inactive, QPalette::Highlight, pale);
        pal.setColor(QPalette::Inactive, QPalette::HighlightedText,
                     pal.color(QPalette::Active, QPalette::Text));
    }
    setPalette(pal);

    connect(&link, &DataLink::dataChange, this, [this] { followDataset(); });
    connect(m_model, &QAbstractItemModel::modelReset, this, [this] { followDataset(); });
    followDataset();
}

void DbGrid::followDataset(bool force) {
    const Dataset* ds = m_model->dataset();
    if (!ds || !ds->active() || !m_model->link().enabled()) return;
    const int row = ds->recNo();
    if (row < 0 || row >= m_model->rowCount()) {
        return;
    }
    const QModelIndex cur = currentIndex();
    if (!force && cur.isValid() && cur.row() == row) return;
    m_following = true;
    const QModelIndex target = m_model->index(row, cur.isValid() ? cur.column() : 0);
    selectionModel()->setCurrentIndex(
        target, QItemSelectionModel::ClearAndSelect |
                    (m_options.rowSelect ? QItemSelectionModel::Rows : QItemSelectionModel::NoUpdate));
    scrollTo(target);
    m_following = false;
}

void DbGrid::currentChanged(const QModelIndex& current, const QModelIndex& previous) {
    QTableView::currentChanged(current, previous);
    if (m_following || !current.isValid()) return;
    Dataset* ds = m_model->dataset();
    if (!ds || !ds->active() || !m_model->link().enabled() || ds->recNo() == current.row()) return;
    guarded(m_messages, [&] { ds->setRecNo(current.row()); });
}

QList<int> DbGrid::rowsToDelete() const {
    QList<int> rows;
    if (m_options.multiSelect) {
        const QModelIndexList selected = selectionModel()->selectedRows();
        for (const QModelIndex& i : selected)
            rows.append(i.row());
    }
    if (rows.isEmpty()) {
        const Dataset* ds = m_model->dataset();
        if (ds && ds->active() && ds->recNo() >= 0) rows.append(ds->recNo());
    }
    std::sort(rows.begin(), rows.end());
    return rows;
}

void DbGrid::deleteRows() {
    Dataset* ds = m_model->dataset();
    auto* table = qobject_cast<Table*>(ds);
    if (!m_options.tableGrid || !table || !table->active() || table->isEmpty()) return;
    const QList<int> rows = rowsToDelete();
    if (rows.isEmpty()) return;
    const QString text =
        rows.size() >= 2 ? QStringLiteral("Delete all selected records?") : QStringLiteral("Delete record?");
    if (!m_messages.confirm(QStringLiteral("Confirm"), text)) return;
    const auto work = [&] {
        // From the last row up, so the rows still to delete keep their positions.
        for (auto it = rows.crbegin(); it != rows.crend(); ++it) {
            if (*it >= table->recordCount()) continue;
            table->setRecNo(*it);
            if (m_rowDeleter)
                m_rowDeleter();
            else
                table->deleteRecord();
        }
    };
    if (m_deletionScope)
        m_deletionScope(work);
    else
        work();
    followDataset(true);
}

void DbGrid::keyPressEvent(QKeyEvent* event) {
    if (event->key() == Qt::Key_Delete && (event->modifiers() & Qt::ControlModifier)) {
        event->accept();
        guarded(m_messages, [this] { deleteRows(); });
        return;
    }
    QTableView::keyPressEvent(event);
}

} // namespace varek
