// The key editor headless on the offscreen platform: its fields, the check
// tree, Save and Cancel, and the card reader on a real pseudo-terminal linked
// as ports/COMn under VAREK_HOME.

#include "core/port_numbers.h"
#include "core/recording_messages.h"
#include "keys/ui/ed_token.h"
#include "keys/ui/rights_model.h"
#include "keys/ui/rights_tree_view.h"
#include "keys/ui/tests/key_editor_support.h"
#include "link/line_serial.h"
#include "link/reader_com_port.h"
#include "link/tests/run_as_nobody.h"
#include "tools/pty_util.h"

#include <QAbstractItemModelTester>
#include <QAccessible>
#include <QApplication>
#include <QComboBox>
#include <QDateEdit>
#include <QFile>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QStyle>
#include <QStyleOptionViewItem>
#include <QTemporaryDir>
#include <QTest>
#include <memory>

#include <grp.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

using namespace varek;
using namespace varek::test;

namespace {

constexpr int ReaderCom = 7;

// A card reader line: a pseudo-terminal whose slave is ports/COM7 under a
// temporary VAREK_HOME, and ComToken pointing at it.
struct ReaderLine {
    QTemporaryDir home;
    sim::PtyPair pty;
    ReaderLine() {
        qputenv("VAREK_HOME", home.path().toLocal8Bit());
        pty.linkAs(home.path() + QStringLiteral("/ports"), ReaderCom);
        ComToken = ReaderCom;
    }
    ~ReaderLine() { ComToken = 0; }
};

// Counts the characters the editor's reader port announced.
struct Announced {
    int count = 0;
    explicit Announced(TfrmEdToken& frm) {
        QObject::connect(frm.readerPort(), &TReaderComPort::OnTriggerAvail, frm.readerPort(),
                         [this](quint16 n) { count += n; });
    }
};

// Sends bytes from the reader and waits until the editor has handled them.
bool present(ReaderLine& line, Announced& announced, const QByteArray& bytes) {
    const int target = announced.count + static_cast<int>(bytes.size());
    if (!line.pty.writeAll(bytes)) return false;
    return QTest::qWaitFor([&] { return announced.count >= target; }, 5000);
}

QLabel* labelFor(QWidget& dialog, QWidget* buddy) {
    for (QLabel* label : dialog.findChildren<QLabel*>())
        if (label->buddy() == buddy) return label;
    return nullptr;
}

} // namespace

class EdTokenTests : public QObject {
    Q_OBJECT

private slots:
    void init() {
        ReaderBuf.clear();
        ComToken = 0;
    }

    void formShowsTheFieldsOfAKey() {
        RecordingMessages messages;
        TfrmEdToken frm(messages);
        QCOMPARE(frm.windowTitle(), QStringLiteral("Ключ"));
        QVERIFY(!(frm.windowFlags() & Qt::WindowCloseButtonHint));
        QVERIFY(!(frm.windowFlags() & Qt::WindowMinMaxButtonsHint));
        const QList<std::pair<QWidget*, QString>> fields{
            {frm.edName, "ФИО"},
            {frm.dtFirstDay, "Выдан"},
            {frm.edToken, "Код DALLAS:"},
            {frm.cbSign, "Статус:"},
            {frm.tvCtrl, "Права доступа по контроллерам:"},
        };
        for (const auto& [widget, label] : fields) {
            QVERIFY(labelFor(frm, widget));
            QCOMPARE(labelFor(frm, widget)->text(), label);
        }
        QCOMPARE(frm.edName->objectName(), QStringLiteral("edName"));
        QCOMPARE(frm.tvCtrl->objectName(), QStringLiteral("tvCtrl"));
        QCOMPARE(frm.bbSave->text(), QStringLiteral("Сохранить"));
        QCOMPARE(frm.bbCancel->text(), QStringLiteral("Отмена"));
        QVERIFY(!frm.cbSign->isEditable());
        QCOMPARE(frm.cbSign->count(), 2);
        QCOMPARE(frm.cbSign->itemText(0), QStringLiteral("Мастер-ключ"));
        QCOMPARE(frm.cbSign->itemText(1), QStringLiteral("Доступ"));
        QCOMPARE(frm.cbSign->currentIndex(), 1);
        QVERIFY(!frm.dtFirstDay->displayFormat().contains(QLatin1Char('h')));
        frm.setFieldWidths(30, 16);
        QCOMPARE(frm.edName->maxLength(), 30);
        // A pasted code with blanks around it is not cut.
        frm.edToken->setText(QStringLiteral("  01b2f5107c3a0086 "));
        QCOMPARE(frm.edToken->text(), QStringLiteral("  01b2f5107c3a0086 "));
    }

    // The port cannot be opened: the box says so, the reader line says why
    // and what to do, and the editor still works.
    void withoutAReaderTheEditorStillWorks_data() {
        QTest::addColumn<int>("comToken");
        QTest::addColumn<bool>("held");
        QTest::addColumn<QString>("readerLine"); // %1: the reader's device
        QTest::newRow("no port chosen")
            << 0 << false
            << QStringLiteral("Считыватель не подключён. Порт считывателя Orvan не выбран: выберите его в "
                              "списке «Ком-порт считывателя Orvan» на странице «Настройки».");
        QTest::newRow("no such port")
            << 9 << false
            << QStringLiteral("Считыватель не подключён. Порт COM9 не найден: устройство не подключено или "
                              "порт выбран неверно. Подключите устройство или выберите другой порт в списке "
                              "«Ком-порт считывателя Orvan» на странице «Настройки».");
        QTest::newRow("held by another program")
            << ReaderCom << true
            << QStringLiteral("Считыватель не подключён. Порт COM7 (%1) занят другой программой. Закройте её "
                              "и откройте окно ключа заново.");
    }
    void withoutAReaderTheEditorStillWorks() {
        QFETCH(int, comToken);
        QFETCH(bool, held);
        QFETCH(QString, readerLine);
        std::unique_ptr<ReaderLine> line;
        std::unique_ptr<TLineSerial> holder;
        QTemporaryDir home;
        qputenv("VAREK_HOME", home.path().toLocal8Bit());
        if (held) {
            line = std::make_unique<ReaderLine>();
            holder = std::make_unique<TLineSerial>();
            holder->OpenDevice(QStringLiteral("COM%1").arg(ReaderCom));
            QVERIFY(holder->isActive());
            readerLine = readerLine.arg(line->pty.slavePath());
        }
        ComToken = static_cast<quint8>(comToken);
        RecordingMessages messages;
        auto frm = std::make_unique<TfrmEdToken>(messages);
        QCOMPARE(messages.texts(RecordingMessages::Shown::Plain),
                 QStringList{QStringLiteral("Не удается подключиться к com-порту.")});
        QCOMPARE(frm->laReader->text(), readerLine);
        QVERIFY(!frm->readerConnected());
        whenShown([](TfrmEdToken& f) {
            f.edToken->setText(QStringLiteral("01B2F5107C3A0086"));
            f.bbSave->click();
        });
        TToken token;
        QVERIFY(NewToken(frm, token));
        QVERIFY(!frm);
        QCOMPARE(token.token_code, QStringLiteral("01B2F5107C3A0086"));
        QCOMPARE(messages.shown.size(), 1);
    }

    // A user outside the device's group (the test drops to nobody in a child
    // process, since root may open any device): the reader line names the
    // device, its group and the command that admits the user.
    void readerLineTellsAboutMissingPermission() {
        ReaderLine line;
        const group* dialout = ::getgrnam("dialout");
        QVERIFY(dialout);
        const QByteArray slave = QFile::encodeName(line.pty.slavePath());
        QCOMPARE(::chown(slave.constData(), 0, dialout->gr_gid), 0);
        QCOMPARE(::chmod(slave.constData(), 0660), 0);
        const auto open = QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner |
                          QFileDevice::ReadOther | QFileDevice::ExeOther;
        QVERIFY(QFile::setPermissions(line.home.path(), open));
        QVERIFY(QFile::setPermissions(line.home.path() + QStringLiteral("/ports"), open));

        const QByteArray answer = runAsNobody([] {
            RecordingMessages messages;
            TfrmEdToken frm(messages);
            return messages.texts(RecordingMessages::Shown::Plain).join(u'|').toUtf8() + '\n' +
                   frm.laReader->text().toUtf8();
        });
        QCOMPARE(
            QString::fromUtf8(answer),
            QStringLiteral("Не удается подключиться к com-порту.\n"
                           "Считыватель не подключён. Нет прав на доступ к порту COM7 (%1): он доступен "
                           "группе dialout, а пользователь nobody в неё не входит. Выполните «sudo usermod "
                           "-aG dialout nobody» и войдите в систему заново.")
                .arg(line.pty.slavePath()));
    }

    // The reader line tells the truth: connected while the port is open,
    // whatever arrives; not connected once the device has gone.
    void readerLineFollowsTheDevice() {
        auto line = std::make_unique<ReaderLine>();
        RecordingMessages messages;
        TfrmEdToken frm(messages);
        const QString connected =
            QStringLiteral("Считыватель: COM7 (%1)").arg(line->home.path() + QStringLiteral("/ports/COM7"));
        QCOMPARE(frm.laReader->text(), connected);
        Announced announced(frm);
        QVERIFY(present(*line, announced,
                        "\x02"
                        "3A7C10F5B2\r\n"));
        QTest::qWait(50);
        QCOMPARE(frm.edToken->text(), QStringLiteral("01B2F5107C3A0086"));
        QVERIFY(frm.readerConnected());
        QCOMPARE(frm.laReader->text(), connected);

        line->pty.unlink();
        line.reset(); // the reader's adapter is pulled out
        QVERIFY(QTest::qWaitFor([&] { return !frm.readerConnected(); }, 5000));
        QCOMPARE(frm.laReader->text(),
                 QStringLiteral("Считыватель не подключён. Связь со считывателем Orvan потеряна: считыватель "
                                "отключён или недоступен. Подключите его и откройте окно ключа заново."));
        QVERIFY(messages.shown.isEmpty());
    }

    // Card presentations as the reader delivers them, split over events.
    void readerEventsMakeACode_data() {
        QTest::addColumn<QString>("bufferBefore");
        QTest::addColumn<QList<QByteArray>>("events");
        QTest::addColumn<QString>("codeAfterFirst");
        QTest::addColumn<QString>("code");
        QTest::addColumn<QString>("bufferAfter");
        const QString code = QStringLiteral("01B2F5107C3A0086");
        QTest::newRow("framed by STX and CR LF") << QString()
                                                 << QList<QByteArray>{"\x02"
                                                                      "3A7C10F5B2\r\n"}
                                                 << code << code << QString();
        QTest::newRow("split over two events")
            << QString() << QList<QByteArray>{"3A7C", "10F5B2"} << QString() << code << QString();
        QTest::newRow("twelve digits replace two")
            << QStringLiteral("12") << QList<QByteArray>{"3A7C10F5B2FF"} << code << code << QString();
        QTest::newRow("lower case dropped") << QString() << QList<QByteArray>{"3a7c10f5b2"} << QString()
                                            << QString() << QStringLiteral("371052");
    }
    void readerEventsMakeACode() {
        QFETCH(QString, bufferBefore);
        QFETCH(QList<QByteArray>, events);
        QFETCH(QString, codeAfterFirst);
        QFETCH(QString, code);
        QFETCH(QString, bufferAfter);
        ReaderLine line;
        RecordingMessages messages;
        TfrmEdToken frm(messages);
        QVERIFY2(messages.shown.isEmpty(),
                 qPrintable(messages.texts(RecordingMessages::Shown::Plain).join('|')));
        QVERIFY(frm.laReader->text().startsWith(QStringLiteral("Считыватель: COM7 (")));
        Announced announced(frm);
        ReaderBuf = bufferBefore;
        for (int i = 0; i < events.size(); ++i) {
            QVERIFY(present(line, announced, events[i]));
            if (i == 0) QCOMPARE(frm.edToken->text(), codeAfterFirst);
        }
        QCOMPARE(frm.edToken->text(), code);
        QCOMPARE(ReaderBuf, bufferAfter);
    }

    // Digits received just before one editor closes complete the frame in
    // the next; the first editor's port is released when it closes.
    void readerBufOutlivesTheEditor() {
        ReaderLine line;
        RecordingMessages messages;
        auto frm = std::make_unique<TfrmEdToken>(messages);
        {
            Announced announced(*frm);
            QVERIFY(present(line, announced, "3A7"));
        }
        whenShown([](TfrmEdToken& f) { f.bbCancel->click(); });
        TToken token;
        QVERIFY(!NewToken(frm, token));
        QCOMPARE(ReaderBuf, QStringLiteral("3A7"));

        frm = std::make_unique<TfrmEdToken>(messages);
        QVERIFY(messages.shown.isEmpty()); // the port could be opened again
        QVERIFY(frm->readerConnected());
        Announced announced(*frm);
        QVERIFY(present(line, announced, "C10F5B2"));
        QCOMPARE(frm->edToken->text(), QStringLiteral("01B2F5107C3A0086"));
        QVERIFY(ReaderBuf.isEmpty());
    }

    // Two objects: controllers 3 and 5 under the first, 7 under the second.
    void treeChecksPropagate() {
        RecordingMessages messages;
        TfrmEdToken frm(messages);
        QAbstractItemModelTester tester(&frm.rights(),
                                        QAbstractItemModelTester::FailureReportingMode::QtTest);
        const QModelIndex first = frm.addObjectNode(QStringLiteral("Склад"), 1);
        const QModelIndex c3 = frm.addControllerNode(first, QStringLiteral("Ворота"), 3);
        const QModelIndex c5 = frm.addControllerNode(first, QStringLiteral("Дверь"), 5);
        const QModelIndex second = frm.addObjectNode(QStringLiteral("Офис"), 2);
        const QModelIndex c7 = frm.addControllerNode(second, QStringLiteral("Вход"), 7);
        QCOMPARE(frm.nodeCount(), 5);
        frm.show();
        QVERIFY(QTest::qWaitForWindowExposed(&frm));

        auto space = [&](const QModelIndex& item) {
            frm.tvCtrl->setCurrentIndex(item);
            QTest::keyClick(frm.tvCtrl, Qt::Key_Space);
        };
        space(c3);
        QCOMPARE(frm.rights().checkState(c3), Qt::Checked);
        QCOMPARE(frm.rights().checkState(first), Qt::PartiallyChecked);
        space(first); // partially checked becomes checked, with all its controllers
        QCOMPARE(frm.rights().checkState(c5), Qt::Checked);
        QCOMPARE(frm.rights().checkState(first), Qt::Checked);
        space(first);
        QCOMPARE(frm.rights().checkState(c3), Qt::Unchecked);
        QCOMPARE(frm.rights().checkState(c5), Qt::Unchecked);
        QCOMPARE(frm.rights().checkState(first), Qt::Unchecked);
        space(c5);
        space(c3);
        QCOMPARE(frm.rights().checkState(first), Qt::Checked);

        // A click on a node's check box ticks it as Space does.
        QStyleOptionViewItem option;
        option.initFrom(frm.tvCtrl);
        option.rect = frm.tvCtrl->visualRect(c3);
        option.features |= QStyleOptionViewItem::HasCheckIndicator | QStyleOptionViewItem::HasDisplay;
        option.text = QStringLiteral("Ворота");
        const QRect box =
            frm.tvCtrl->style()->subElementRect(QStyle::SE_ItemViewItemCheckIndicator, &option, frm.tvCtrl);
        QTest::mouseClick(frm.tvCtrl->viewport(), Qt::LeftButton, {}, box.center());
        QCOMPARE(frm.rights().checkState(c3), Qt::Unchecked);
        QCOMPARE(frm.rights().checkState(first), Qt::PartiallyChecked);
        QTest::mouseClick(frm.tvCtrl->viewport(), Qt::LeftButton, {}, box.center());
        QCOMPARE(frm.rights().checkState(first), Qt::Checked);

        // Set from the program, by position, as editing does.
        frm.setNodeChecked(2, false);
        QCOMPARE(frm.rights().checkState(first), Qt::PartiallyChecked);
        frm.setNodeChecked(4, true);
        QCOMPARE(frm.rights().checkState(second), Qt::Checked);
        QCOMPARE(frm.rights().checkState(c7), Qt::Checked);
        QCOMPARE(frm.CollectRights(), (QVector<qint32>{31, 50, 71, 0, 0}));
    }

    // For assistive technology each node is a checkable tree item: it reports
    // checked and partly checked, and its toggle action ticks as Space does.
    void treeNodesTickThroughTheirAccessibleToggle() {
        RecordingMessages messages;
        TfrmEdToken frm(messages);
        const QModelIndex first = frm.addObjectNode(QStringLiteral("Склад"), 1);
        const QModelIndex c3 = frm.addControllerNode(first, QStringLiteral("Ворота"), 3);
        frm.addControllerNode(first, QStringLiteral("Дверь"), 5);
        frm.show();
        QVERIFY(QTest::qWaitForWindowExposed(&frm));

        QAccessibleInterface* tree = QAccessible::queryAccessibleInterface(frm.tvCtrl);
        QVERIFY(tree);
        QCOMPARE(tree->role(), QAccessible::Tree);
        QCOMPARE(tree->text(QAccessible::Name), QStringLiteral("Права доступа по контроллерам:"));
        QCOMPARE(tree->childCount(), 3);
        QAccessibleInterface* object = tree->child(0);
        QAccessibleInterface* gate = tree->child(1);
        QCOMPARE(object->text(QAccessible::Name), QStringLiteral("Склад"));
        QCOMPARE(gate->text(QAccessible::Name), QStringLiteral("Ворота"));
        QCOMPARE(gate->role(), QAccessible::TreeItem);
        QVERIFY(gate->state().checkable);
        QVERIFY(!gate->state().checked);
        QVERIFY(gate->actionInterface());
        QVERIFY(gate->actionInterface()->actionNames().contains(QAccessibleActionInterface::toggleAction()));

        frm.tvCtrl->setCurrentIndex(first);
        gate->actionInterface()->doAction(QAccessibleActionInterface::toggleAction());
        QCOMPARE(frm.rights().checkState(c3), Qt::Checked);
        QVERIFY(gate->state().checked);
        QVERIFY(object->state().checkStateMixed);
        QVERIFY(!object->state().checked);
        QCOMPARE(frm.tvCtrl->currentIndex(), first); // the selection stays where it was
        object->actionInterface()->doAction(QAccessibleActionInterface::toggleAction());
        QVERIFY(object->state().checked);
        QVERIFY(!object->state().checkStateMixed);
        QCOMPARE(frm.CollectRights(), (QVector<qint32>{31, 51, 0}));
        QCOMPARE(tree->indexOfChild(gate), 1);

        // The items are the rows on the screen, as the view's focus events count them.
        frm.tvCtrl->setFocus();
        frm.tvCtrl->setCurrentIndex(c3);
        QVERIFY(QTest::qWaitFor([&] { return frm.tvCtrl->hasFocus(); }));
        QVERIFY(tree->focusChild());
        QCOMPARE(tree->focusChild()->text(QAccessible::Name), QStringLiteral("Ворота"));
        frm.tvCtrl->collapse(first);
        QCOMPARE(tree->childCount(), 1);
    }

    // A whole date typed into "Выдан", separators included, is the date typed.
    void wholeDateCanBeTyped_data() {
        QTest::addColumn<QString>("typed");
        QTest::addColumn<QDate>("date");
        QTest::newRow("with points") << QStringLiteral("10.12.2026") << QDate(2026, 12, 10);
        QTest::newRow("digits only") << QStringLiteral("10122026") << QDate(2026, 12, 10);
        QTest::newRow("one-digit day and month") << QStringLiteral("5.3.2026") << QDate(2026, 3, 5);
    }
    void wholeDateCanBeTyped() {
        QFETCH(QString, typed);
        QFETCH(QDate, date);
        RecordingMessages messages;
        TfrmEdToken frm(messages);
        frm.dtFirstDay->setDate(QDate(2024, 3, 5));
        frm.show();
        QVERIFY(QTest::qWaitForWindowExposed(&frm));
        frm.activateWindow();
        frm.dtFirstDay->setFocus(Qt::TabFocusReason);
        QVERIFY(QTest::qWaitFor([&] { return frm.dtFirstDay->hasFocus(); }));
        QTest::keyClicks(frm.dtFirstDay, typed);
        QCOMPARE(frm.dtFirstDay->date(), date);
    }

    void newKeyIsSavedNormalised() {
        RecordingMessages messages;
        auto frm = std::make_unique<TfrmEdToken>(messages);
        messages.clear(); // no reader here: its message is not what these tests look at
        const QModelIndex object = frm->addObjectNode(QStringLiteral("Склад"), 1);
        frm->addControllerNode(object, QStringLiteral("Ворота"), 3);
        frm->setNodeChecked(1, true);
        whenShown([](TfrmEdToken& f) {
            QCOMPARE(f.dtFirstDay->date(), QDate::currentDate());
            QVERIFY(f.edName->text().isEmpty());
            QVERIFY(f.edToken->text().isEmpty());
            f.edName->setText(QStringLiteral("Иванов Иван"));
            f.edToken->setText(QStringLiteral("  01b2f5107c3a0086 "));
            f.bbSave->click();
        });
        TToken token;
        QVERIFY(NewToken(frm, token));
        QCOMPARE(token.give_date, QDateTime(QDate::currentDate(), QTime(0, 0)));
        QCOMPARE(token.user_name, QStringLiteral("Иванов Иван"));
        QCOMPARE(token.token_code, QStringLiteral("01B2F5107C3A0086"));
        QCOMPARE(token.status, quint8(1));
        QCOMPARE(token.rights, (QVector<qint32>{31, 0}));
        QVERIFY(messages.shown.isEmpty());
    }

    void malformedCodeKeepsTheEditorOpen_data() {
        QTest::addColumn<QString>("typed");
        QTest::newRow("empty") << QString();
        QTest::newRow("short") << QStringLiteral("01B2F5");
        QTest::newRow("not hexadecimal") << QStringLiteral("01B2F5107C3A00G6");
        QTest::newRow("blank inside") << QStringLiteral("01B2F510 7C3A0086");
    }
    void malformedCodeKeepsTheEditorOpen() {
        QFETCH(QString, typed);
        RecordingMessages messages;
        auto frm = std::make_unique<TfrmEdToken>(messages);
        messages.clear(); // no reader here: its message is not what these tests look at
        whenShown([&messages, typed](TfrmEdToken& f) {
            f.edName->setText(QStringLiteral("Петров"));
            f.edToken->setText(typed);
            f.bbSave->click();
            QVERIFY(f.isVisible());
            QCOMPARE(messages.texts(RecordingMessages::Shown::Plain).size(), 1);
            QVERIFY(messages.texts(RecordingMessages::Shown::Plain)[0].contains(QStringLiteral("16")));
            QCOMPARE(f.edName->text(), QStringLiteral("Петров"));
            QCOMPARE(f.edToken->text(), typed);
            f.edToken->setText(QStringLiteral("010900107C3A000D"));
            f.bbSave->click();
        });
        TToken token;
        QVERIFY(NewToken(frm, token));
        QCOMPARE(token.token_code, QStringLiteral("010900107C3A000D"));
        QCOMPARE(token.user_name, QStringLiteral("Петров"));
    }

    void checkByteMismatchAsks() {
        RecordingMessages messages;
        messages.questionAnswers = {false, true};
        auto frm = std::make_unique<TfrmEdToken>(messages);
        messages.clear(); // no reader here: its message is not what these tests look at
        whenShown([&messages](TfrmEdToken& f) {
            f.edToken->setText(QStringLiteral("01B2F5107C3A0087"));
            f.bbSave->click();
            QVERIFY(f.isVisible());
            QCOMPARE(messages.texts(RecordingMessages::Shown::Question).size(), 1);
            QVERIFY(messages.texts(RecordingMessages::Shown::Question)[0].contains(QStringLiteral("86")));
            f.bbSave->click();
        });
        TToken token;
        QVERIFY(NewToken(frm, token));
        QCOMPARE(token.token_code, QStringLiteral("01B2F5107C3A0087"));
    }

    void cancelLeavesTheRecordAsGiven_data() {
        QTest::addColumn<bool>("escape");
        QTest::newRow("Отмена") << false;
        QTest::newRow("Esc") << true;
    }
    void cancelLeavesTheRecordAsGiven() {
        QFETCH(bool, escape);
        RecordingMessages messages;
        auto frm = std::make_unique<TfrmEdToken>(messages);
        messages.clear(); // no reader here: its message is not what these tests look at
        const TToken given{QDateTime(QDate(2020, 5, 1), QTime(0, 0)),
                           QStringLiteral("Петров"),
                           QStringLiteral("01B2F5107C3A0086"),
                           0,
                           {42}};
        whenShown([escape](TfrmEdToken& f) {
            QCOMPARE(f.edName->text(), QStringLiteral("Петров"));
            QCOMPARE(f.edToken->text(), QStringLiteral("01B2F5107C3A0086"));
            QCOMPARE(f.dtFirstDay->date(), QDate(2020, 5, 1));
            QCOMPARE(f.cbSign->currentIndex(), 0);
            f.edName->setText(QStringLiteral("Сидоров"));
            f.cbSign->setCurrentIndex(1);
            if (escape)
                QTest::keyClick(&f, Qt::Key_Escape);
            else
                f.bbCancel->click();
        });
        TToken token = given;
        QVERIFY(!EditToken(frm, token));
        QVERIFY(!frm);
        QCOMPARE(token.give_date, given.give_date);
        QCOMPARE(token.user_name, given.user_name);
        QCOMPARE(token.token_code, given.token_code);
        QCOMPARE(token.status, given.status);
        QCOMPARE(token.rights, given.rights);
    }

    // A stored status other than 0 and 1 leaves no item chosen; the key
    // cannot be saved without one.
    void statusMustBeChosen() {
        RecordingMessages messages;
        auto frm = std::make_unique<TfrmEdToken>(messages);
        messages.clear(); // no reader here: its message is not what these tests look at
        whenShown([&messages](TfrmEdToken& f) {
            QCOMPARE(f.cbSign->currentIndex(), -1);
            f.bbSave->click();
            QVERIFY(f.isVisible());
            QCOMPARE(messages.texts(RecordingMessages::Shown::Plain).size(), 1);
            f.cbSign->setCurrentIndex(0);
            f.bbSave->click();
        });
        TToken token{QDateTime(QDate(2021, 1, 2), QTime(0, 0)),
                     QStringLiteral("Петров"),
                     QStringLiteral("01B2F5107C3A0086"),
                     5,
                     {}};
        QVERIFY(EditToken(frm, token));
        QCOMPARE(token.status, quint8(0));
        QCOMPARE(token.give_date, QDateTime(QDate(2021, 1, 2), QTime(0, 0)));
    }

    void codeCheckCanRefuse() {
        RecordingMessages messages;
        auto frm = std::make_unique<TfrmEdToken>(messages);
        messages.clear(); // no reader here: its message is not what these tests look at
        QStringList checked;
        frm->setCodeCheck([&checked](const QString& code) {
            checked << code;
            return checked.size() == 1 ? QStringLiteral("занят") : QString();
        });
        whenShown([&messages](TfrmEdToken& f) {
            f.edToken->setText(QStringLiteral("01b2f5107c3a0086"));
            f.bbSave->click();
            QVERIFY(f.isVisible());
            QCOMPARE(messages.texts(RecordingMessages::Shown::Plain), QStringList{QStringLiteral("занят")});
            f.bbSave->click();
        });
        TToken token;
        QVERIFY(NewToken(frm, token));
        QCOMPARE(checked,
                 (QStringList{QStringLiteral("01B2F5107C3A0086"), QStringLiteral("01B2F5107C3A0086")}));
    }
};

QTEST_MAIN(EdTokenTests)
#include "ed_token_tests.moc"
