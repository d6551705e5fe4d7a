// What a screen reader finds: the accessible tree of the main window (every
// page) and of each editor dialog is walked, and every control must carry a
// name, and every grid cell must read as it is drawn. In the dialogs the Tab
// key must go through the controls in their order on the screen, Save and
// Cancel last.

#include "core/recording_messages.h"
#include "keys/ui/ed_token.h"
#include "register/ui/db_grid.h"
#include "register/ui/ed_ctrl.h"
#include "register/ui/ed_obj.h"
#include "register/ui/status_delegate.h"
#include "register/ui/tests/grid_sample_register.h"
#include "shell/t_vareklocal.h"

#include <QAbstractSpinBox>
#include <QAccessible>
#include <QComboBox>
#include <QLabel>
#include <QPushButton>
#include <QTabWidget>
#include <QTemporaryDir>
#include <QtTest>

using namespace varek;

namespace {

// Roles of what the operator reads or works: each must have a name.
bool mustBeNamed(QAccessible::Role role) {
    switch (role) {
    case QAccessible::EditableText:
    case QAccessible::ComboBox:
    case QAccessible::SpinBox:
    case QAccessible::Table:
    case QAccessible::Tree:
    case QAccessible::TreeItem:
    case QAccessible::List:
    case QAccessible::PushButton:
    case QAccessible::CheckBox:
    case QAccessible::RadioButton:
    case QAccessible::ProgressBar:
    case QAccessible::PageTab:
    case QAccessible::ToolBar:
    case QAccessible::ColumnHeader:
        return true;
    default:
        return false;
    }
}

QString describe(QAccessibleInterface* iface) {
    const QObject* o = iface->object();
    QString what = o ? QString::fromLatin1(o->metaObject()->className()) : QStringLiteral("item");
    if (o && !o->objectName().isEmpty()) what += u' ' + o->objectName();
    return what + QStringLiteral(" (role %1)").arg(int(iface->role()));
}

// Every cell of a grid reads as drawn; the status column as its text.
void checkCells(QAccessibleInterface* iface, QStringList& problems) {
    auto* grid = qobject_cast<DbGrid*>(iface->object());
    QAccessibleTableInterface* table = iface->tableInterface();
    if (!grid || !table) return;
    const GridModel* model = grid->gridModel();
    for (int row = 0; row < model->rowCount(); ++row) {
        for (int column = 0; column < model->columnCount(); ++column) {
            QAccessibleInterface* cell = table->cellAt(row, column);
            const QString drawn = StatusDelegate::cellText(model->index(row, column));
            const QString heard = cell ? cell->text(QAccessible::Name) : QString();
            if (heard != drawn)
                problems << QStringLiteral("%1 cell %2,%3 reads \"%4\" but shows \"%5\"")
                                .arg(grid->objectName())
                                .arg(row)
                                .arg(column)
                                .arg(heard, drawn);
        }
    }
}

// The label on the screen that names a control, if any.
QLabel* labelOf(const QObject* object) {
    const auto* widget = qobject_cast<const QWidget*>(object);
    if (!widget) return nullptr;
    for (QLabel* label : widget->window()->findChildren<QLabel*>())
        if (label->buddy() == widget) return label;
    return nullptr;
}

void walk(QAccessibleInterface* iface, QStringList& problems) {
    if (!iface || !iface->isValid() || iface->state().invisible) return;
    const QString name = iface->text(QAccessible::Name);
    if (mustBeNamed(iface->role()) && name.trimmed().isEmpty())
        problems << QStringLiteral("unnamed ") + describe(iface);
    // A labelled control is heard by its label, not by its contents.
    if (const QLabel* label = labelOf(iface->object()); label && name != label->text())
        problems << QStringLiteral("%1 is named \"%2\", its label reads \"%3\"")
                        .arg(describe(iface), name, label->text());
    checkCells(iface, problems);
    // A drop-down's list and edit are its own parts, named by it.
    if (iface->role() == QAccessible::ComboBox) return;
    // A grid's cells are checked above; its headers are its children too.
    if (iface->tableInterface()) {
        for (int i = 0; i < iface->childCount(); ++i) {
            QAccessibleInterface* child = iface->child(i);
            if (child && child->role() == QAccessible::ColumnHeader) walk(child, problems);
        }
        return;
    }
    for (int i = 0; i < iface->childCount(); ++i)
        walk(iface->child(i), problems);
}

QStringList problemsOf(QWidget* top) {
    QStringList problems;
    walk(QAccessible::queryAccessibleInterface(top), problems);
    return problems;
}

// The control that has the keyboard: a drop-down's or date edit's inner
// edit stands for its box.
QWidget* focusedControl() {
    QWidget* w = QApplication::focusWidget();
    if (w && w->parentWidget() &&
        (qobject_cast<QComboBox*>(w->parentWidget()) || qobject_cast<QAbstractSpinBox*>(w->parentWidget())))
        return w->parentWidget();
    return w;
}

// The controls in the order Tab reaches them, from the one that has the
// keyboard when the dialog opens. A date edit takes one Tab per part of the
// date before it passes the keyboard on.
QList<QWidget*> tabOrder(QDialog& dialog) {
    QList<QWidget*> order;
    dialog.show();
    dialog.activateWindow();
    if (!QTest::qWaitForWindowActive(&dialog)) return order;
    QApplication::processEvents();
    for (int i = 0; i < 30; ++i) {
        QWidget* w = focusedControl();
        if (!w || order.contains(w)) break;
        order << w;
        for (int presses = 0; presses < 5 && focusedControl() == w; ++presses)
            QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
    }
    return order;
}

// Tab goes down the screen, left to right within a row; Save and Cancel are
// the last two.
void checkTabOrder(QDialog& dialog, QPushButton* save, QPushButton* cancel) {
    const QList<QWidget*> order = tabOrder(dialog);
    QStringList names;
    for (QWidget* w : order)
        names << w->objectName();
    QVERIFY2(order.size() >= 3, "Tab does not move between the controls");
    QCOMPARE(order.mid(order.size() - 2), (QList<QWidget*>{save, cancel}));
    for (int i = 1; i < order.size() - 2; ++i) {
        const QRect a(order[i - 1]->mapTo(&dialog, QPoint(0, 0)), order[i - 1]->size());
        const QRect b(order[i]->mapTo(&dialog, QPoint(0, 0)), order[i]->size());
        const bool below = b.top() >= a.center().y();
        const bool sameRowRight = b.top() < a.bottom() && b.left() > a.left();
        QVERIFY2(below || sameRowRight,
                 qPrintable(QStringLiteral("Tab order %1 does not follow the screen at %2")
                                .arg(names.join(QStringLiteral(", ")))
                                .arg(order[i]->objectName())));
    }
}

} // namespace

class AccessibilityTests : public QObject {
    Q_OBJECT

private:
    std::unique_ptr<QTemporaryDir> m_home;
    RecordingMessages m_messages;

private slots:
    void init() {
        m_home = std::make_unique<QTemporaryDir>();
        QVERIFY(m_home->isValid());
        qputenv("VAREK_HOME", m_home->path().toUtf8());
        m_messages = RecordingMessages();
    }

    void mainWindowEveryPage() {
        sample::makeRegister(m_home->path() + "/Data/");
        TTVarekLocal w(&m_messages);
        QVERIFY(w.FormCreate());
        w.show();
        QVERIFY(QTest::qWaitForWindowExposed(&w));
        QVERIFY(w.DBGrid3()->gridModel()->rowCount() > 0);
        QStringList problems;
        for (int page = 0; page < w.pageControl()->count(); ++page) {
            w.pageControl()->setCurrentIndex(page);
            QApplication::processEvents();
            problems << problemsOf(&w);
        }
        problems.removeDuplicates();
        QVERIFY2(problems.isEmpty(), qPrintable(problems.join(u'\n')));
        w.close();
    }

    void objectEditor() {
        TfrmEdObj frm;
        QStringList problems = problemsOf(&frm);
        frm.show();
        problems << problemsOf(&frm);
        QVERIFY2(problems.isEmpty(), qPrintable(problems.join(u'\n')));
        checkTabOrder(frm, frm.bbSave, frm.bbCancel);
    }

    void controllerEditor() {
        TfrmEdCtrl frm(m_messages);
        frm.addObject(QStringLiteral("Склад"), 1);
        frm.addObject(QStringLiteral("Офис"), 2);
        frm.selectObject(1);
        frm.show();
        const QStringList problems = problemsOf(&frm);
        QVERIFY2(problems.isEmpty(), qPrintable(problems.join(u'\n')));
        checkTabOrder(frm, frm.bbSave, frm.bbCancel);
    }

    void keyEditor() {
        TfrmEdToken frm(m_messages);
        const QModelIndex object = frm.addObjectNode(QStringLiteral("Склад"), 1);
        frm.addControllerNode(object, QStringLiteral("Ворота"), 3);
        frm.show();
        const QStringList problems = problemsOf(&frm);
        QVERIFY2(problems.isEmpty(), qPrintable(problems.join(u'\n')));
        checkTabOrder(frm, frm.bbSave, frm.bbCancel);
    }
};

QTEST_MAIN(AccessibilityTests)
#include "accessibility_tests.moc"
