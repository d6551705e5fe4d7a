#include "keys/ui/rights_tree_view.h"

#include "keys/ui/rights_model.h"

#include <QAccessible>
#include <QAccessibleWidget>
#include <QHash>
#include <QHeaderView>
#include <QPointer>
#include <QWindow>

namespace varek {

namespace {

// One node of the tree, known by its row among the visible nodes.
class RightsNodeAccessible : public QAccessibleInterface, public QAccessibleActionInterface {
public:
    RightsNodeAccessible(RightsTreeView* view, int position) : m_view(view), m_position(position) {}

    QModelIndex node() const {
        if (!m_view || !m_view->rightsModel()) return {};
        const QModelIndexList nodes = m_view->visibleNodes();
        return m_position < nodes.size() ? nodes[m_position] : QModelIndex();
    }

    bool isValid() const override { return node().isValid(); }
    QObject* object() const override { return nullptr; }
    QWindow* window() const override { return m_view ? m_view->window()->windowHandle() : nullptr; }
    QAccessibleInterface* parent() const override {
        return m_view ? QAccessible::queryAccessibleInterface(m_view) : nullptr;
    }
    QAccessibleInterface* child(int) const override { return nullptr; }
    int childCount() const override { return 0; }
    int indexOfChild(const QAccessibleInterface*) const override { return -1; }
    QAccessibleInterface* childAt(int, int) const override { return nullptr; }
    QAccessibleInterface* focusChild() const override { return nullptr; }

    QString text(QAccessible::Text t) const override {
        const QModelIndex index = node();
        if (!index.isValid()) return {};
        if (t == QAccessible::Name) return index.data(Qt::DisplayRole).toString();
        return {};
    }
    void setText(QAccessible::Text, const QString&) override {}

    QRect rect() const override {
        const QModelIndex index = node();
        if (!index.isValid()) return {};
        const QRect r = m_view->visualRect(index);
        if (r.isEmpty()) return {};
        return QRect(m_view->viewport()->mapToGlobal(r.topLeft()), r.size());
    }

    QAccessible::Role role() const override { return QAccessible::TreeItem; }

    QAccessible::State state() const override {
        QAccessible::State st;
        const QModelIndex index = node();
        if (!index.isValid()) {
            st.invalid = true;
            return st;
        }
        st.selectable = true;
        st.focusable = true;
        st.checkable = true;
        st.selected = m_view->selectionModel() && m_view->selectionModel()->isSelected(index);
        st.focused = m_view->hasFocus() && m_view->currentIndex() == index;
        switch (m_view->rightsModel()->checkState(index)) {
        case Qt::Checked:
            st.checked = true;
            break;
        case Qt::PartiallyChecked:
            st.checkStateMixed = true;
            break;
        case Qt::Unchecked:
            break;
        }
        if (m_view->model()->hasChildren(index)) {
            st.expandable = true;
            st.expanded = m_view->isExpanded(index);
            st.collapsed = !st.expanded;
        }
        if (m_view->visualRect(index).isEmpty()) st.invisible = true;
        return st;
    }

    void* interface_cast(QAccessible::InterfaceType t) override {
        if (t == QAccessible::ActionInterface) return static_cast<QAccessibleActionInterface*>(this);
        return nullptr;
    }

    QStringList actionNames() const override { return {toggleAction(), setFocusAction()}; }
    void doAction(const QString& actionName) override {
        const QModelIndex index = node();
        if (!index.isValid()) return;
        if (actionName == toggleAction()) {
            m_view->rightsModel()->toggle(index);
        } else if (actionName == setFocusAction()) {
            m_view->setFocus(Qt::OtherFocusReason);
            m_view->setCurrentIndex(index);
        }
    }
    QStringList keyBindingsForAction(const QString& actionName) const override {
        if (actionName == toggleAction()) return {QStringLiteral("Space")};
        return {};
    }

private:
    QPointer<RightsTreeView> m_view;
    int m_position;
};

// The tree: its children are the visible nodes, row by row.
class RightsTreeAccessible : public QAccessibleWidget {
public:
    explicit RightsTreeAccessible(RightsTreeView* view) : QAccessibleWidget(view, QAccessible::Tree) {}
    ~RightsTreeAccessible() override {
        for (const QAccessible::Id id : std::as_const(m_children))
            QAccessible::deleteAccessibleInterface(id);
    }

    RightsTreeView* view() const { return static_cast<RightsTreeView*>(object()); }

    int childCount() const override { return int(view()->visibleNodes().size()); }

    QAccessibleInterface* child(int position) const override {
        if (position < 0 || position >= childCount()) return nullptr;
        const auto it = m_children.constFind(position);
        if (it != m_children.cend()) return QAccessible::accessibleInterface(*it);
        auto* node = new RightsNodeAccessible(view(), position);
        m_children.insert(position, QAccessible::registerAccessibleInterface(node));
        return node;
    }

    int indexOfChild(const QAccessibleInterface* child) const override {
        for (auto it = m_children.cbegin(); it != m_children.cend(); ++it)
            if (QAccessible::accessibleInterface(it.value()) == child) return it.key();
        return -1;
    }

    QAccessibleInterface* childAt(int x, int y) const override {
        const QPoint local = view()->viewport()->mapFromGlobal(QPoint(x, y));
        const QModelIndex index = view()->indexAt(local);
        if (!index.isValid()) return nullptr;
        return child(int(view()->visibleNodes().indexOf(index)));
    }

    QAccessibleInterface* focusChild() const override {
        if (!view()->hasFocus()) return nullptr;
        const int position = int(view()->visibleNodes().indexOf(view()->currentIndex()));
        return position >= 0 ? child(position) : nullptr;
    }

private:
    mutable QHash<int, QAccessible::Id> m_children;
};

QAccessibleInterface* rightsTreeFactory(const QString& key, QObject* object) {
    if (key == QLatin1String(RightsTreeView::staticMetaObject.className()))
        if (auto* view = qobject_cast<RightsTreeView*>(object)) return new RightsTreeAccessible(view);
    return nullptr;
}

} // namespace

RightsTreeView::RightsTreeView(QWidget* parent) : QTreeView(parent) {
    static const bool installed = [] {
        QAccessible::installFactory(rightsTreeFactory);
        return true;
    }();
    Q_UNUSED(installed);
    header()->hide();
    setSelectionMode(QAbstractItemView::SingleSelection);
    setUniformRowHeights(true);
}

void RightsTreeView::setRightsModel(RightsModel* model) {
    m_model = model;
    setModel(model);
    connect(model, &QAbstractItemModel::dataChanged, this, &RightsTreeView::announceStates);
    // Every object is shown open with its controllers.
    connect(model, &QAbstractItemModel::rowsInserted, this, [this](const QModelIndex& parent, int, int) {
        if (parent.isValid()) expand(parent);
    });
}

QModelIndexList RightsTreeView::visibleNodes() const {
    QModelIndexList nodes;
    if (!m_model) return nodes;
    for (int row = 0; row < m_model->rowCount(); ++row) {
        const QModelIndex object = m_model->index(row, 0);
        nodes << object;
        if (!isExpanded(object)) continue;
        for (int child = 0; child < m_model->rowCount(object); ++child)
            nodes << m_model->index(child, 0, object);
    }
    return nodes;
}

void RightsTreeView::announceStates(const QModelIndex& topLeft, const QModelIndex& bottomRight) {
    if (!QAccessible::isActive() || !topLeft.isValid()) return;
    const QModelIndexList nodes = visibleNodes();
    QAccessible::State changed;
    changed.checked = true;
    changed.checkStateMixed = true;
    for (int row = topLeft.row(); row <= bottomRight.row(); ++row) {
        const int position = int(nodes.indexOf(topLeft.siblingAtRow(row)));
        if (position < 0) continue;
        QAccessibleStateChangeEvent event(this, changed);
        event.setChild(position);
        QAccessible::updateAccessibility(&event);
    }
}

} // namespace varek
