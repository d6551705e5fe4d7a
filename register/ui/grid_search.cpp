#include "register/ui/grid_search.h"

#include "register/ui/db_grid.h"

#include <QAction>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QToolButton>

namespace varek {

GridSearch::GridSearch(DbGrid& grid, const QString& name, const QStringList& fields, QWidget* parent)
    : QWidget(parent), m_grid(grid), m_edit(new QLineEdit(this)), m_count(new QLabel(this)) {
    auto* layout = new QHBoxLayout(this);
    layout->setContentsMargins(4, 3, 4, 3);
    layout->setSpacing(8);
    m_edit->setClearButtonEnabled(true);
    nameButtons(QStringLiteral("Очистить поле"));
    m_edit->setPlaceholderText(name);
    m_edit->setAccessibleName(name);
    m_edit->setToolTip(name);
    m_edit->setMinimumWidth(220);
    m_edit->installEventFilter(this);
    m_count->hide();
    layout->addWidget(m_edit, 1);
    layout->addWidget(m_count);
    layout->addStretch(0);

    m_grid.gridModel()->setSearchFields(fields);
    connect(m_edit, &QLineEdit::textChanged, this,
            [this](const QString& text) { m_grid.setSearchText(text); });
    connect(m_grid.gridModel(), &GridModel::shownRowsChanged, this, &GridSearch::updateCount);
    updateCount();
}

void GridSearch::setIcon(const QIcon& icon) {
    QAction* action = m_edit->addAction(icon, QLineEdit::LeadingPosition);
    action->setText(m_edit->accessibleName());
    nameButtons(m_edit->accessibleName());
}

void GridSearch::nameButtons(const QString& name) {
    for (QToolButton* b : m_edit->findChildren<QToolButton*>())
        if (b->accessibleName().isEmpty()) b->setAccessibleName(name);
}

QString GridSearch::countText(int shown, int all) {
    return QStringLiteral("Найдено %1 из %2").arg(shown).arg(all);
}

void GridSearch::updateCount() {
    const GridModel* model = m_grid.gridModel();
    if (!model->searching()) {
        m_count->clear();
        m_count->hide();
        return;
    }
    m_count->setText(countText(model->rowCount(), model->sourceRowCount()));
    m_count->show();
}

bool GridSearch::eventFilter(QObject* watched, QEvent* event) {
    if (watched == m_edit && event->type() == QEvent::KeyPress) {
        const auto* key = static_cast<QKeyEvent*>(event);
        if (key->key() == Qt::Key_Escape && !m_edit->text().isEmpty()) {
            m_edit->clear();
            return true;
        }
        if ((key->key() == Qt::Key_Down || key->key() == Qt::Key_Return || key->key() == Qt::Key_Enter) &&
            key->modifiers() == Qt::NoModifier) {
            m_grid.setFocus(Qt::OtherFocusReason);
            return true;
        }
    }
    return QWidget::eventFilter(watched, event);
}

} // namespace varek
