// The register's backups through the window: the two buttons on the settings
// page save a copy and restore it, and the grids show the restored rows.
#include "core/port_numbers.h"
#include "core/recording_messages.h"
#include "register/table.h"
#include "register/ui/db_grid.h"
#include "register/ui/grid_model.h"
#include "register/ui/tests/grid_sample_register.h"
#include "register/varek_register.h"
#include "shell/t_vareklocal.h"

#include <QLabel>
#include <QTabWidget>
#include <QTemporaryDir>
#include <QToolButton>
#include <QtTest>

using namespace varek;

class BackupWindowTests : public QObject {
    Q_OBJECT

private slots:
    void saveAndRestoreThroughTheButtons() {
        QTemporaryDir home;
        qputenv("VAREK_HOME", home.path().toUtf8());
        ComZintor = 0;
        ComToken = 0;
        const QString data = home.filePath("Data/");
        sample::makeRegister(data);
        QVERIFY(QDir().mkpath(home.filePath("copies")));
        const QString archive = home.filePath("copies/monday.tar.gz");

        RecordingMessages messages;
        TTVarekLocal w(&messages);
        QVERIFY(w.FormCreate());
        w.show();
        w.pageControl()->setCurrentIndex(3);
        auto* save = w.findChild<QToolButton*>("tbBackup");
        auto* restore = w.findChild<QToolButton*>("tbRestore");
        QVERIFY(save && restore);
        QVERIFY(w.findChild<QWidget*>("TabSheet2")->isAncestorOf(save));
        QCOMPARE(save->accessibleName(), QStringLiteral("Создать резервную копию"));
        QCOMPARE(restore->toolTip(), QStringLiteral("Восстановить из копии"));
        QVERIFY(save->icon().pixmap(24, 24).toImage() != restore->icon().pixmap(24, 24).toImage());

        messages.fileAnswers = {archive};
        save->click();
        QVERIFY2(QFile::exists(archive),
                 qPrintable(messages.texts(RecordingMessages::Shown::Error).join("\n")));
        QVERIFY(messages.lastInitialDir.startsWith(home.path() + "/varek-"));
        QVERIFY(messages.texts(RecordingMessages::Shown::Plain).join("").contains(archive));

        // The operator adds an object after the copy was taken.
        DurableUnit::run(w.reg(), [&] {
            Table& obj = w.reg().taObj();
            obj.append();
            obj.setFieldValue("obj_num", 3);
            obj.setFieldValue("obj_name", QStringLiteral("Гараж"));
            obj.post();
        });
        QCOMPARE(w.DBGrid2()->gridModel()->rowCount(), 3);

        messages = RecordingMessages();
        messages.fileAnswers = {archive};
        messages.questionAnswers = {true};
        restore->click();
        QCOMPARE(messages.texts(RecordingMessages::Shown::Error), QStringList());
        const QStringList questions = messages.texts(RecordingMessages::Shown::Question);
        QCOMPARE(questions.size(), 1);
        QVERIFY2(questions[0].contains("объектов: 2, контроллеров: 3, ключей: 4"), qPrintable(questions[0]));
        QCOMPARE(w.DBGrid2()->gridModel()->rowCount(), 2);
        QCOMPARE(w.DBGrid3()->gridModel()->rowCount(), 4);
        QCOMPARE(w.DBGrid1()->gridModel()->rowCount(), 2); // the first object's controllers
        QCOMPARE(w.findChild<QLabel*>("laCount")->text(), QStringLiteral("Всего 4"));
        QCOMPARE(QDir(home.filePath("copies")).entryList({"varek-before-restore-*.tar.gz"}).size(), 1);
        w.close();
    }
};

QTEST_MAIN(BackupWindowTests)
#include "backup_window_tests.moc"
