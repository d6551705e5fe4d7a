#include "register/ui/combo_accessibility.h"

#include <QAbstractItemView>
#include <QAccessible>
#include <QAccessibleWidget>
#include <QComboBox>
#include <QLineEdit>

namespace varek {

namespace {

class ComboBoxAccessible : public QAccessibleWidget {
public:
    explicit ComboBoxAccessible(QComboBox* box) : QAccessibleWidget(box, QAccessible::ComboBox) {}

    QComboBox* box() const { return static_cast<QComboBox*>(object()); }

    int childCount() const override { return box()->lineEdit() ? 2 : 1; }

    // The list that drops down, then the edit of an editable box.
    QAccessibleInterface* child(int index) const override {
        if (index == 0) return QAccessible::queryAccessibleInterface(box()->view());
        if (index == 1 && box()->lineEdit()) return QAccessible::queryAccessibleInterface(box()->lineEdit());
        return nullptr;
    }

    int indexOfChild(const QAccessibleInterface* child) const override {
        if (!child) return -1;
        if (child->object() == box()->view()) return 0;
        if (box()->lineEdit() && child->object() == box()->lineEdit()) return 1;
        return -1;
    }

    QAccessibleInterface* childAt(int, int) const override { return nullptr; }

    QString text(QAccessible::Text t) const override {
        switch (t) {
        case QAccessible::Name: {
            const QString name = QAccessibleWidget::text(QAccessible::Name); // accessibleName or label
            return name.isEmpty() ? value() : name;
        }
        case QAccessible::Value:
            return value();
        default:
            return QAccessibleWidget::text(t);
        }
    }

    void setText(QAccessible::Text t, const QString& text) override {
        if (t == QAccessible::Value && box()->lineEdit()) box()->lineEdit()->setText(text);
    }

    QAccessible::State state() const override {
        QAccessible::State st = QAccessibleWidget::state();
        st.expandable = true;
        st.expanded = box()->view()->isVisible();
        st.collapsed = !st.expanded;
        st.editable = box()->isEditable();
        return st;
    }

    QStringList actionNames() const override { return {showMenuAction(), pressAction()}; }

    void doAction(const QString& actionName) override {
        if (actionName != showMenuAction() && actionName != pressAction()) return;
        if (box()->view()->isVisible())
            box()->hidePopup();
        else
            box()->showPopup();
    }

    QStringList keyBindingsForAction(const QString&) const override { return {}; }

private:
    QString value() const { return box()->lineEdit() ? box()->lineEdit()->text() : box()->currentText(); }
};

QAccessibleInterface* comboBoxFactory(const QString& key, QObject* object) {
    if (key == QLatin1String("QComboBox"))
        if (auto* box = qobject_cast<QComboBox*>(object)) return new ComboBoxAccessible(box);
    return nullptr;
}

} // namespace

void installComboBoxAccessibility() {
    static const bool installed = [] {
        QAccessible::installFactory(comboBoxFactory);
        return true;
    }();
    Q_UNUSED(installed);
}

} // namespace varek
