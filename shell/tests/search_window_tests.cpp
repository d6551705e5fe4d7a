// The two search fields of the main window over the sample register: where
// they stand, what follows them, and the operations that refuse a current
// row the search hides.

#include "core/port_numbers.h"
#include "core/recording_messages.h"
#include "register/table.h"
#include "register/ui/db_grid.h"
#include "register/ui/grid_search.h"
#include "register/ui/status_delegate.h"
#include "register/ui/tests/grid_sample_register.h"
#include "register/varek_register.h"
#include "shell/t_vareklocal.h"
#include "shell/tests/window_home.h"

#include <QApplication>
#include <QDialog>
#include <QLabel>
#include <QLineEdit>
#include <QTemporaryDir>
#include <QtTest>

using namespace varek;

namespace {

QStringList columnTexts(DbGrid* grid, int column) {
    QStringList out;
    for (int r = 0; r < grid->gridModel()->rowCount(); ++r)
        out << StatusDelegate::cellText(grid->gridModel()->index(r, column));
    return out;
}

int rowsOnDisk(const QString& file) {
    Table t;
    t.setFileName(file);
    t.open();
    return t.recordCount();
}

} // namespace

class SearchWindowTests : public QObject {
    Q_OBJECT

private:
    std::unique_ptr<WindowHome> m_home;
    RecordingMessages m_messages;

    QString data() const { return m_home->data(); }
    std::unique_ptr<TTVarekLocal> started() { return m_home->started(m_messages); }

private slots:
    void init() {
        m_home = std::make_unique<WindowHome>();
        QVERIFY(m_home->isValid());
        m_messages = RecordingMessages();
    }

    void cleanup() { m_home.reset(); }

    void keySearchStandsAboveTheKeysGridAndTheRightsFollow() {
        auto w = started();
        GridSearch* search = w->keySearch();
        QVERIFY(search);
        QCOMPARE(search->edit()->accessibleName(), QStringLiteral("Поиск ключа"));
        QCOMPARE(search->edit()->placeholderText(), QStringLiteral("Поиск ключа"));
        QCOMPARE(&search->grid(), w->DBGrid3());
        QVERIFY(search->mapTo(w.get(), QPoint(0, 0)).y() < w->DBGrid3()->mapTo(w.get(), QPoint(0, 0)).y());
        QVERIFY(search->countLabel()->isHidden());
        auto* laCount = w->findChild<QLabel*>(QStringLiteral("laCount"));
        QCOMPARE(laCount->text(), QStringLiteral("Всего 4"));

        search->edit()->setText(QStringLiteral("сидоров"));
        QCOMPARE(columnTexts(w->DBGrid3(), 1), QStringList{"Сидоров Пётр"});
        QCOMPARE(w->reg().taTokens().asString("user_name"), QStringLiteral("Сидоров Пётр"));
        QCOMPARE(columnTexts(w->gridAccess(), 1), QStringList{"Ворота"});
        QCOMPARE(search->countLabel()->text(), QStringLiteral("Найдено 1 из 4"));
        QCOMPARE(laCount->text(), QStringLiteral("Всего 4")); // the total stays as it is

        // Nothing found: no rights shown, and the key operations refuse the
        // hidden current key instead of acting on it.
        search->edit()->setText(QStringLiteral("нет такого"));
        QCOMPARE(w->gridAccess()->gridModel()->rowCount(), 0);
        QCOMPARE(search->countLabel()->text(), QStringLiteral("Найдено 0 из 4"));
        bool editorOpened = false;
        QTimer::singleShot(1000, this, [&] {
            if (auto* d = qobject_cast<QDialog*>(QApplication::activeModalWidget())) {
                editorOpened = true;
                d->reject();
            }
        });
        w->ToolButton8Click(); // "Изменить..."
        QVERIFY(!editorOpened);
        w->ToolButton12Click(); // "Удалить ключ"
        QCOMPARE(m_messages.shown.size(), 2);
        for (const RecordingMessages::Shown& s : std::as_const(m_messages.shown)) {
            QCOMPARE(s.kind, RecordingMessages::Shown::Plain);
            QVERIFY2(s.text.startsWith(QStringLiteral("Ключ не выбран: ни один ключ не подходит под условие "
                                                      "поиска.")),
                     qPrintable(s.text));
            QVERIFY(s.text.contains(QStringLiteral("«Поиск ключа»")));
        }
        QCOMPARE(rowsOnDisk(data() + "tokens.dbf"), 4);

        // Escape shows every key again, the last found one still current.
        QTest::keyClick(search->edit(), Qt::Key_Escape);
        QCOMPARE(w->DBGrid3()->gridModel()->rowCount(), 4);
        QVERIFY(search->countLabel()->isHidden());
        QCOMPARE(w->reg().taTokens().asString("user_name"), QStringLiteral("Сидоров Пётр"));
        QCOMPARE(columnTexts(w->gridAccess(), 1), QStringList{"Ворота"});
    }

    void objectSearchAndTheGridsUnderIt() {
        auto w = started();
        GridSearch* search = w->objectSearch();
        QVERIFY(search);
        QCOMPARE(search->edit()->accessibleName(), QStringLiteral("Поиск объекта"));
        QCOMPARE(&search->grid(), w->DBGrid2());

        search->edit()->setText(QStringLiteral("мира")); // the address of "Склад №2"
        QCOMPARE(columnTexts(w->DBGrid2(), 0), QStringList{"Склад №2"});
        QCOMPARE(columnTexts(w->DBGrid1(), 0), QStringList{"Ворота"});
        QCOMPARE(search->countLabel()->text(), QStringLiteral("Найдено 1 из 2"));
        search->edit()->setText(QStringLiteral("двора")); // the note of "Главный корпус"
        QCOMPARE(columnTexts(w->DBGrid1(), 0), (QStringList{"Главный вход", "Серверная"}));
        QVERIFY(w->DBGrid4()->gridModel()->rowCount() > 0);

        // Nothing found: the controllers and their keys are not shown, and
        // the operations on the current object and its controllers refuse.
        search->edit()->setText(QStringLiteral("нет такого"));
        QCOMPARE(w->DBGrid1()->gridModel()->rowCount(), 0);
        QCOMPARE(w->DBGrid4()->gridModel()->rowCount(), 0);
        w->bbDelClick();
        w->BtnSetTabsClick();
        QCOMPARE(m_messages.texts(RecordingMessages::Shown::Plain).size(), 2);
        QVERIFY(m_messages.texts(RecordingMessages::Shown::Plain)[0].startsWith(
            QStringLiteral("Объект не выбран: ни один объект не подходит под условие поиска.")));
        QCOMPARE(m_messages.shown.size(), 2); // nothing asked
        QCOMPARE(rowsOnDisk(data() + "obj.dbf"), 2);
        QCOMPARE(rowsOnDisk(data() + "ctrl.dbf"), 3);

        search->edit()->clear();
        QCOMPARE(w->DBGrid2()->gridModel()->rowCount(), 2);
        QCOMPARE(columnTexts(w->DBGrid1(), 0), (QStringList{"Главный вход", "Серверная"}));
    }
};

QTEST_MAIN(SearchWindowTests)
#include "search_window_tests.moc"
