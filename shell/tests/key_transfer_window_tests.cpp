// The keys page's "Экспорт ключей в CSV" and "Импорт ключей из CSV" through the
// real window offscreen, over the sample register; the file choice is scripted.

#include "core/port_numbers.h"
#include "core/recording_messages.h"
#include "dbase/dbf.h"
#include "register/table.h"
#include "register/ui/db_grid.h"
#include "register/ui/grid_model.h"
#include "register/ui/grid_search.h"
#include "register/ui/tests/grid_sample_register.h"
#include "register/varek_register.h"
#include "shell/t_vareklocal.h"
#include "shell/tests/window_home.h"
#include "transfer/ui/import_preview.h"

#include <QApplication>
#include <QFile>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTimer>
#include <QToolButton>
#include <QtTest>

using namespace varek;

class KeyTransferWindowTests : public QObject {
    Q_OBJECT

    std::unique_ptr<WindowHome> m_home;
    RecordingMessages m_messages;

    QString data() const { return m_home->data(); }

private slots:
    void init() {
        m_home = std::make_unique<WindowHome>();
        QVERIFY(m_home->isValid());
        m_messages = RecordingMessages();
    }
    void cleanup() { m_home.reset(); }

    void exportThenImportThroughTheToolbar() {
        sample::makeRegister(data());
        TTVarekLocal w(&m_messages);
        QVERIFY(w.FormCreate());
        w.show();

        const QString out = m_home->filePath(QStringLiteral("keys.csv"));
        m_messages.fileAnswers << out;
        QTest::mouseClick(w.findChild<QToolButton*>(QStringLiteral("tbExportKeys")), Qt::LeftButton);
        QCOMPARE(m_messages.texts(RecordingMessages::Shown::Plain),
                 QStringList{QStringLiteral("Выгружено ключей: 4 в файл %1").arg(out)});
        QFile exported(out);
        QVERIFY(exported.open(QIODevice::ReadOnly));
        const QString text = QString::fromUtf8(exported.readAll());
        QVERIFY(
            text.contains(QStringLiteral("161.45763,Иванов Иван Иванович,05.03.2024,доступ,01A1B2C3D4E5F601,"
                                         "Главный корпус / Главный вход; Главный корпус / Серверная\r\n")));

        // A new key for the gate, and the first key's holder renamed.
        const QString in = m_home->filePath(QStringLiteral("import.csv"));
        QFile file(in);
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write(QStringLiteral("\xFEFFКод Dallas,Пользователь,Статус,Контроллеры\r\n"
                                  "01FFFFFFFFFF001A,Новиков Олег,доступ,Склад №2 / Ворота\r\n")
                       .toUtf8());
        file.close();
        m_messages.clear();
        m_messages.fileAnswers << in;
        QString counts;
        QTimer::singleShot(0, [&counts] {
            auto* preview = qobject_cast<ImportPreviewDialog*>(QApplication::activeModalWidget());
            if (!preview) return;
            counts = preview->countsLabel()->text();
            QTest::mouseClick(preview->applyButton(), Qt::LeftButton);
        });
        QTest::mouseClick(w.findChild<QToolButton*>(QStringLiteral("tbImportKeys")), Qt::LeftButton);
        QCOMPARE(counts, QStringLiteral("Добавить: 1, изменить: 0, отклонено: 0"));
        QCOMPARE(m_messages.texts(RecordingMessages::Shown::Plain),
                 QStringList{QStringLiteral("Применено: добавлено 1, изменено 0.")});
        QVERIFY(m_messages.texts(RecordingMessages::Shown::Error).isEmpty());

        // On disk, in the grid and in the count under it.
        QCOMPARE(DbfFile::open(data() + QStringLiteral("tokens.dbf"))->recordCount(), 5u);
        QCOMPARE(DbfFile::open(data() + QStringLiteral("tc.dbf"))->recordCount(), 5u);
        QCOMPARE(w.DBGrid3()->gridModel()->rowCount(), 5);
        QCOMPARE(w.findChild<QLabel*>(QStringLiteral("laCount"))->text(), QStringLiteral("Всего 5"));
        QVERIFY(!w.reg().unitOpen());
    }

    // With a search on, the keys the grid shows go to the file, and nothing
    // shown is refused rather than taken for "all".
    void exportTakesTheKeysTheSearchShows() {
        sample::makeRegister(data());
        TTVarekLocal w(&m_messages);
        QVERIFY(w.FormCreate());
        w.show();
        w.keySearch()->edit()->setText(QStringLiteral("ов")); // Иванов, Петрова, Сидоров

        const QString out = m_home->filePath(QStringLiteral("found.csv"));
        m_messages.fileAnswers << out;
        QTest::mouseClick(w.findChild<QToolButton*>(QStringLiteral("tbExportKeys")), Qt::LeftButton);
        QCOMPARE(m_messages.texts(RecordingMessages::Shown::Plain),
                 QStringList{QStringLiteral("Выгружено ключей: 3 в файл %1").arg(out)});
        QFile exported(out);
        QVERIFY(exported.open(QIODevice::ReadOnly));
        const QString text = QString::fromUtf8(exported.readAll());
        for (const char* holder : {"Иванов Иван Иванович", "Петрова Анна", "Сидоров Пётр"})
            QVERIFY(text.contains(QString::fromUtf8(holder)));
        QVERIFY(!text.contains(QStringLiteral("Ёлкин")));

        m_messages.clear();
        w.keySearch()->edit()->setText(QStringLiteral("нет такого"));
        const QString none = m_home->filePath(QStringLiteral("none.csv"));
        m_messages.fileAnswers << none;
        QTest::mouseClick(w.findChild<QToolButton*>(QStringLiteral("tbExportKeys")), Qt::LeftButton);
        QCOMPARE(m_messages.texts(RecordingMessages::Shown::Plain), QStringList());
        QCOMPARE(m_messages.texts(RecordingMessages::Shown::Error).size(), 1);
        QVERIFY(m_messages.texts(RecordingMessages::Shown::Error)
                    .first()
                    .contains(QStringLiteral("Нечего выгружать")));
        QVERIFY(!QFile::exists(none));
    }
};

QTEST_MAIN(KeyTransferWindowTests)
#include "key_transfer_window_tests.moc"
