#include "core/port_numbers.h"
#include "core/recording_messages.h"
#include "link/serial_ports.h"
#include "register/table.h"
#include "register/ui/db_grid.h"
#include "register/ui/status_delegate.h"
#include "register/ui/tests/ed_test_support.h"
#include "register/ui/tests/grid_sample_register.h"
#include "register/varek_register.h"
#include "shell/t_vareklocal.h"
#include "shell/tests/window_home.h"

#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QProgressBar>
#include <QSplitter>
#include <QTabWidget>
#include <QTemporaryDir>
#include <QToolBar>
#include <QToolButton>
#include <QtTest>

using namespace varek;

namespace {

struct Button {
    const char* name;
    const char* hint;
    const char* page;
};

const Button kButtons[] = {
    {"ToolButton13", "Выдать жетон", "tshTokens"},
    {"ToolButton8", "Изменить...", "tshTokens"},
    {"ToolButton12", "Удалить ключ", "tshTokens"},
    {"tbExportKeys", "Экспорт ключей в CSV", "tshTokens"},
    {"tbImportKeys", "Импорт ключей из CSV", "tshTokens"},
    {"bbAdd", "Новый объект...", "tshCtrl"},
    {"bbEdit", "Изменить...", "tshCtrl"},
    {"bbDel", "Удалить объект", "tshCtrl"},
    {"ToolButton4", "Добавить контроллер...", "tshCtrl"},
    {"tbMeg", "Редактировать...", "tshCtrl"},
    {"BtnSetTabs", "Удалить контроллер", "tshCtrl"},
    {"bbTest", "Считать ключи из Zintor", "tshCtrl"},
    {"BtnClear", "Записать ключи в Zintor", "tshCtrl"},
    {"BtnSecurity", "Записать ключи в контроллер", "tshCtrl"},
    {"bbCheck", "Сверить с Zintor", "tshCtrl"},
    {"tbDelToken", "Изъять жетон", "tshCtrl"},
};

const QString kFailedStart =
    QStringLiteral("Не удается получить доступ к каталогу с данными. Проверьте наличие каталога ");

QByteArray readFile(const QString& path) {
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

void writeFile(const QString& path, const QByteArray& content) {
    QFile f(path);
    QVERIFY(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
    f.write(content);
}

QStringList columnTexts(DbGrid* grid, int column) {
    QStringList out;
    for (int r = 0; r < grid->gridModel()->rowCount(); ++r)
        out << StatusDelegate::cellText(grid->gridModel()->index(r, column));
    return out;
}

QStringList headerTitles(DbGrid* grid) {
    QStringList out;
    for (int c = 0; c < grid->gridModel()->columnCount(); ++c)
        out << grid->gridModel()->headerData(c, Qt::Horizontal).toString();
    return out;
}

QImage iconImage(const QToolButton* b) {
    return b->icon().pixmap(24, 24).toImage();
}

} // namespace

class WindowTests : public QObject {
    Q_OBJECT

private:
    std::unique_ptr<WindowHome> m_home;
    RecordingMessages m_messages;

    QString home() const { return m_home->path(); }
    QString settingsPath() const { return home() + "settings.ini"; }
    QString data() const { return m_home->data(); }

    std::unique_ptr<TTVarekLocal> window() { return std::make_unique<TTVarekLocal>(&m_messages); }
    // A started window over the sample register.
    std::unique_ptr<TTVarekLocal> started() { return m_home->started(m_messages); }

private slots:
    void init() {
        m_home = std::make_unique<WindowHome>();
        QVERIFY(m_home->isValid());
        m_messages = RecordingMessages();
    }

    void cleanup() { m_home.reset(); }

    void layoutFacts() {
        auto w = window();
        QCOMPARE(w->windowTitle(), QStringLiteral("Varek - Управление локальными контроллерами"));
        QCOMPARE(w->frameGeometry().size(), QSize(753, 713));
        QCOMPARE(w->pos(), QPoint(336, 199));
        QTabWidget* pages = w->findChild<QTabWidget*>("PageControl1");
        QVERIFY(pages);
        QCOMPARE(w->centralWidget(), pages);
        const QStringList names = {"tshTokens", "tshCtrl", "tshHint", "TabSheet2"};
        const QStringList captions = {"Ключи", "Контроллеры", "Подробности", "Настройки"};
        QCOMPARE(pages->count(), 4);
        for (int i = 0; i < 4; ++i) {
            QCOMPARE(pages->widget(i)->objectName(), names[i]);
            QCOMPARE(pages->tabText(i), captions[i]);
        }
        QCOMPARE(pages->currentIndex(), 0);

        for (const Button& b : kButtons) {
            auto* button = w->findChild<QToolButton*>(b.name);
            QVERIFY2(button, b.name);
            QCOMPARE(button->toolTip(), QString::fromUtf8(b.hint));
            QCOMPARE(button->accessibleName(), QString::fromUtf8(b.hint));
            QVERIFY2(!button->icon().isNull(), b.name);
            QCOMPARE(button->toolButtonStyle(), Qt::ToolButtonIconOnly);
            QVERIFY(w->findChild<QWidget*>(b.page)->isAncestorOf(button));
        }
        // Icons tell apart the buttons of each toolbar and the device operations.
        const QList<QStringList> apart = {
            {"ToolButton13", "ToolButton8", "ToolButton12", "tbExportKeys", "tbImportKeys"},
            {"bbAdd", "bbEdit", "bbDel"},
            {"ToolButton4", "tbMeg", "BtnSetTabs", "bbTest", "BtnClear", "BtnSecurity", "bbCheck",
             "tbDelToken"}};
        for (const QStringList& group : apart)
            for (int i = 0; i < group.size(); ++i)
                for (int j = i + 1; j < group.size(); ++j)
                    QVERIFY2(iconImage(w->findChild<QToolButton*>(group[i])) !=
                                 iconImage(w->findChild<QToolButton*>(group[j])),
                             qPrintable(group[i] + " / " + group[j]));

        // The grooved separator of the controllers toolbar sits between the
        // register and the device buttons.
        auto* bar2 = w->findChild<QToolBar*>("Toolbar2");
        QStringList order;
        for (QAction* a : bar2->actions())
            order << (a->isSeparator() ? QStringLiteral("|") : bar2->widgetForAction(a)->objectName());
        QCOMPARE(order, (QStringList{"ToolButton4", "tbMeg", "BtnSetTabs", "|", "bbTest", "BtnClear",
                                     "BtnSecurity", "bbCheck"}));

        QCOMPARE(headerTitles(w->DBGrid3()),
                 (QStringList{"Жетон", "Пользователь", "Статус", "Выдан", "Код Dallas"}));
        QCOMPARE(headerTitles(w->gridAccess()), (QStringList{"Объект", "Контроллер"}));
        QCOMPARE(headerTitles(w->DBGrid2()), (QStringList{"Наименование", "Адрес", "Примечание"}));
        QCOMPARE(headerTitles(w->DBGrid1()),
                 (QStringList{"Наименование", "Номер", "HARD", "Примечания", "Время открывания"}));
        QCOMPARE(headerTitles(w->DBGrid4()),
                 (QStringList{"Жетон", "Пользователь", "Выдан", "Код Dallas", "Статус"}));
        QCOMPARE(w->DBGrid3()->selectionMode(), QAbstractItemView::ExtendedSelection);
        QCOMPARE(w->DBGrid1()->selectionMode(), QAbstractItemView::SingleSelection);
        QCOMPARE(w->findChild<QLabel*>("laCount")->text(), QStringLiteral("Всего:"));
        QCOMPARE(w->progressBar()->maximum(), 100);
        QVERIFY(w->findChild<QComboBox*>("cbCom")->isEditable());

        // Panel heights once shown, on every page.
        w->show();
        QVERIFY(QTest::qWaitForWindowExposed(w.get()));
        for (int i = 0; i < 2; ++i) {
            pages->setCurrentIndex(i);
            QCoreApplication::processEvents();
        }
        QCOMPARE(w->findChild<QWidget*>("SizePanel4")->height(), 324);
        QCOMPARE(w->findChild<QWidget*>("SizePanel1")->height(), 189);
        QCOMPARE(w->findChild<QWidget*>("SizePanel3")->height(), 209);
        QCOMPARE(w->findChild<QSplitter*>("CtrlSizeBars")->handleWidth(), 4);
    }

    void startWithoutDataEndsWithTheMessageAndWritesNothing() {
        auto w = window();
        QVERIFY(!w->FormCreate());
        const QStringList plain = m_messages.texts(RecordingMessages::Shown::Plain);
        QCOMPARE(plain.size(), 1);
        const QStringList lines = plain[0].split(u'\n');
        QCOMPARE(lines[0], kFailedStart + data() + " на диске");
        QVERIFY(data().endsWith("/Data/"));
        QCOMPARE(lines.size(), 2); // the cause on a line of its own
        QVERIFY(!lines[1].isEmpty());
        QVERIFY(m_messages.texts(RecordingMessages::Shown::Error).isEmpty());
        w->close();
        w.reset();
        QVERIFY(!QFile::exists(settingsPath()));
    }

    void startWithoutTheAccessTableFailsAsAWhole() {
        sample::makeRegister(data(), /*withAccessTable=*/false);
        writeFile(settingsPath(), "[1]\ncom_zintor=5\n");
        auto w = window();
        QVERIFY(!w->FormCreate());
        QVERIFY(m_messages.texts(RecordingMessages::Shown::Plain).value(0).startsWith(kFailedStart + data()));
        QVERIFY(!w->reg().taObj().active());
        w->close();
        QCOMPARE(readFile(settingsPath()), QByteArray("[1]\ncom_zintor=5\n"));
    }

    void startShowsTheRegister() {
        auto w = started();
        QVERIFY(m_messages.shown.isEmpty());
        QCOMPARE(w->pageControl()->currentWidget()->objectName(), QStringLiteral("tshTokens"));
        QCOMPARE(columnTexts(w->DBGrid3(), 1),
                 (QStringList{"Иванов Иван Иванович", "Петрова Анна", "Сидоров Пётр", "Ёлкин Фёдор"}));
        QCOMPARE(columnTexts(w->DBGrid3(), 2),
                 (QStringList{"доступ", "мастер-ключ", "доступ", "мастер-ключ"}));
        QCOMPARE(columnTexts(w->DBGrid3(), 3), (QStringList{"05.03.2024", "31.12.2023", "09.01.2025", ""}));
        QCOMPARE(w->findChild<QLabel*>("laCount")->text(), QStringLiteral("Всего 4"));
        // The first key's controllers.
        QStringList access = columnTexts(w->gridAccess(), 1);
        access.sort();
        QCOMPARE(access, (QStringList{"Главный вход", "Серверная"}));
        QCOMPARE(columnTexts(w->gridAccess(), 0).value(0), QStringLiteral("Главный корпус"));
        // Controllers of the first object, keys of its first controller.
        QCOMPARE(columnTexts(w->DBGrid2(), 0), (QStringList{"Главный корпус", "Склад №2"}));
        QCOMPARE(columnTexts(w->DBGrid1(), 0), (QStringList{"Главный вход", "Серверная"}));
        QStringList keys = columnTexts(w->DBGrid4(), 1);
        keys.sort();
        QCOMPARE(keys, (QStringList{"Иванов Иван Иванович", "Петрова Анна"}));

        // Choosing another key in the grid shows its controllers.
        const QRect cell = w->DBGrid3()->visualRect(w->DBGrid3()->gridModel()->index(2, 1));
        QTest::mouseClick(w->DBGrid3()->viewport(), Qt::LeftButton, {}, cell.center());
        QCOMPARE(w->reg().taTokens().recNo(), 2);
        QCOMPARE(columnTexts(w->gridAccess(), 1), QStringList{"Ворота"});
        // Choosing another object shows its controllers.
        w->reg().taObj().setRecNo(1);
        QCOMPARE(columnTexts(w->DBGrid1(), 0), QStringList{"Ворота"});
        QCOMPARE(w->DBGrid2()->currentIndex().row(), 1);
    }

    void closeWritesBothNumbersEvenUnchanged() {
        writeFile(settingsPath(), "; ports\r\n[1]\r\ncom_zintor=0x10\r\ncom_token=300\r\n[other]\r\nx=1\r\n");
        auto w = started();
        QCOMPARE(ComZintor, 16);
        QCOMPARE(ComToken, 44);
        w->close();
        QVERIFY(!w->reg().taTokens().active());
        QCOMPARE(readFile(settingsPath()),
                 QByteArray("; ports\r\n[1]\r\ncom_zintor=16\r\ncom_token=44\r\n[other]\r\nx=1\r\n"));
    }

    void closeWithoutSettingsFileCreatesIt() {
        auto w = started();
        w->close();
        QCOMPARE(readFile(settingsPath()), QByteArray("[1]\ncom_zintor=0\ncom_token=0\n"));
    }

    void refusedSettingsWriteIsReportedAndTheWindowClosesAnyway() {
        auto w = started();
        QVERIFY(QDir().mkdir(settingsPath())); // nothing can replace a directory
        w->close();
        QCOMPARE(m_messages.texts(RecordingMessages::Shown::Error),
                 QStringList{"Unable to write to " + settingsPath() + "."});
        QVERIFY(!w->isVisible());
    }

    // A settings.ini over 1 MiB is not a settings file: the start says so,
    // the numbers are 0 and the close leaves the file as it was.
    void oversizedSettingsFileIsNeitherReadNorRewritten() {
        const QByteArray content = QByteArray("[1]\ncom_zintor=3\ncom_token=5\n") + QByteArray(1 << 20, ';');
        writeFile(settingsPath(), content);
        auto w = started();
        QCOMPARE(m_messages.texts(RecordingMessages::Shown::Plain),
                 QStringList{"Файл настроек " + settingsPath() +
                             " больше 1 МБ, а настоящий файл настроек занимает несколько строк. Файл не "
                             "прочитан, порты устройства Zintor и считывателя не выбраны. При выходе "
                             "программа этот файл не изменит."});
        QCOMPARE(ComZintor, 0);
        QCOMPARE(ComToken, 0);
        QVERIFY(w->reg().taObj().active());
        w->close();
        QVERIFY(m_messages.texts(RecordingMessages::Shown::Error).isEmpty());
        QVERIFY(readFile(settingsPath()) == content);
    }

    // Told to end (a quit signal) while an editor is open: the editor is
    // dismissed as by its Cancel, so nothing is saved, and then the window
    // closes as the operator's close does, writing the settings.
    void quitRequestDismissesAnOpenEditorThenCloses() {
        auto w = started();
        const int objects = w->reg().taObj().recordCount();
        ComZintor = 9;
        bool editorOpen = false;
        test::whenModal([&](QDialog* dlg) {
            test::setEdit(dlg, "edName", QStringLiteral("Не сохранять"));
            editorOpen = dlg->isVisible();
            w->closeOnQuitRequest();
        });
        w->bbAddClick(); // returns once the editor has been dismissed
        QVERIFY(editorOpen);
        QTRY_VERIFY(!w->isVisible());
        QVERIFY(!w->reg().taObj().active());
        QVERIFY(m_messages.shown.isEmpty());
        QCOMPARE(readFile(settingsPath()), QByteArray("[1]\ncom_zintor=9\ncom_token=0\n"));
        w->reg().open(data());
        QCOMPARE(w->reg().taObj().recordCount(), objects);
        w->reg().close();
    }

    void portListsFromThePortsDirectory() {
        QVERIFY(QDir().mkpath(home() + "ports"));
        QVERIFY(QFile::link("/dev/null", home() + "ports/COM3"));
        QVERIFY(QFile::link("/dev/zero", home() + "ports/COM200"));
        QVERIFY(QFile::link("/dev/null", home() + "ports/COM250"));
        writeFile(settingsPath(), "[1]\ncom_zintor=3\ncom_token=7\n");
        auto w = started();
        auto* cbCom = w->findChild<QComboBox*>("cbCom");
        auto* cbComToken = w->findChild<QComboBox*>("cbComToken");
        QStringList entries;
        for (int i = 0; i < cbCom->count(); ++i)
            entries << cbCom->itemText(i);
        // Ours, in map order (machine ports may come before them).
        QCOMPARE(entries.mid(entries.indexOf("COM3")), (QStringList{"COM3", "COM200", "COM250"}));
        QCOMPARE(cbCom->currentText(), QStringLiteral("COM3"));
        QCOMPARE(cbComToken->count(), cbCom->count());
        QCOMPARE(cbComToken->currentIndex(), -1); // COM7 is not there; the number stays
        QCOMPARE(ComToken, 7);
        QVERIFY(w->findChild<QLabel*>("laComDevice")->text().contains("/dev/null"));

        // Picking an entry sets the number at once.
        const int i200 = cbCom->findText("COM200");
        cbCom->setCurrentIndex(i200);
        emit cbCom->activated(i200);
        QCOMPARE(ComZintor, 200);
        QVERIFY(w->findChild<QLabel*>("laComDevice")->text().contains("/dev/zero"));
        // Typing an entry's name chooses it.
        cbComToken->lineEdit()->setText("com250");
        emit cbComToken->lineEdit()->textEdited("com250");
        QCOMPARE(ComToken, 250);
        QVERIFY(m_messages.shown.isEmpty());

        // A change with no current entry reports the empty text and keeps the number.
        cbCom->setCurrentIndex(-1);
        w->cbComChange();
        QCOMPARE(m_messages.texts(RecordingMessages::Shown::Error),
                 QStringList{QStringLiteral("'' is not a valid integer value.")});
        QCOMPARE(ComZintor, 200);

        w->close();
        QVERIFY(readFile(settingsPath()).contains("com_zintor=200"));
        QVERIFY(readFile(settingsPath()).contains("com_token=250"));
    }

    // A USB adapter is listed under the number it keeps, and the page names
    // the adapter by its stable name.
    void usbAdapterShownByItsStableName() {
        const QString byId = home() + "by-id";
        QVERIFY(QDir().mkpath(byId));
        const QString name = QStringLiteral("usb-FTDI_FT232R_USB_UART_A601X4NB-if00-port0");
        QVERIFY(QFile::link("/dev/null", byId + u'/' + name));
        setSerialByIdRoot(byId);
        writeFile(settingsPath(), "[1]\ncom_zintor=33\ncom_token=0\n");
        auto w = started();
        setSerialByIdRoot(QString());
        auto* cbCom = w->findChild<QComboBox*>("cbCom");
        QCOMPARE(cbCom->currentText(), QStringLiteral("COM33"));
        const QString label = w->findChild<QLabel*>("laComDevice")->text();
        QCOMPARE(label, QStringLiteral("COM33 — адаптер USB ") + name + QStringLiteral(" (/dev/null)"));
        QVERIFY(cbCom->itemData(cbCom->currentIndex(), Qt::ToolTipRole).toString().contains(name));
        QVERIFY(readFile(home() + "usb_ports.txt").contains("33 " + name.toUtf8()));
    }

    void ctrlDeleteInTheGrids() {
        auto w = started();
        auto press = [](QWidget* g) { QTest::keyClick(g, Qt::Key_Delete, Qt::ControlModifier); };
        // The view grids: nothing asked, nothing changed.
        w->pageControl()->setCurrentIndex(1);
        press(w->DBGrid4());
        w->pageControl()->setCurrentIndex(0);
        press(w->gridAccess());
        QVERIFY(m_messages.shown.isEmpty());
        QCOMPARE(w->DBGrid4()->gridModel()->rowCount(), 2);
        QCOMPARE(w->gridAccess()->gridModel()->rowCount(), 2);

        // The keys grid: two selected rows, cancelled.
        DbGrid* keys = w->DBGrid3();
        QTest::mouseClick(keys->viewport(), Qt::LeftButton, {},
                          keys->visualRect(keys->model()->index(0, 1)).center());
        QTest::mouseClick(keys->viewport(), Qt::LeftButton, Qt::ControlModifier,
                          keys->visualRect(keys->model()->index(3, 1)).center());
        m_messages.confirmAnswers = {false};
        press(keys);
        QCOMPARE(m_messages.shown.size(), 1);
        QCOMPARE(m_messages.shown[0].caption, QStringLiteral("Confirm"));
        QCOMPARE(m_messages.shown[0].text, QStringLiteral("Delete all selected records?"));
        QCOMPARE(w->reg().taTokens().recordCount(), 4);
        // One row, confirmed: that key alone goes.
        m_messages.clear();
        QTest::mouseClick(keys->viewport(), Qt::LeftButton, {},
                          keys->visualRect(keys->model()->index(3, 1)).center());
        press(keys);
        QCOMPARE(m_messages.shown.value(0).text, QStringLiteral("Delete record?"));
        QCOMPARE(columnTexts(keys, 1), (QStringList{"Иванов Иван Иванович", "Петрова Анна", "Сидоров Пётр"}));
    }
};

QTEST_MAIN(WindowTests)
#include "window_tests.moc"
