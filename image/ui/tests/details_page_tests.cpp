#include "core/app_paths.h"
#include "core/recording_messages.h"
#include "image/controller_dump.h"
#include "image/ui/details_page.h"
#include "image/ui/memo_list.h"

#include <QClipboard>
#include <QFile>
#include <QFontInfo>
#include <QTemporaryDir>
#include <QTest>
#include <QToolBar>
#include <QToolButton>
#include <QVBoxLayout>

using namespace varek;
using Kind = RecordingMessages::Shown::Kind;

class DetailsPageTests : public QObject {
    Q_OBJECT

private:
    QTemporaryDir m_home;
    RecordingMessages m_messages;
    QWidget* m_window = nullptr;
    DetailsPage* m_page = nullptr;

    QString path(const QString& name) const { return m_home.filePath(name); }
    void writeFile(const QString& name, const QByteArray& bytes) {
        QFile f(path(name));
        QVERIFY(f.open(QIODevice::WriteOnly));
        f.write(bytes);
    }
    static QStringList image() {
        return buildControllerImage(QString(), 5,
                                    {{1, QStringLiteral("01B2F5107C3A0086"), {}, {}},
                                     {0, QStringLiteral("0117002A7C3A0016"), {}, {}}})
            .lines;
    }

private slots:
    void initTestCase() {
        QVERIFY(m_home.isValid());
        qputenv("VAREK_HOME", m_home.path().toLocal8Bit());
    }

    void init() {
        m_messages = RecordingMessages();
        m_window = new QWidget;
        auto* layout = new QVBoxLayout(m_window);
        layout->setContentsMargins(0, 0, 0, 0);
        m_page = new DetailsPage(m_messages, m_window);
        layout->addWidget(m_page);
        m_window->setGeometry(336, 199, 753, 713);
        m_window->show();
        QVERIFY(QTest::qWaitForWindowExposed(m_window));
    }

    void cleanup() {
        delete m_window;
        m_window = nullptr;
    }

    void startsWithTheLogListAlone() {
        QVERIFY(m_page->logList()->isVisible());
        QVERIFY(!m_page->dumpShown());
        QVERIFY(m_page->workList()->isHidden());
        QCOMPARE(m_page->findChild<QToolBar*>(QStringLiteral("Toolbar5"))->height(), 29);
        const QList<QPair<QToolButton*, QString>> buttons{
            {m_page->btnHorizontalTile(), QStringLiteral("Показать/спрятать дамп")},
            {m_page->btnSave(), QStringLiteral("Сохранить дамп в файл")},
            {m_page->btnClear1(), QStringLiteral("Очистить")},
            {m_page->btnNote(), QStringLiteral("Загрузить дамп из файла")},
            {m_page->btnCheckDump(), QStringLiteral("Сверить загруженный дамп")},
        };
        QSet<qint64> icons;
        for (const auto& [button, hint] : buttons) {
            QCOMPARE(button->toolTip(), hint);
            QCOMPARE(button->accessibleName(), hint);
            QCOMPARE(button->toolButtonStyle(), Qt::ToolButtonIconOnly);
            QVERIFY(!button->icon().isNull());
            icons.insert(button->icon().cacheKey());
        }
        QCOMPARE(icons.size(), 5);
        QCOMPARE(m_page->btnSave()->objectName(), QStringLiteral("BtnSave"));
        for (MemoList* list : {m_page->logList(), m_page->dumpList()}) {
            QVERIFY(QFontInfo(list->font()).fixedPitch());
            QCOMPARE(list->palette().color(QPalette::Text), QColor(0x80, 0x00, 0x00));
            list->setLines({QStringLiteral("00000: FF"), QStringLiteral("00020: FF")});
            list->show();
            QCOMPARE(list->sizeHintForRow(0), MemoList::kRowHeight);
            QVERIFY(list->editTriggers() == QAbstractItemView::NoEditTriggers);
        }
        m_page->setControllerName(QStringLiteral("Главный вход"));
        QCOMPARE(m_page->controllerName(), QStringLiteral("Главный вход"));
    }

    void toggleShowsAndHidesTheDump() {
        m_page->logList()->setLines({QStringLiteral("ответ")});
        m_page->dumpList()->setLines(image());
        m_page->btnHorizontalTile()->click();
        QVERIFY(m_page->dumpList()->isVisible());
        // Half the outer height; a half pixel goes to the even neighbour.
        const int outer = m_window->frameGeometry().height();
        QCOMPARE(m_page->halfWindowHeight(), outer / 2 + (outer % 2 != 0 && (outer / 2) % 2 != 0 ? 1 : 0));
        QCOMPARE(m_page->logList()->height(), m_page->halfWindowHeight());
        QVERIFY(m_page->dumpList()->geometry().top() > m_page->logList()->geometry().bottom());
        // The log list keeps its height when the window grows; the dump list takes the change.
        const int logHeight = m_page->logList()->height();
        const int dumpHeight = m_page->dumpList()->height();
        m_window->resize(753, m_window->height() + 40);
        QApplication::processEvents();
        QCOMPARE(m_page->logList()->height(), logHeight);
        QCOMPARE(m_page->dumpList()->height(), dumpHeight + 40);
        m_window->resize(753, m_window->height() - 40);
        QApplication::processEvents();
        m_page->btnHorizontalTile()->click();
        QVERIFY(!m_page->dumpShown());
        QApplication::processEvents();
        QVERIFY(m_page->logList()->height() > 600); // fills the page again
        QCOMPARE(m_page->logList()->lines(), QStringList{QStringLiteral("ответ")});
        QCOMPARE(m_page->dumpList()->lines(), image());
        QVERIFY(m_messages.shown.isEmpty());

        const int frame = outer - m_window->height();
        for (const int h : {700, 701, 702, 703}) {
            m_window->resize(753, h - frame);
            QApplication::processEvents();
            QCOMPARE(m_window->frameGeometry().height(), h);
            QCOMPARE(m_page->halfWindowHeight(), h == 701 ? 350 : h == 703 ? 352 : h / 2);
        }
    }

    void saveThenLoadGivesTheSameLines() {
        m_page->dumpList()->setLines(image());
        m_messages.fileAnswers << path(QStringLiteral("dump"));
        m_page->btnSave()->click();
        QCOMPARE(m_messages.lastInitialDir, appDir());
        QFile saved(path(QStringLiteral("dump")));
        QVERIFY(saved.open(QIODevice::ReadOnly));
        QCOMPARE(saved.size(), 256 * 73);

        m_page->dumpList()->clear();
        m_page->hideDump();
        m_messages.fileAnswers << path(QStringLiteral("dump"));
        m_page->btnNote()->click();
        QCOMPARE(m_messages.lastDefaultSuffix, QStringLiteral("txt"));
        QCOMPARE(m_messages.lastInitialDir, appDir());
        QVERIFY(m_page->dumpShown());
        QCOMPARE(m_page->dumpList()->lines(), image());
        QCOMPARE(m_messages.texts(Kind::Plain), QStringList());
        QCOMPARE(m_messages.texts(Kind::Error), QStringList());
    }

    void loadCancelledStillShowsTheDump() {
        m_page->dumpList()->setLines({QStringLiteral("старое")});
        m_page->btnNote()->click();
        QVERIFY(m_page->dumpShown());
        QCOMPARE(m_page->logList()->height(), m_page->halfWindowHeight());
        QCOMPARE(m_page->dumpList()->lines(), QStringList{QStringLiteral("старое")});
    }

    void refusedFilesLeaveTheDumpUnchanged_data() {
        QTest::addColumn<QByteArray>("bytes");
        QTest::addColumn<QString>("message");
        QTest::newRow("binary")
            << QByteArray("\x7F"
                          "ELF\x02\x01\x01",
                          7)
            << QStringLiteral("Файл «%1» не текстовый: в нём есть двоичные данные. Файл не загружен.");
        QTest::newRow("over 1 MiB") << QByteArray(1024 * 1024 + 1, 'F')
                                    << QStringLiteral(
                                           "Файл «%1» больше 1 МБ, это не дамп памяти. Файл не загружен.");
    }

    void refusedFilesLeaveTheDumpUnchanged() {
        QFETCH(QByteArray, bytes);
        QFETCH(QString, message);
        writeFile(QStringLiteral("refused"), bytes);
        m_page->dumpList()->setLines(image());
        m_messages.fileAnswers << path(QStringLiteral("refused"));
        m_page->btnNote()->click();
        QCOMPARE(m_messages.texts(Kind::Plain), QStringList{message.arg(path(QStringLiteral("refused")))});
        QCOMPARE(m_page->dumpList()->lines(), image());
    }

    void fileErrorsGoToTheErrorReport() {
        m_page->dumpList()->setLines(image());
        const QString missing = path(QStringLiteral("missing.txt"));
        m_messages.fileAnswers << missing;
        m_page->btnNote()->click();
        QCOMPARE(
            m_messages.texts(Kind::Error),
            QStringList{QStringLiteral("Cannot open file \"%1\". No such file or directory.").arg(missing)});
        QCOMPARE(m_page->dumpList()->lines(), image());

        m_messages.clear();
        const QString noDir = path(QStringLiteral("no/dump.txt"));
        m_messages.fileAnswers << noDir;
        m_page->btnSave()->click();
        QCOMPARE(
            m_messages.texts(Kind::Error),
            QStringList{QStringLiteral("Cannot create file \"%1\". No such file or directory.").arg(noDir)});
    }

    void clearEmptiesAllThreeLists() {
        m_page->logList()->setLines({QStringLiteral("ok")});
        m_page->dumpList()->setLines(image());
        m_page->workList()->setLines(image().mid(28));
        m_page->btnClear1()->click();
        QCOMPARE(m_page->logList()->count(), 0);
        QCOMPARE(m_page->dumpList()->count(), 0);
        QCOMPARE(m_page->workList()->count(), 0);
        QVERIFY(m_messages.shown.isEmpty());
        m_page->btnSave()->click();
        QCOMPARE(m_messages.texts(Kind::Plain), QStringList{QStringLiteral("Нечего сохранять!")});
        QCOMPARE(m_messages.shown.size(), 1); // no dialog
    }

    void charactersBeyondOneByteAreNotSaved() {
        m_page->dumpList()->setLines({QStringLiteral("00000: FF"), QStringLiteral("Ответ")});
        m_page->btnSave()->click();
        QCOMPARE(m_messages.texts(Kind::Plain),
                 QStringList{
                     QStringLiteral("В строке 2 дампа есть символ «О», который нельзя записать в файл дампа "
                                    "(в нём один байт на символ). Файл не записан.")});
        QCOMPARE(m_messages.shown.size(), 1);
    }

    void showingBeforeThePageIsLaidOut() {
        // The read-back may show or hide the lists while another page is in front.
        QWidget window;
        auto* layout = new QVBoxLayout(&window);
        auto* page = new DetailsPage(m_messages, &window);
        layout->addWidget(page);
        layout->setContentsMargins(0, 0, 0, 0);
        window.setGeometry(336, 199, 753, 713);
        page->showDump();
        window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&window));
        QCOMPARE(page->logList()->height(), page->halfWindowHeight());
        QVERIFY(page->dumpList()->height() > 200);
    }

    void selectedLinesAreCopied() {
        m_page->showDump();
        MemoList* list = m_page->dumpList();
        list->setLines(image());
        list->selectionModel()->select(list->model()->index(2, 0), QItemSelectionModel::Select);
        list->selectionModel()->select(list->model()->index(0, 0), QItemSelectionModel::Select);
        list->setFocus();
        QTest::keyClick(list, Qt::Key_C, Qt::ControlModifier);
        QCOMPARE(QApplication::clipboard()->text(), image()[0] + u'\n' + image()[2]);
    }

    // The dump being read back is not compared either.
    void anExchangeLocksClearLoadAndCheck() {
        int checks = 0;
        m_page->setCheckDumpHandler([&checks] { ++checks; });
        m_page->logList()->setLines({QStringLiteral("ok")});
        m_page->dumpList()->setLines(image());
        m_page->setExchangeRunning(true);
        QVERIFY(!m_page->btnClear1()->isEnabled());
        QVERIFY(!m_page->btnNote()->isEnabled());
        QVERIFY(!m_page->btnCheckDump()->isEnabled());
        QVERIFY(m_page->btnSave()->isEnabled());
        QVERIFY(m_page->btnHorizontalTile()->isEnabled());
        m_page->BtnClear1Click();
        m_page->BtnNoteClick();
        m_page->BtnCheckDumpClick();
        QCOMPARE(checks, 0);
        QCOMPARE(m_messages.texts(Kind::Plain),
                 QStringList(3, QStringLiteral("Идёт обмен с устройством Zintor. Дождитесь его окончания.")));
        QCOMPARE(m_page->dumpList()->lines(), image());
        QCOMPARE(m_page->logList()->count(), 1);
        m_page->setExchangeRunning(false);
        QVERIFY(m_page->btnClear1()->isEnabled());
        QVERIFY(m_page->btnNote()->isEnabled());
        m_page->btnCheckDump()->click();
        QCOMPARE(checks, 1);
    }
};

QTEST_MAIN(DetailsPageTests)
#include "details_page_tests.moc"
