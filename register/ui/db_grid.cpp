#include "register/ui/db_grid.h"

#include "core/errors.h"
#include "core/messages.h"
#include "register/data_link.h"
#include "register/dataset.h"
#include "register/table.h"
#include "register/ui/status_delegate.h"

#include <QHeaderView>
#include <QKeyEvent>
#include <QPainter>
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
    // A click on a header sorts; no column is sorted at first.
    horizontalHeader()->setSectionsClickable(true);
    horizontalHeader()->setSortIndicatorShown(true);
    horizontalHeader()->setSortIndicator(-1, Qt::AscendingOrder);
    connect(horizontalHeader(), &QHeaderView::sortIndicatorChanged, this,
            [this](int section, Qt::SortOrder order) {
                m_model->sort(section, order);
                if (currentIndex().isValid()) scrollTo(currentIndex());
            });

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
    connect(m_model, &QAbstractItemModel::layoutChanged, this, [this] { followDataset(); });
    followDataset();
}

void DbGrid::followDataset(bool force) {
    const Dataset* ds = m_model->dataset();
    if (!ds || !ds->active() || !m_model->link().enabled()) return;
    const int source = ds->recNo();
    if (source < 0 || source >= m_model->sourceRowCount()) {
        emit shownCurrentChanged();
        return;
    }
    const int row = m_model->shownRow(source);
    const QModelIndex cur = currentIndex();
    if (row < 0) {
        // Hidden by a search: the grid has no current row.
        if (cur.isValid() || selectionModel()->hasSelection()) {
            m_following = true;
            selectionModel()->clear();
            m_following = false;
        }
        emit shownCurrentChanged();
        return;
    }
    if (!force && cur.isValid() && cur.row() == row) {
        emit shownCurrentChanged();
        return;
    }
    m_following = true;
    const QModelIndex target = m_model->index(row, cur.isValid() ? cur.column() : 0);
    selectionModel()->setCurrentIndex(
        target, QItemSelectionModel::ClearAndSelect |
                    (m_options.rowSelect ? QItemSelectionModel::Rows : QItemSelectionModel::NoUpdate));
    scrollTo(target);
    m_following = false;
    emit shownCurrentChanged();
}

bool DbGrid::currentHidden() const {
    const Dataset* ds = m_model->dataset();
    if (!ds || !ds->active() || !m_model->filtering()) return false;
    const int source = ds->recNo();
    return source >= 0 && m_model->shownRow(source) < 0;
}

void DbGrid::ensureCurrentShown() {
    Dataset* ds = m_model->dataset();
    if (!currentHidden() || m_model->rowCount() == 0 || !m_model->link().enabled()) return;
    guarded(m_messages, [&] { ds->setRecNo(m_model->sourceRow(0)); });
}

void DbGrid::setSearchText(const QString& text) {
    m_model->setSearchText(text);
    ensureCurrentShown();
}

void DbGrid::followShownRowOf(DbGrid& master) {
    const auto follow = [this, &master] { m_model->setAllHidden(master.currentHidden()); };
    connect(&master, &DbGrid::shownCurrentChanged, this, follow);
    follow();
}

void DbGrid::paintEvent(QPaintEvent* event) {
    QTableView::paintEvent(event);
    if (!m_model->searching() || m_model->rowCount() > 0 || m_nothingFound.isEmpty()) return;
    QPainter p(viewport());
    p.setPen(palette().color(QPalette::Disabled, QPalette::Text));
    p.drawText(viewport()->rect().adjusted(8, 8, -8, -8), Qt::AlignHCenter | Qt::AlignTop | Qt::TextWordWrap,
               m_nothingFound);
}

void DbGrid::currentChanged(const QModelIndex& current, const QModelIndex& previous) {
    QTableView::currentChanged(current, previous);
    if (m_following || !current.isValid()) return;
    Dataset* ds = m_model->dataset();
    const int source = m_model->sourceRow(current.row());
    if (!ds || !ds->active() || !m_model->link().enabled() || source < 0 || ds->recNo() == source) return;
    guarded(m_messages, [&] { ds->setRecNo(source); });
}

QList<int> DbGrid::rowsToDelete() const {
    QList<int> rows;
    if (m_options.multiSelect) {
        const QModelIndexList selected = selectionModel()->selectedRows();
        for (const QModelIndex& i : selected) {
            const int source = m_model->sourceRow(i.row());
            if (source >= 0) rows.append(source);
        }
    }
    if (rows.isEmpty()) {
        const Dataset* ds = m_model->dataset();
        if (ds && ds->active() && ds->recNo() >= 0 && !currentHidden()) rows.append(ds->recNo());
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
    ensureCurrentShown();
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
