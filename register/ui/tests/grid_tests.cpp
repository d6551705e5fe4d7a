#include "core/recording_messages.h"
#include "register/data_link.h"
#include "register/table.h"
#include "register/ui/db_grid.h"
#include "register/ui/grid_model.h"
#include "register/ui/status_delegate.h"
#include "register/ui/tests/grid_sample_register.h"

#include <QAbstractItemModelTester>
#include <QAccessible>
#include <QTemporaryDir>
#include <QtTest>

using namespace varek;

namespace {

const QList<GridColumn> keyColumns = {{QStringLiteral("TOKEN_CARD"), QStringLiteral("Жетон")},
                                      {QStringLiteral("user_name"), QStringLiteral("Пользователь")},
                                      {QStringLiteral("Status"), QStringLiteral("Статус")},
                                      {QStringLiteral("give_date"), QStringLiteral("Выдан")},
                                      {QStringLiteral("token_code"), QStringLiteral("Код Dallas")}};

} // namespace

class GridTests : public QObject {
    Q_OBJECT

private:
    QTemporaryDir m_dir;
    std::unique_ptr<Table> m_table;
    std::unique_ptr<DataLink> m_link;
    RecordingMessages m_messages;

    QString keysFile() const { return QDir(m_dir.path()).filePath("tokens.dbf"); }

    int rowsOnDisk() {
        Table t;
        t.setFileName(keysFile());
        t.open();
        return t.recordCount();
    }

    std::unique_ptr<DbGrid> grid(DbGrid::Options options) {
        auto g = std::make_unique<DbGrid>(*m_link, keyColumns, options, m_messages);
        g->resize(600, 300);
        g->show();
        return g;
    }

    void ctrlDelete(QWidget* w) { QTest::keyClick(w, Qt::Key_Delete, Qt::ControlModifier); }

private slots:
    void init() {
        QVERIFY(m_dir.isValid());
        for (const QString& f : QDir(m_dir.path()).entryList(QDir::Files))
            QFile::remove(QDir(m_dir.path()).filePath(f));
        sample::makeRegister(m_dir.path());
        m_link.reset();
        m_table = std::make_unique<Table>();
        m_table->setFileName(keysFile());
        m_link = std::make_unique<DataLink>(m_table.get());
        m_messages = RecordingMessages();
    }

    void cleanup() {
        m_link.reset();
        m_table.reset();
    }

    void modelShowsTheFieldsWithTitlesDatesAndNulls() {
        GridModel model(*m_link, keyColumns);
        QAbstractItemModelTester tester(&model, QAbstractItemModelTester::FailureReportingMode::QtTest);
        QCOMPARE(model.rowCount(), 0); // closed
        QCOMPARE(model.columnCount(), 5);
        m_table->open();
        QCOMPARE(model.rowCount(), 4);
        QCOMPARE(model.headerData(1, Qt::Horizontal).toString(), QStringLiteral("Пользователь"));
        QCOMPARE(model.headerData(2, Qt::Horizontal, GridModel::FieldNameRole).toString(),
                 QStringLiteral("Status"));
        QCOMPARE(model.index(0, 0).data().toString(), QStringLiteral("161.45763"));
        QCOMPARE(model.index(0, 1).data().toString(), QStringLiteral("Иванов Иван Иванович"));
        QCOMPARE(model.index(0, 3).data().toString(), QStringLiteral("05.03.2024"));
        QCOMPARE(model.index(3, 3).data().toString(), QString()); // null date
        QVERIFY(!model.index(3, 2).data(GridModel::FieldValueRole).isValid());
        QCOMPARE(model.columnOfField("USER_NAME"), 1);
        QVERIFY(!(model.flags(model.index(0, 0)) & Qt::ItemIsEditable));

        // Appending, posting, deleting and closing under the model checker.
        m_table->append();
        m_table->setFieldValue("token_code", QStringLiteral("0100000000000AAA"));
        m_table->setFieldValue("user_name", QStringLiteral("Новый"));
        m_table->post();
        QCOMPARE(model.rowCount(), 5);
        m_table->setRecNo(0);
        m_table->deleteRecord();
        QCOMPARE(model.rowCount(), 4);
        m_table->close();
        QCOMPARE(model.rowCount(), 0);
    }

    void suspendedLinkFreezesTheModelUntilResumed() {
        GridModel model(*m_link, keyColumns);
        QAbstractItemModelTester tester(&model, QAbstractItemModelTester::FailureReportingMode::QtTest);
        m_table->open();
        m_link->suspend();
        m_table->setRecNo(3);
        m_table->deleteRecord();
        QCOMPARE(model.rowCount(), 4);                // not announced while suspended
        QVERIFY(!model.index(3, 1).data().isValid()); // the gone row reads as empty, not out of range
        m_link->resume();
        QCOMPARE(model.rowCount(), 3);
    }

    void statusTexts_data() {
        QTest::addColumn<QVariant>("status");
        QTest::addColumn<QString>("text");
        QTest::newRow("1") << QVariant(1) << QStringLiteral("доступ");
        QTest::newRow("0") << QVariant(0) << QStringLiteral("мастер-ключ");
        QTest::newRow("2") << QVariant(2) << QStringLiteral("доступ");
        QTest::newRow("-1") << QVariant(-1) << QStringLiteral("доступ");
        QTest::newRow("qint64 0") << QVariant(qint64(0)) << QStringLiteral("мастер-ключ");
        QTest::newRow("null") << QVariant() << QStringLiteral("мастер-ключ");
    }
    void statusTexts() {
        QFETCH(QVariant, status);
        QFETCH(QString, text);
        QCOMPARE(StatusDelegate::statusText(status), text);
    }

    void statusColumnDrawnAsTextOnlyInTheStatusColumn() {
        m_table->open();
        auto g = grid({});
        const GridModel* model = g->gridModel();
        const QStringList expected = {"доступ", "мастер-ключ", "доступ", "мастер-ключ"};
        for (int row = 0; row < 4; ++row)
            QCOMPARE(StatusDelegate::cellText(model->index(row, 2)), expected[row]);
        QCOMPARE(StatusDelegate::cellText(model->index(0, 1)), QStringLiteral("Иванов Иван Иванович"));
    }

    // A screen reader hears the status cell as it is drawn, not the number.
    void statusCellsAccessibleTextIsTheDrawnText() {
        m_table->open();
        auto g = grid({});
        QAccessibleInterface* table = QAccessible::queryAccessibleInterface(g.get());
        QVERIFY(table && table->tableInterface());
        for (int row = 0; row < 4; ++row) {
            for (int column = 0; column < g->gridModel()->columnCount(); ++column) {
                QAccessibleInterface* cell = table->tableInterface()->cellAt(row, column);
                QVERIFY(cell);
                QCOMPARE(cell->text(QAccessible::Name),
                         StatusDelegate::cellText(g->gridModel()->index(row, column)));
            }
        }
        QCOMPARE(table->tableInterface()->cellAt(1, 2)->text(QAccessible::Name),
                 QStringLiteral("мастер-ключ"));
    }

    void gridAndDatasetFollowEachOther() {
        m_table->open();
        auto g = grid({.rowSelect = true, .multiSelect = true, .keepHighlight = true, .tableGrid = true});
        QCOMPARE(g->currentIndex().row(), 0);
        // A click moves the dataset.
        const QRect cell = g->visualRect(g->gridModel()->index(2, 1));
        QTest::mouseClick(g->viewport(), Qt::LeftButton, {}, cell.center());
        QCOMPARE(m_table->recNo(), 2);
        // A move of the dataset moves the grid.
        m_table->setRecNo(1);
        QCOMPARE(g->currentIndex().row(), 1);
        // Not while the link is suspended; resuming catches up.
        m_link->suspend();
        m_table->setRecNo(3);
        QCOMPARE(g->currentIndex().row(), 1);
        m_link->resume();
        QCOMPARE(g->currentIndex().row(), 3);
        // The keyboard moves the dataset too.
        QTest::keyClick(g.get(), Qt::Key_Up);
        QCOMPARE(m_table->recNo(), 2);
    }

    void ctrlDeleteAsksAndDeletesCurrentOrSelectedRows_data() {
        QTest::addColumn<QList<int>>("clicked"); // rows clicked, the later ones with Ctrl
        QTest::addColumn<bool>("answer");
        QTest::addColumn<QString>("question");
        QTest::addColumn<QStringList>("remaining"); // user names left, in order
        const QStringList all = {"Иванов Иван Иванович", "Петрова Анна", "Сидоров Пётр", "Ёлкин Фёдор"};
        QTest::newRow("current row") << QList<int>{1} << true << "Delete record?"
                                     << QStringList{all[0], all[2], all[3]};
        QTest::newRow("selected rows")
            << QList<int>{0, 2, 3} << true << "Delete all selected records?" << QStringList{all[1]};
        QTest::newRow("cancelled") << QList<int>{0, 2} << false << "Delete all selected records?" << all;
    }
    void ctrlDeleteAsksAndDeletesCurrentOrSelectedRows() {
        QFETCH(QList<int>, clicked);
        QFETCH(bool, answer);
        QFETCH(QString, question);
        QFETCH(QStringList, remaining);
        m_table->open();
        auto g = grid({.rowSelect = true, .multiSelect = true, .keepHighlight = true, .tableGrid = true});
        for (int i = 0; i < clicked.size(); ++i) {
            const QRect cell = g->visualRect(g->gridModel()->index(clicked[i], 1));
            QTest::mouseClick(g->viewport(), Qt::LeftButton, i ? Qt::ControlModifier : Qt::NoModifier,
                              cell.center());
        }
        m_messages.confirmAnswers = {answer};
        ctrlDelete(g.get());
        QCOMPARE(m_messages.shown.size(), 1);
        QCOMPARE(m_messages.shown[0].kind, RecordingMessages::Shown::Confirm);
        QCOMPARE(m_messages.shown[0].caption, QStringLiteral("Confirm"));
        QCOMPARE(m_messages.shown[0].text, question);
        QStringList names;
        for (int r = 0; r < g->gridModel()->rowCount(); ++r)
            names << g->gridModel()->index(r, 1).data().toString();
        QCOMPARE(names, remaining);
        QCOMPARE(rowsOnDisk(), remaining.size());
    }

    void ctrlDeleteUsesTheRowDeleterAndIgnoresEmptyTablesAndViewGrids() {
        m_table->open();
        auto g = grid({.rowSelect = false, .multiSelect = false, .keepHighlight = false, .tableGrid = true});
        QStringList deleted;
        g->setRowDeleter([&] {
            deleted << m_table->asString("user_name");
            m_table->deleteRecord();
        });
        m_table->setRecNo(2);
        ctrlDelete(g.get());
        QCOMPARE(deleted, QStringList{"Сидоров Пётр"});

        // An empty table: nothing is asked.
        while (!m_table->isEmpty())
            m_table->deleteRecord();
        m_messages.clear();
        ctrlDelete(g.get());
        QVERIFY(m_messages.shown.isEmpty());

        // A grid over a view does nothing either.
        m_table->close();
        sample::makeRegister(m_dir.path() + "/other");
        Table other;
        other.setFileName(m_dir.path() + "/other/tokens.dbf");
        other.open();
        DataLink link(&other);
        DbGrid viewGrid(link, keyColumns, {.rowSelect = true, .multiSelect = true}, m_messages);
        viewGrid.show();
        ctrlDelete(&viewGrid);
        QVERIFY(m_messages.shown.isEmpty());
        QCOMPARE(other.recordCount(), 4);
    }
};

QTEST_MAIN(GridTests)
#include "grid_tests.moc"
