// Searching and sorting in a grid over the sample keys table: what the grid
// shows, the count beside the search field, and that the dataset's current
// row and Ctrl+Delete act on the rows as shown.

#include "core/recording_messages.h"
#include "dbase/dbf.h"
#include "register/data_link.h"
#include "register/table.h"
#include "register/ui/db_grid.h"
#include "register/ui/grid_search.h"
#include "register/ui/tests/grid_sample_register.h"

#include <QAbstractItemModelTester>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QTemporaryDir>
#include <QtTest>

using namespace varek;

namespace {

const QList<GridColumn> keyColumns = {{QStringLiteral("token_card"), QStringLiteral("Жетон")},
                                      {QStringLiteral("user_name"), QStringLiteral("Пользователь")},
                                      {QStringLiteral("status"), QStringLiteral("Статус")},
                                      {QStringLiteral("give_date"), QStringLiteral("Выдан")},
                                      {QStringLiteral("token_code"), QStringLiteral("Код Dallas")}};
const QStringList keySearchFields = {"token_card", "user_name", "token_code"};

// The sample's holders by their surnames, in the file's order.
const QString ivanov = QStringLiteral("Иванов Иван Иванович");
const QString petrova = QStringLiteral("Петрова Анна");
const QString sidorov = QStringLiteral("Сидоров Пётр");
const QString yolkin = QStringLiteral("Ёлкин Фёдор");

QStringList shownNames(const DbGrid& g) {
    QStringList names;
    for (int r = 0; r < g.gridModel()->rowCount(); ++r)
        names << g.gridModel()->index(r, 1).data().toString();
    return names;
}

} // namespace

class GridSearchTests : public QObject {
    Q_OBJECT

private:
    QTemporaryDir m_dir;
    std::unique_ptr<Table> m_table;
    std::unique_ptr<DataLink> m_link;
    RecordingMessages m_messages;

    QString file(const char* name) const { return QDir(m_dir.path()).filePath(QString::fromLatin1(name)); }

    QStringList namesOnDisk() {
        Table t;
        t.setFileName(file("tokens.dbf"));
        t.open();
        QStringList names;
        for (int r = 0; r < t.recordCount(); ++r)
            names << t.value(r, t.fieldIndex("user_name")).toString();
        return names;
    }

    std::unique_ptr<DbGrid> keysGrid() {
        auto g = std::make_unique<DbGrid>(
            *m_link, keyColumns,
            DbGrid::Options{.rowSelect = true, .multiSelect = true, .keepHighlight = true, .tableGrid = true},
            m_messages);
        g->resize(700, 300);
        g->show();
        return g;
    }

    void clickHeader(DbGrid& g, int column) {
        QHeaderView* h = g.horizontalHeader();
        const int x = h->sectionViewportPosition(column) + h->sectionSize(column) / 2;
        QTest::mouseClick(h->viewport(), Qt::LeftButton, {}, QPoint(x, h->height() / 2));
    }

    void clickRow(DbGrid& g, int row, Qt::KeyboardModifiers modifiers = {}) {
        const QRect cell = g.visualRect(g.gridModel()->index(row, 1));
        QTest::mouseClick(g.viewport(), Qt::LeftButton, modifiers, cell.center());
    }

private slots:
    void init() {
        QVERIFY(m_dir.isValid());
        for (const QString& f : QDir(m_dir.path()).entryList(QDir::Files))
            QFile::remove(QDir(m_dir.path()).filePath(f));
        sample::makeRegister(m_dir.path());
        m_link.reset();
        m_table = std::make_unique<Table>();
        m_table->setFileName(file("tokens.dbf"));
        m_link = std::make_unique<DataLink>(m_table.get());
        m_messages = RecordingMessages();
        m_table->open();
    }

    void cleanup() {
        m_link.reset();
        m_table.reset();
    }

    void searchFindsByCardHolderAndCode_data() {
        QTest::addColumn<QString>("text");
        QTest::addColumn<QStringList>("found");
        QTest::newRow("card, first part") << "161" << QStringList{ivanov};
        QTest::newRow("card with its dot") << "7.08" << QStringList{petrova};
        QTest::newRow("holder, other case") << "ПЕТРОВА" << QStringList{petrova};
        QTest::newRow("holder, е finds ё") << "елкин" << QStringList{yolkin};
        QTest::newRow("holder, Е finds Ё") << "Елкин" << QStringList{yolkin};
        QTest::newRow("holder, е finds ё inside") << "федор" << QStringList{yolkin};
        QTest::newRow("holder, ё finds е") << "пётрова" << QStringList{petrova};
        QTest::newRow("holder, ё finds ё and е") << "пётр" << QStringList{petrova, sidorov};
        QTest::newRow("code, part in lower case") << "deadbeef" << QStringList{sidorov};
        QTest::newRow("code, part in upper case") << "66AB" << QStringList{petrova};
        QTest::newRow("in several rows") << "ов" << QStringList{ivanov, petrova, sidorov};
        QTest::newRow("blanks at the ends") << "  анна " << QStringList{petrova};
        QTest::newRow("not across two fields") << "45763иванов" << QStringList{};
        QTest::newRow("nothing") << "zzz" << QStringList{};
        QTest::newRow("only blanks: every row") << "   " << QStringList{ivanov, petrova, sidorov, yolkin};
    }
    void searchFindsByCardHolderAndCode() {
        QFETCH(QString, text);
        QFETCH(QStringList, found);
        auto g = keysGrid();
        QAbstractItemModelTester tester(g->gridModel(),
                                        QAbstractItemModelTester::FailureReportingMode::QtTest);
        GridSearch search(*g, QStringLiteral("Поиск ключа"), keySearchFields);
        search.edit()->setText(text); // keyClicks cannot send Cyrillic
        QCOMPARE(shownNames(*g), found);
    }

    void searchWhileTheRowsTextsAreStillBeingMade() {
        // Enough rows that their search texts take the idle time of several
        // turns of the event loop; a search or a changed row in the middle
        // sees every row as it is.
        QVector<QVector<QVariant>> rows;
        for (int i = 0; i < 60000; ++i)
            rows.append({QStringLiteral("%1").arg(i, 16, 16, QLatin1Char('0')),
                         QStringLiteral("%1.%2")
                             .arg(i / 1000, 3, 10, QLatin1Char('0'))
                             .arg(i % 1000, 5, 10, QLatin1Char('0')),
                         QStringLiteral("Держатель %1").arg(i), QDate(2024, 1, 1), 1});
        DbfFile::open(file("tokens.dbf"))->appendRecords(rows);
        m_table->close();
        m_table->open();
        auto g = keysGrid();
        GridSearch search(*g, QStringLiteral("Поиск ключа"), keySearchFields);
        QCoreApplication::processEvents(); // one turn: some rows have their texts
        m_table->setRecNo(10);             // among the rows with their texts made
        m_table->edit();
        m_table->setFieldValue("user_name", QStringLiteral("Последний"));
        m_table->post();
        search.edit()->setText(QStringLiteral("последний"));
        QCOMPARE(shownNames(*g), QStringList{QStringLiteral("Последний")});
        search.edit()->setText(QStringLiteral("держатель 5999"));
        QCOMPARE(g->gridModel()->rowCount(), 11); // 5999 and 59990..59999
        search.edit()->setText(QString());
        QTRY_COMPARE(g->gridModel()->rowCount(), m_table->recordCount());
    }

    void countLabelAndEscape() {
        auto g = keysGrid();
        GridSearch search(*g, QStringLiteral("Поиск ключа"), keySearchFields);
        search.show();
        QCOMPARE(search.edit()->placeholderText(), QStringLiteral("Поиск ключа"));
        QCOMPARE(search.edit()->accessibleName(), QStringLiteral("Поиск ключа"));
        QVERIFY(search.edit()->isClearButtonEnabled());
        QVERIFY(search.countLabel()->isHidden());
        QTest::keyClicks(search.edit(), "0");
        QVERIFY(search.countLabel()->isVisible());
        QCOMPARE(search.countLabel()->text(), QStringLiteral("Найдено 4 из 4"));
        search.edit()->clear();
        QTest::keyClicks(search.edit(), "d");
        QCOMPARE(search.countLabel()->text(), QStringLiteral("Найдено 2 из 4"));
        QTest::keyClicks(search.edit(), "e"); // "de": typing narrows
        QCOMPARE(search.countLabel()->text(), QStringLiteral("Найдено 1 из 4"));
        QCOMPARE(shownNames(*g), QStringList{sidorov});
        QTest::keyClick(search.edit(), Qt::Key_Backspace); // "d": widens again
        QCOMPARE(search.countLabel()->text(), QStringLiteral("Найдено 2 из 4"));
        QTest::keyClicks(search.edit(), "zz");
        QCOMPARE(search.countLabel()->text(), QStringLiteral("Найдено 0 из 4"));
        QTest::keyClick(search.edit(), Qt::Key_Escape);
        QCOMPARE(search.edit()->text(), QString());
        QVERIFY(search.countLabel()->isHidden());
        QCOMPARE(shownNames(*g), (QStringList{ivanov, petrova, sidorov, yolkin}));
    }

    void currentRowFollowsWhatIsShown() {
        auto g = keysGrid();
        GridSearch search(*g, QStringLiteral("Поиск ключа"), keySearchFields);
        m_table->setRecNo(2); // Сидоров
        search.edit()->setText(QStringLiteral("ов"));
        QCOMPARE(m_table->recNo(), 2); // still shown: stays current
        QCOMPARE(g->currentIndex().row(), 2);
        search.edit()->setText(QStringLiteral("анна"));
        QCOMPARE(m_table->recNo(), 1); // hidden: the first row shown becomes current
        QCOMPARE(g->currentIndex().row(), 0);
        QVERIFY(!g->currentHidden());

        // Nothing shown: no current row in the grid, and Ctrl+Delete asks
        // nothing and deletes nothing (the dataset's row is hidden).
        search.edit()->setText(QStringLiteral("zzz"));
        QVERIFY(g->currentHidden());
        QVERIFY(!g->currentIndex().isValid());
        QVERIFY(g->rowsToDelete().isEmpty());
        QTest::keyClick(g.get(), Qt::Key_Delete, Qt::ControlModifier);
        QVERIFY(m_messages.shown.isEmpty());
        QCOMPARE(namesOnDisk().size(), 4);

        // A click in the grid moves the dataset to the row shown there.
        search.edit()->setText(QStringLiteral("ов"));
        clickRow(*g, 2);
        QCOMPARE(m_table->asString("user_name"), sidorov);
        search.edit()->clear();
        QCOMPARE(g->currentIndex().row(), 2);
        QCOMPARE(m_table->recNo(), 2);
    }

    void aFollowingGridShowsNothingWhileTheMastersRowIsHidden() {
        auto master = keysGrid();
        GridSearch search(*master, QStringLiteral("Поиск ключа"), keySearchFields);
        Table ctrl;
        ctrl.setFileName(file("ctrl.dbf"));
        ctrl.open();
        DataLink ctrlLink(&ctrl);
        DbGrid detail(ctrlLink, {{"ctrl_name", "Наименование"}}, {}, m_messages);
        detail.followShownRowOf(*master);
        QCOMPARE(detail.gridModel()->rowCount(), 3);
        search.edit()->setText(QStringLiteral("zzz"));
        QCOMPARE(detail.gridModel()->rowCount(), 0);
        QVERIFY(detail.currentHidden());
        search.edit()->setText(QStringLiteral("анна"));
        QCOMPARE(detail.gridModel()->rowCount(), 3);
    }

    void headerSortsBothWaysAndTheCurrentRowStays_data() {
        QTest::addColumn<int>("column");
        QTest::addColumn<QStringList>("ascending");
        QTest::addColumn<QStringList>("descending");
        // "Ё" sorts with "Е", before "И"; an empty date first; equal cells
        // (the two kinds of status) keep the file's order both ways.
        QTest::newRow("holder") << 1 << QStringList{yolkin, ivanov, petrova, sidorov}
                                << QStringList{sidorov, petrova, ivanov, yolkin};
        QTest::newRow("card") << 0 << QStringList{yolkin, petrova, ivanov, sidorov}
                              << QStringList{sidorov, ivanov, petrova, yolkin};
        QTest::newRow("date") << 3 << QStringList{yolkin, petrova, ivanov, sidorov}
                              << QStringList{sidorov, ivanov, petrova, yolkin};
        QTest::newRow("status as shown") << 2 << QStringList{ivanov, sidorov, petrova, yolkin}
                                         << QStringList{petrova, yolkin, ivanov, sidorov};
    }
    void headerSortsBothWaysAndTheCurrentRowStays() {
        QFETCH(int, column);
        QFETCH(QStringList, ascending);
        QFETCH(QStringList, descending);
        auto g = keysGrid();
        QAbstractItemModelTester tester(g->gridModel(),
                                        QAbstractItemModelTester::FailureReportingMode::QtTest);
        m_table->setRecNo(2);
        clickHeader(*g, column);
        QCOMPARE(shownNames(*g), ascending);
        QCOMPARE(g->horizontalHeader()->sortIndicatorSection(), column);
        QCOMPARE(g->horizontalHeader()->sortIndicatorOrder(), Qt::AscendingOrder);
        QCOMPARE(m_table->recNo(), 2);
        QCOMPARE(g->currentIndex().row(), ascending.indexOf(sidorov));
        clickHeader(*g, column);
        QCOMPARE(shownNames(*g), descending);
        QCOMPARE(g->horizontalHeader()->sortIndicatorOrder(), Qt::DescendingOrder);
        QCOMPARE(g->currentIndex().row(), descending.indexOf(sidorov));
        // The file's order is untouched.
        QCOMPARE(m_table->value(0, m_table->fieldIndex("user_name")).toString(), ivanov);
        QCOMPARE(namesOnDisk(), (QStringList{ivanov, petrova, sidorov, yolkin}));
    }

    // Numbers sort by value (3, 5, 10), not as text (10, 3, 5).
    void numbersSortByValue() {
        Table ctrl;
        ctrl.setFileName(file("ctrl.dbf"));
        ctrl.open();
        DataLink link(&ctrl);
        GridModel model(link, {{"ctrl_name", "Наименование"}, {"open_time", "Время открывания"}});
        model.sort(1, Qt::AscendingOrder);
        QStringList times;
        for (int r = 0; r < model.rowCount(); ++r)
            times << model.index(r, 1).data().toString();
        QCOMPARE(times, (QStringList{"3", "5", "10"}));
    }

    void ctrlDeleteUnderSortAndSearchDeletesTheRowsSelected() {
        auto g = keysGrid();
        GridSearch search(*g, QStringLiteral("Поиск ключа"), keySearchFields);
        clickHeader(*g, 1); // Ёлкин, Иванов, Петрова, Сидоров
        clickRow(*g, 0);
        clickRow(*g, 2, Qt::ControlModifier);
        ctrlDelete(*g);
        QCOMPARE(namesOnDisk(), (QStringList{ivanov, sidorov}));
        QCOMPARE(shownNames(*g), (QStringList{ivanov, sidorov}));

        // Under a search the current row alone: the one shown, not the row
        // at the same place in the file.
        search.edit()->setText(QStringLiteral("сидоров"));
        QCOMPARE(g->gridModel()->rowCount(), 1);
        clickRow(*g, 0);
        m_messages.shown.clear();
        ctrlDelete(*g);
        QCOMPARE(m_messages.shown.size(), 1);
        QCOMPARE(m_messages.shown[0].text, QStringLiteral("Delete record?"));
        QCOMPARE(namesOnDisk(), QStringList{ivanov});
        QCOMPARE(search.countLabel()->text(), QStringLiteral("Найдено 0 из 1"));
    }

    void rowsEditedOrAddedWhileSearchingAndSorted() {
        auto g = keysGrid();
        QAbstractItemModelTester tester(g->gridModel(),
                                        QAbstractItemModelTester::FailureReportingMode::QtTest);
        GridSearch search(*g, QStringLiteral("Поиск ключа"), keySearchFields);
        clickHeader(*g, 1);
        clickHeader(*g, 1); // holder, descending
        search.edit()->setText(QStringLiteral("ов"));
        QCOMPARE(shownNames(*g), (QStringList{sidorov, petrova, ivanov}));

        // An edit shows while it is typed, where the row stands...
        m_table->setRecNo(1);
        m_table->edit();
        m_table->setFieldValue("user_name", QStringLiteral("Абрамова Анна"));
        QCOMPARE(shownNames(*g), (QStringList{sidorov, "Абрамова Анна", ivanov}));
        // ...and the post sorts it in, still matching.
        m_table->post();
        QCOMPARE(shownNames(*g), (QStringList{sidorov, ivanov, "Абрамова Анна"}));
        QCOMPARE(g->gridModel()->sourceRow(g->currentIndex().row()), m_table->recNo());

        // No longer matching after the post: hidden.
        m_table->edit();
        m_table->setFieldValue("user_name", QStringLiteral("Белых Анна"));
        m_table->post();
        QCOMPARE(shownNames(*g), (QStringList{sidorov, ivanov}));
        QCOMPARE(search.countLabel()->text(), QStringLiteral("Найдено 2 из 4"));

        // A row added that matches is shown in its place; one that does not is not.
        m_table->append();
        m_table->setFieldValue("token_code", QStringLiteral("0100000000000AAA"));
        m_table->setFieldValue("user_name", QStringLiteral("Козлов Олег"));
        m_table->post();
        m_table->append();
        m_table->setFieldValue("token_code", QStringLiteral("0100000000000BBB"));
        m_table->setFieldValue("user_name", QStringLiteral("Ким Юлия"));
        m_table->post();
        QCOMPARE(shownNames(*g), (QStringList{sidorov, "Козлов Олег", ivanov}));
        QCOMPARE(search.countLabel()->text(), QStringLiteral("Найдено 3 из 6"));
    }

    // Texts of ASCII and Cyrillic letters are searched one byte a character,
    // others (here signs of the file's code page beyond them) in UTF-16: a
    // search finds the same either way, a row changing from one to the other
    // included, and without search or sort every row shows in file order.
    void searchFindsTextsWithAndWithoutSignsBeyondTheLetters() {
        const QString numbered = QStringLiteral("Кузнецов №5");
        const QString degrees = QStringLiteral("Ёлкина Мария °");
        for (const QString& name : {numbered, degrees}) {
            m_table->append();
            m_table->setFieldValue(
                "token_code", QStringLiteral("01000000000%1").arg(qHash(name) % 100000, 5, 10, QChar(u'0')));
            m_table->setFieldValue("user_name", name);
            m_table->post();
        }
        auto g = keysGrid();
        QAbstractItemModelTester tester(g->gridModel(),
                                        QAbstractItemModelTester::FailureReportingMode::QtTest);
        GridSearch search(*g, QStringLiteral("Поиск ключа"), keySearchFields);
        const QStringList everyRow{ivanov, petrova, sidorov, yolkin, numbered, degrees};
        QCOMPARE(shownNames(*g), everyRow);
        const struct {
            QString text;
            QStringList found;
        } cases[] = {
            {"ов", {ivanov, petrova, sidorov, numbered}}, // letters: in both kinds of row
            {"№5", {numbered}},                           // a sign: only where it is
            {"ецов №", {numbered}},
            {"ёлки", {yolkin, degrees}},
            {"мария °", {degrees}},
            {"°", {degrees}},
            {"№", {numbered}},
        };
        for (const auto& c : cases) {
            search.edit()->setText(c.text);
            QCOMPARE(shownNames(*g), c.found);
        }
        // The row with "№" edited to letters only and back, under a search.
        search.edit()->setText(QStringLiteral("кузнецов"));
        m_table->setRecNo(4);
        m_table->edit();
        m_table->setFieldValue("user_name", QStringLiteral("Кузнецов Пятый"));
        m_table->post();
        search.edit()->setText(QStringLiteral("№"));
        QCOMPARE(shownNames(*g), QStringList{});
        search.edit()->setText(QStringLiteral("кузнецов п"));
        QCOMPARE(shownNames(*g), QStringList{"Кузнецов Пятый"});
        m_table->edit();
        m_table->setFieldValue("user_name", numbered);
        m_table->post();
        search.edit()->setText(QStringLiteral("№5"));
        QCOMPARE(shownNames(*g), QStringList{numbered});
        // Sorted, then back to no sort and no search: every row in file order.
        search.edit()->setText(QString());
        clickHeader(*g, 1);
        QCOMPARE(shownNames(*g).size(), everyRow.size());
        g->gridModel()->sort(-1, Qt::AscendingOrder);
        QCOMPARE(shownNames(*g), everyRow);
        QCOMPARE(g->gridModel()->shownRow(5), 5);
        QCOMPARE(g->gridModel()->sourceRow(6), -1);
    }

private:
    void ctrlDelete(DbGrid& g) { QTest::keyClick(&g, Qt::Key_Delete, Qt::ControlModifier); }
};

QTEST_MAIN(GridSearchTests)
#include "grid_search_tests.moc"
