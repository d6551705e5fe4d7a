#include "image/ui/memo_list.h"

#include <QApplication>
#include <QClipboard>
#include <QFontDatabase>
#include <QKeyEvent>
#include <QStringListModel>
#include <QStyledItemDelegate>

#include <algorithm>

namespace varek {

namespace {

class FixedRowDelegate : public QStyledItemDelegate {
public:
    using QStyledItemDelegate::QStyledItemDelegate;
    QSize sizeHint(const QStyleOptionViewItem& option, const QModelIndex& index) const override {
        return QSize(QStyledItemDelegate::sizeHint(option, index).width(), MemoList::kRowHeight);
    }
};

} // namespace

MemoList::MemoList(QWidget* parent) : QListView(parent), m_model(new QStringListModel(this)) {
    setModel(m_model);
    setItemDelegate(new FixedRowDelegate(this));
    setUniformItemSizes(true);
    setEditTriggers(QAbstractItemView::NoEditTriggers);
    setSelectionMode(QAbstractItemView::ExtendedSelection);
    setFont(QFontDatabase::systemFont(QFontDatabase::FixedFont));
    QPalette pal = palette();
    const QColor maroon(0x80, 0x00, 0x00);
    pal.setColor(QPalette::Text, maroon);
    setPalette(pal);
    setHorizontalScrollBarPolicy(Qt::ScrollBarAsNeeded);
}

void MemoList::clear() {
    m_model->setStringList({});
    emit linesChanged();
}

void MemoList::appendLine(const QString& line) {
    const int row = m_model->rowCount();
    m_model->insertRows(row, 1);
    m_model->setData(m_model->index(row), line);
    scrollToBottom();
    emit linesChanged();
}

void MemoList::setLines(const QStringList& lines) {
    m_model->setStringList(lines);
    emit linesChanged();
}

QStringList MemoList::lines() const {
    return m_model->stringList();
}

int MemoList::count() const {
    return m_model->rowCount();
}

void MemoList::keyPressEvent(QKeyEvent* event) {
    if (event->matches(QKeySequence::Copy)) {
        QModelIndexList rows = selectionModel()->selectedRows();
        std::sort(rows.begin(), rows.end(),
                  [](const QModelIndex& a, const QModelIndex& b) { return a.row() < b.row(); });
        QStringList text;
        for (const QModelIndex& index : rows)
            text << index.data().toString();
        if (!text.isEmpty()) QApplication::clipboard()->setText(text.join(u'\n'));
        event->accept();
        return;
    }
    QListView::keyPressEvent(event);
}

} // namespace varek
