// One key from the card reader to the programming device's memory: a card is
// presented to the simulated reader while the key editor is open, the key is
// issued with two controllers, one controller's image is built from the
// register and stored into the simulated programming device, and the key's
// code and check byte are found in the device's memory where the controller
// looks for them.

#include "core/port_numbers.h"
#include "core/recording_messages.h"
#include "dbase/dbf.h"
#include "image/controller_dump.h"
#include "image/ui/build_controller_dump.h"
#include "image/ui/details_page.h"
#include "image/ui/memo_list.h"
#include "keys/ui/ed_token.h"
#include "keys/ui/key_ops.h"
#include "link/programmer.h"
#include "register/data_link.h"
#include "register/register_schema.h"
#include "register/table.h"
#include "register/varek_register.h"
#include "register/view.h"
#include "tools/pty_util.h"
#include "tools/zintor_device.h"

#include <QApplication>
#include <QDir>
#include <QLineEdit>
#include <QPushButton>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

using namespace varek;

namespace {

void appendRow(const QString& path, const QVariantHash& values) {
    auto file = DbfFile::open(path);
    QVector<QVariant> record(file->fields().size());
    for (auto it = values.begin(); it != values.end(); ++it)
        record[file->fieldIndex(it.key())] = it.value();
    file->appendRecord(record);
}

} // namespace

class EndToEndTests : public QObject {
    Q_OBJECT

private slots:
    void keyFromTheReaderReachesTheProgrammingDevice() {
        QTemporaryDir home;
        qputenv("VAREK_HOME", home.path().toLocal8Bit());
        const QString data = home.path() + QStringLiteral("/Data/");
        QDir().mkpath(data);
        createRegisterFiles(data);
        appendRow(data + "obj.dbf", {{"obj_num", 1}, {"obj_name", QStringLiteral("Склад")}});
        appendRow(data + "obj.dbf", {{"obj_num", 2}, {"obj_name", QStringLiteral("Офис")}});
        appendRow(
            data + "ctrl.dbf",
            {{"obj_num", 1}, {"ctrl_name", QStringLiteral("Ворота")}, {"ser_num", 3}, {"open_time", 5}});
        appendRow(data + "ctrl.dbf",
                  {{"obj_num", 1}, {"ctrl_name", QStringLiteral("Дверь")}, {"ser_num", 5}, {"open_time", 5}});
        appendRow(data + "ctrl.dbf",
                  {{"obj_num", 2}, {"ctrl_name", QStringLiteral("Вход")}, {"ser_num", 7}, {"open_time", 5}});

        // The reader on COM4, the programming device on COM5.
        const QString ports = home.path() + QStringLiteral("/ports");
        sim::PtyPair readerLine;
        readerLine.linkAs(ports, 4);
        sim::PtyPair deviceLine;
        deviceLine.linkAs(ports, 5);
        sim::ZintorDevice device(deviceLine);
        device.start();
        ComToken = 4;
        ComZintor = 5;

        VarekRegister reg;
        reg.open(data);
        RecordingMessages messages;
        KeyOperations ops(reg, messages, nullptr);

        const QString code = QStringLiteral("01B2F5107C3A0086");
        QTimer::singleShot(0, [&] {
            auto* frm = qobject_cast<TfrmEdToken*>(QApplication::activeModalWidget());
            if (!frm) {
                QFAIL("the key editor is not shown");
                return;
            }
            sim::OrvanReader reader(readerLine);
            QVERIFY(reader.sendCard("3A7C10F5B2", 2));
            QVERIFY(QTest::qWaitFor([&] { return frm->edToken->text() == code; }, 5000));
            frm->edName->setText(QStringLiteral("Иванов Иван"));
            frm->setNodeChecked(1, true); // Ворота, 3
            frm->setNodeChecked(4, true); // Вход, 7
            frm->bbSave->click();
            if (frm->isVisible()) frm->reject();
        });
        guarded(messages, [&] { ops.ToolButton13Click(); });
        QVERIFY2(messages.shown.isEmpty(),
                 qPrintable(messages.texts(RecordingMessages::Shown::Error).join('|')));
        QCOMPARE(reg.taTokens().recordCount(), 1);
        QCOMPARE(reg.taTokens().asString("token_code"), code);
        QCOMPARE(reg.taTokens().asString("token_card"), QStringLiteral("016.62898"));

        // Controller 3's image, built from the register and stored in the device.
        QVERIFY(reg.taObj().locate("obj_num", {1}));
        QVERIFY(reg.taCtrl().locate("ser_num", {3}));
        QCOMPARE(reg.quCtrlToken().recordCount(), 1);
        DetailsPage page(messages);
        BuildControllerDump(reg.taCtrl(), reg.quCtrlToken(), reg.dataSource5(), page, messages);
        const QStringList lines = page.dumpList()->lines();
        QCOMPARE(lines.size(), image::kLineCount);

        ProgrammerExchange exchange;
        ProgrammerTiming timing; // this test is about the memory, not the device's pace
        timing.dumpPhase = 15;
        timing.finalPhase = 300;
        exchange.setTiming(timing);
        QSignalSpy finished(&exchange, &ProgrammerExchange::finished);
        QVERIFY(exchange.start(ProgrammerExchange::Command::Store, lines, QStringLiteral("\\\\.\\COM5")));
        QVERIFY(finished.wait(60000));
        QVERIFY2(finished[0][0].toBool(), qPrintable(finished[0][1].toString()));
        QCOMPARE(device.storeCount(), 1);

        // The access key takes slot 0: its check byte at 0x0000, its code at 0x0388.
        const QByteArray memory = device.memory();
        QCOMPARE(memory.size(), 8192);
        QCOMPARE(quint8(memory[0x0000]), quint8(0x86));
        QCOMPARE(memory.mid(0x0388, 8).toHex().toUpper(), code.toLatin1());
        QCOMPARE(quint8(memory[0x0001]), quint8(0xFF)); // no second key
        QCOMPARE(memory.mid(0x0390, 8), QByteArray(8, char(0xFF)));
        QCOMPARE(quint8(memory[0x0380]), quint8(0xFF)); // no master key
        QCOMPARE(quint8(memory[0x0382]), quint8(5));    // open time
        device.stop();
        ComToken = 0;
        ComZintor = 0;
    }
};

QTEST_MAIN(EndToEndTests)
#include "end_to_end_tests.moc"
