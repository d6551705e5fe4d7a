// The object and controller editors on their own: layout, the record copy
// rules, the value of the object box, and the refusal of wrong values.

#include "core/errors.h"
#include "core/recording_messages.h"
#include "register/ui/ed_ctrl.h"
#include "register/ui/ed_obj.h"
#include "register/ui/tests/ed_test_support.h"

#include <QLabel>
#include <QtTest>

using namespace varek;
using namespace varek::test;

class EdEditorsTests : public QObject {
    Q_OBJECT

private:
    RecordingMessages messages;

    // A controller editor over three objects, two of them with the same name.
    void makeCtrlEditor() {
        frmEdCtrl = new TfrmEdCtrl(messages);
        frmEdCtrl->addObject(QStringLiteral("Склад"), 4);
        frmEdCtrl->addObject(QStringLiteral("Офис"), 9);
        frmEdCtrl->addObject(QStringLiteral("Склад"), 12);
        frmEdCtrl->selectObject(1);
    }

    static void checkFrame(QDialog* dlg, const QString& caption, const QStringList& labels) {
        QCOMPARE(dlg->windowTitle(), caption);
        const Qt::WindowFlags flags = dlg->windowFlags();
        QVERIFY(flags.testFlag(Qt::CustomizeWindowHint));
        QVERIFY(flags.testFlag(Qt::WindowTitleHint));
        QVERIFY(!flags.testFlag(Qt::WindowCloseButtonHint));
        QVERIFY(!flags.testFlag(Qt::WindowSystemMenuHint));
        QVERIFY(dlg->isModal());
        QStringList shown;
        const auto all = dlg->findChildren<QLabel*>();
        QList<QLabel*> sorted(all.begin(), all.end());
        std::sort(sorted.begin(), sorted.end(), [](QLabel* a, QLabel* b) { return a->y() < b->y(); });
        for (QLabel* l : sorted)
            shown << l->text();
        QCOMPARE(shown, labels);
        auto* save = child<QPushButton>(dlg, "bbSave");
        auto* cancel = child<QPushButton>(dlg, "bbCancel");
        QVERIFY(save && cancel);
        QCOMPARE(save->text(), QStringLiteral("Сохранить"));
        QCOMPARE(cancel->text(), QStringLiteral("Отмена"));
        QVERIFY(!save->icon().isNull() && !cancel->icon().isNull());
        // Bottom left, Save first, below every label.
        QVERIFY(save->x() < cancel->x());
        QVERIFY(save->x() < dlg->width() / 3);
        QVERIFY(save->y() > sorted.last()->y());
        // Save is the first stop of the tab chain, Cancel the next.
        QStringList chain;
        for (QWidget* w = dlg->nextInFocusChain(); w != dlg; w = w->nextInFocusChain())
            if ((w->focusPolicy() & Qt::TabFocus) && !w->objectName().isEmpty() &&
                !chain.contains(w->objectName()))
                chain << w->objectName();
        QVERIFY2(chain.size() > 2, qPrintable(chain.join(u',')));
        QCOMPARE(chain[0], QStringLiteral("bbSave"));
        QCOMPARE(chain[1], QStringLiteral("bbCancel"));
    }

private slots:
    void cleanup() {
        messages.clear();
        delete frmEdObj;
        delete frmEdCtrl;
        QVERIFY(!frmEdObj && !frmEdCtrl);
    }

    void objectEditorLayoutAndSave() {
        TCObj obj{77, QStringLiteral("старое"), QStringLiteral("адрес"), QStringLiteral("прим")};
        bool missed = false;
        whenModal(
            [](QDialog* dlg) {
                checkFrame(dlg, QStringLiteral("Объект"),
                           {QStringLiteral("Наименование:"), QStringLiteral("Адрес:"),
                            QStringLiteral("Примечание:")});
                QVERIFY(frmEdObj == dlg);
                // A new object opens empty.
                QCOMPARE(child<QLineEdit>(dlg, "edName")->text(), QString());
                QCOMPARE(child<QLineEdit>(dlg, "edAddr")->text(), QString());
                QCOMPARE(child<QLineEdit>(dlg, "edNote")->text(), QString());
                QCOMPARE(dlg->focusWidget(), child<QWidget>(dlg, "edName"));
                setEdit(dlg, "edName", QStringLiteral("Школа №5"));
                setEdit(dlg, "edAddr", QStringLiteral("ул. Ленина, 1"));
                setEdit(dlg, "edNote", QString());
                click(dlg, "bbSave");
            },
            &missed);
        QVERIFY(NewObj(obj));
        QVERIFY(!missed);
        QVERIFY(!frmEdObj);
        QCOMPARE(obj.obj_num, 0);
        QCOMPARE(obj.obj_name, QStringLiteral("Школа №5"));
        QCOMPARE(obj.addr, QStringLiteral("ул. Ленина, 1"));
        QCOMPARE(obj.notes, QString());
    }

    void objectEditorEditAndCancel() {
        TCObj obj{3, QStringLiteral("Гараж"), QStringLiteral("двор"), QStringLiteral("ключ у охраны")};
        whenModal([](QDialog* dlg) {
            QCOMPARE(child<QLineEdit>(dlg, "edName")->text(), QStringLiteral("Гараж"));
            QCOMPARE(child<QLineEdit>(dlg, "edAddr")->text(), QStringLiteral("двор"));
            QCOMPARE(child<QLineEdit>(dlg, "edNote")->text(), QStringLiteral("ключ у охраны"));
            setEdit(dlg, "edName", QStringLiteral("другое"));
            click(dlg, "bbCancel");
        });
        QVERIFY(!EditObj(obj));
        QVERIFY(!frmEdObj);
        // The dialog's copy (the caller's own record) comes back untouched.
        QCOMPARE(obj.obj_num, 3);
        QCOMPARE(obj.obj_name, QStringLiteral("Гараж"));

        whenModal([](QDialog* dlg) {
            setEdit(dlg, "edNote", QString());
            click(dlg, "bbSave");
        });
        QVERIFY(EditObj(obj));
        QCOMPARE(obj.obj_num, 3);
        QCOMPARE(obj.obj_name, QStringLiteral("Гараж"));
        QCOMPARE(obj.notes, QString());
    }

    void escapeCancels() {
        TCObj obj;
        whenModal([](QDialog* dlg) {
            setEdit(dlg, "edName", QStringLiteral("x"));
            QTest::keyClick(dlg, Qt::Key_Escape);
        });
        QVERIFY(!NewObj(obj));
        QCOMPARE(obj.obj_name, QString());
    }

    void editsAreLimitedToTheirFields() {
        frmEdObj = new TfrmEdObj;
        frmEdObj->limitToFields([](const QString& f) { return f == QLatin1String("obj_name") ? 10 : 0; });
        QCOMPARE(frmEdObj->edName->maxLength(), 10);
        QCOMPARE(frmEdObj->edAddr->maxLength(), QLineEdit().maxLength());
        delete frmEdObj;

        makeCtrlEditor();
        frmEdCtrl->limitToFields([](const QString& f) {
            return f == QLatin1String("ctrl_name")   ? 30
                   : f == QLatin1String("hard")      ? 12
                   : f == QLatin1String("notes")     ? 40
                   : f == QLatin1String("open_time") ? 4
                                                     : -1;
        });
        QCOMPARE(frmEdCtrl->edName->maxLength(), 30);
        QCOMPARE(frmEdCtrl->edHard->maxLength(), 12);
        QCOMPARE(frmEdCtrl->edNote->maxLength(), 40);
        QCOMPARE(frmEdCtrl->edOpen->maxLength(), 4);
    }

    void controllerEditorNewAndSave() {
        makeCtrlEditor();
        TCtrl ctrl;
        whenModal([](QDialog* dlg) {
            checkFrame(dlg, QStringLiteral("Контроллер"),
                       {QStringLiteral("Объект:"), QStringLiteral("Наименование:"),
                        QStringLiteral("Прошивка:"), QStringLiteral("Примечание:"),
                        QStringLiteral("Время откр.")});
            auto* cb = child<QComboBox>(dlg, "cbObj");
            QVERIFY(cb->isEditable());
            QCOMPARE(cb->count(), 3);
            QCOMPARE(cb->currentText(), QStringLiteral("Офис"));
            QCOMPARE(child<QLineEdit>(dlg, "edName")->text(), QString());
            QCOMPARE(child<QLineEdit>(dlg, "edHard")->text(), QString());
            QCOMPARE(child<QLineEdit>(dlg, "edNote")->text(), QString());
            QCOMPARE(child<QLineEdit>(dlg, "edOpen")->text(), QStringLiteral("5"));
            setEdit(dlg, "edName", QStringLiteral("Вход"));
            setEdit(dlg, "edHard", QStringLiteral("v2.1"));
            setEdit(dlg, "edNote", QStringLiteral("главный"));
            click(dlg, "bbSave");
        });
        QVERIFY(NewCtrl(ctrl));
        QVERIFY(!frmEdCtrl);
        QCOMPARE(ctrl.obj_num, 9);
        QCOMPARE(ctrl.ctrl_name, QStringLiteral("Вход"));
        QCOMPARE(ctrl.hard, QStringLiteral("v2.1"));
        QCOMPARE(ctrl.notes, QStringLiteral("главный"));
        QCOMPARE(ctrl.open_time, 5);
        QCOMPARE(ctrl.ser_num, 0);
        QVERIFY(messages.shown.isEmpty());
    }

    void controllerEditorEdit() {
        makeCtrlEditor();
        TCtrl ctrl{4, QStringLiteral("Склад-1"), 17, QStringLiteral("v1"), QStringLiteral("n"), 0};
        whenModal([](QDialog* dlg) {
            QCOMPARE(child<QLineEdit>(dlg, "edName")->text(), QStringLiteral("Склад-1"));
            QCOMPARE(child<QLineEdit>(dlg, "edHard")->text(), QStringLiteral("v1"));
            QCOMPARE(child<QLineEdit>(dlg, "edNote")->text(), QStringLiteral("n"));
            QCOMPARE(child<QLineEdit>(dlg, "edOpen")->text(), QStringLiteral("0"));
            setEdit(dlg, "edOpen", QStringLiteral("$FF"));
            click(dlg, "bbSave");
        });
        QVERIFY(EditCtrl(ctrl));
        QCOMPARE(ctrl.open_time, 255);
        QCOMPARE(ctrl.ctrl_name, QStringLiteral("Склад-1"));
        QCOMPARE(ctrl.ser_num, 0); // the dialog's copy started empty

        makeCtrlEditor();
        whenModal([](QDialog* dlg) { click(dlg, "bbCancel"); });
        TCtrl other{4, QStringLiteral("x"), 3, QString(), QString(), 9};
        QVERIFY(!EditCtrl(other));
        QVERIFY(!frmEdCtrl);
    }

    void newCtrlNeedsTheCallersEditor() {
        TCtrl ctrl;
        QVERIFY_THROWS_EXCEPTION(VarekError, NewCtrl(ctrl));
        QVERIFY_THROWS_EXCEPTION(VarekError, EditCtrl(ctrl));
    }

    // The object box: the entry picked, or typed text matched by name, then
    // read as a number; only objects in the list are accepted.
    void objectValue_data() {
        QTest::addColumn<int>("pick");      // entry chosen from the list, -1 for none
        QTest::addColumn<QString>("typed"); // text typed over it, null for none
        QTest::addColumn<QString>("value");
        QTest::addColumn<int>("stored"); // -1: refused

        QTest::newRow("picked first of two same names") << 0 << QString() << "4" << 4;
        QTest::newRow("picked second of two same names") << 2 << QString() << "12" << 12;
        QTest::newRow("typed name, other case, first match") << 1 << "склАД"
                                                             << "4" << 4;
        QTest::newRow("typed exact name of the chosen entry") << 2 << "Склад"
                                                              << "12" << 12;
        QTest::newRow("typed number of an object") << 1 << "12"
                                                   << "12" << 12;
        QTest::newRow("typed hexadecimal number of an object") << 1 << "$C"
                                                               << "$C" << 12;
        QTest::newRow("typed number of no object") << 1 << "77"
                                                   << "77" << -1;
        QTest::newRow("typed text of no object") << 1 << "Гараж"
                                                 << "Гараж" << -1;
        QTest::newRow("cleared") << 1 << ""
                                 << "" << -1;
        QTest::newRow("nothing in the list") << -1 << QString() << "" << -1;
    }

    void objectValue() {
        QFETCH(int, pick);
        QFETCH(QString, typed);
        QFETCH(QString, value);
        QFETCH(int, stored);
        if (pick < 0) {
            frmEdCtrl = new TfrmEdCtrl(messages);
        } else {
            makeCtrlEditor();
            frmEdCtrl->selectObject(pick);
        }
        if (!typed.isNull()) frmEdCtrl->cbObj->setEditText(typed);
        QCOMPARE(frmEdCtrl->objValue(), value);
        QCOMPARE(frmEdCtrl->chosenObject(), stored < 0 ? std::nullopt : std::optional<qint32>(stored));

        // Through the dialog: a refused object keeps it open with a message
        // naming the field; Cancel then leaves nothing saved.
        TCtrl ctrl;
        int shownWhileOpen = -1;
        whenModal([&](QDialog* dlg) {
            click(dlg, "bbSave");
            shownWhileOpen = dlg->isVisible() ? messages.shown.size() : 0;
            if (dlg->isVisible()) click(dlg, "bbCancel");
        });
        const bool saved = NewCtrl(ctrl);
        if (stored < 0) {
            QVERIFY(!saved);
            QCOMPARE(shownWhileOpen, 1);
            QCOMPARE(messages.shown[0].kind, RecordingMessages::Shown::Error);
            QVERIFY2(messages.shown[0].text.startsWith(QStringLiteral("Поле «Объект»")),
                     qPrintable(messages.shown[0].text));
        } else {
            QVERIFY(saved);
            QCOMPARE(ctrl.obj_num, stored);
            QVERIFY(messages.shown.isEmpty());
        }
    }

    void openTime_data() {
        QTest::addColumn<QString>("typed");
        QTest::addColumn<int>("stored"); // -1: refused
        QTest::newRow("0") << "0" << 0;
        QTest::newRow("255") << "255" << 255;
        QTest::newRow("blank before") << " 7" << 7;
        QTest::newRow("hexadecimal") << "0x10" << 16;
        QTest::newRow("256") << "256" << -1;
        QTest::newRow("300") << "300" << -1;
        QTest::newRow("negative") << "-1" << -1;
        QTest::newRow("empty") << "" << -1;
        QTest::newRow("text") << "пять" << -1;
        QTest::newRow("fraction") << "2.5" << -1;
    }

    void openTime() {
        QFETCH(QString, typed);
        QFETCH(int, stored);
        makeCtrlEditor();
        TCtrl ctrl;
        bool openAfterSave = false;
        whenModal([&](QDialog* dlg) {
            setEdit(dlg, "edOpen", typed);
            click(dlg, "bbSave");
            openAfterSave = dlg->isVisible();
            if (openAfterSave) {
                // The wrong field takes the focus; what was typed stays.
                QCOMPARE(dlg->focusWidget(), child<QWidget>(dlg, "edOpen"));
                QCOMPARE(child<QLineEdit>(dlg, "edOpen")->text(), typed);
                click(dlg, "bbCancel");
            }
        });
        const bool saved = NewCtrl(ctrl);
        if (stored < 0) {
            QVERIFY(openAfterSave);
            QVERIFY(!saved);
            QCOMPARE(messages.texts(RecordingMessages::Shown::Error).size(), 1);
            QVERIFY2(messages.shown[0].text.startsWith(QStringLiteral("Поле «Время откр.»")),
                     qPrintable(messages.shown[0].text));
        } else {
            QVERIFY(!openAfterSave);
            QVERIFY(saved);
            QCOMPARE(ctrl.open_time, stored);
        }
    }

    void wrongObjectIsNamedBeforeWrongOpenTime() {
        makeCtrlEditor();
        TCtrl ctrl;
        whenModal([&](QDialog* dlg) {
            child<QComboBox>(dlg, "cbObj")->setEditText(QStringLiteral("нет такого"));
            setEdit(dlg, "edOpen", QStringLiteral("300"));
            click(dlg, "bbSave");
            // Correct the object: now the opening time is named.
            child<QComboBox>(dlg, "cbObj")->setCurrentIndex(0);
            click(dlg, "bbSave");
            setEdit(dlg, "edOpen", QStringLiteral("12"));
            click(dlg, "bbSave");
        });
        QVERIFY(NewCtrl(ctrl));
        const QStringList errors = messages.texts(RecordingMessages::Shown::Error);
        QCOMPARE(errors.size(), 2);
        QVERIFY(errors[0].contains(QStringLiteral("«нет такого»")));
        QVERIFY(errors[1].startsWith(QStringLiteral("Поле «Время откр.»")));
        QCOMPARE(ctrl.obj_num, 4);
        QCOMPARE(ctrl.open_time, 12);
    }
};

QTEST_MAIN(EdEditorsTests)
#include "ed_editors_tests.moc"
