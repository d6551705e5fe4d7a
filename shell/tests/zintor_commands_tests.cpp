#include "core/port_numbers.h"
#include "core/recording_messages.h"
#include "image/ui/details_page.h"
#include "image/ui/memo_list.h"
#include "link/line_serial.h"
#include "register/table.h"
#include "register/ui/tests/grid_sample_register.h"
#include "register/varek_register.h"
#include "shell/t_vareklocal.h"
#include "shell/zintor_commands.h"
#include "tools/zintor_device.h"

#include <QElapsedTimer>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QStatusBar>
#include <QTabWidget>
#include <QTemporaryDir>
#include <QToolButton>
#include <QtTest>

#include <thread>

using namespace varek;
using sim::ZintorDevice;

namespace {

const QString kBusy = QStringLiteral("Идёт обмен с устройством Zintor. Дождитесь его окончания.");

// Listening shortened for tests that are not about timing (a pty has no baud
// delays, so the device answers within a few ms).
ProgrammerTiming quickTiming() {
    ProgrammerTiming t;
    t.readWait = 300;
    t.dumpWait = 1;
    t.dumpPhase = 4;
    t.finalPhase = 800;
    return t;
}

QString ff(int bytes) {
    return QString(bytes * 2, u'F');
}

} // namespace

class ZintorCommandsTests : public QObject {
    Q_OBJECT

private:
    std::unique_ptr<QTemporaryDir> m_home;
    RecordingMessages m_messages;
    std::unique_ptr<sim::PtyPair> m_pty;
    std::unique_ptr<TTVarekLocal> m_window;

    QString home() const { return m_home->path() + u'/'; }
    ZintorCommands* commands() const { return m_window->findChild<ZintorCommands*>(); }
    DetailsPage* details() const { return m_window->findChild<DetailsPage*>(); }
    MemoList* memo1() const { return details()->logList(); }
    MemoList* memo3() const { return details()->dumpList(); }
    QToolButton* button(const char* name) const { return m_window->findChild<QToolButton*>(name); }

    bool deviceButtonsEnabled() const {
        return button("bbTest")->isEnabled() && button("bbCheck")->isEnabled() &&
               button("BtnClear")->isEnabled() && button("BtnSecurity")->isEnabled();
    }
    bool deviceButtonsDisabled() const {
        return !button("bbTest")->isEnabled() && !button("bbCheck")->isEnabled() &&
               !button("BtnClear")->isEnabled() && !button("BtnSecurity")->isEnabled();
    }

    // Runs a click handler of the window and waits for the exchange's end.
    bool runToEnd(void (TTVarekLocal::*handler)(), int timeoutMs = 30000) {
        QSignalSpy spy(commands(), &ZintorCommands::exchangeFinished);
        (m_window.get()->*handler)();
        if (!commands()->running() && spy.isEmpty()) return false; // refused before starting
        QElapsedTimer t;
        t.start();
        while (spy.isEmpty() && t.elapsed() < timeoutMs)
            QTest::qWait(10);
        return !spy.isEmpty();
    }

    // The port was released: another port object can open it at once.
    static bool portFree(quint8 n) {
        TLineSerial other;
        other.OpenDevice(zintorDeviceName(n));
        return other.LastError() == 0;
    }

    QStringList errors() const { return m_messages.texts(RecordingMessages::Shown::Error); }
    QStringList plains() const { return m_messages.texts(RecordingMessages::Shown::Plain); }

private slots:
    void init() {
        m_home = std::make_unique<QTemporaryDir>();
        QVERIFY(m_home->isValid());
        qputenv("VAREK_HOME", m_home->path().toUtf8());
        m_messages = RecordingMessages();
        sample::makeRegister(home() + "Data/");
        m_pty = std::make_unique<sim::PtyPair>();
        m_pty->linkAs(home() + "ports", 3);
        m_window = std::make_unique<TTVarekLocal>(&m_messages);
        QVERIFY(m_window->FormCreate());
        ComZintor = 3; // after start-up, which read the settings
        m_window->show();
        QVERIFY(commands());
        commands()->setTiming(quickTiming());
        // The controller "Главный вход" (open time 5) is current: one access
        // key and one master key.
        QCOMPARE(m_window->reg().taCtrl().asInteger("ser_num"), 1);
    }

    void cleanup() {
        m_window.reset();
        m_pty.reset();
        m_home.reset();
        ComZintor = 0;
    }

    // The device answers a remark, an empty line and a dump line: the log
    // gets all three, the dump list all but the remark; then the log fills
    // the Details page, which comes to the front.
    void readSortsRemarksAndShowsTheLog() {
        const QString line = ZintorDevice::dumpLine(0, QByteArray(32, 0x11));
        memo1()->setLines({"old log"});
        memo3()->setLines({"old dump"});
        details()->showDump();
        std::thread device([&] {
            QByteArray got;
            for (int i = 0; i < 200 && !got.contains("\r\n"); ++i) {
                m_pty->waitReadable(10);
                got += m_pty->readAvailable();
            }
            if (got == "d\r\n") m_pty->writeAll("# remark\r\n\r\n" + line.toLatin1() + "\r\n");
        });
        const bool ended = runToEnd(&TTVarekLocal::bbTestClick);
        device.join();
        QVERIFY(ended);
        QCOMPARE(memo1()->lines(), (QStringList{"# remark", "", line}));
        QCOMPARE(memo3()->lines(), (QStringList{"", line}));
        QVERIFY(!details()->dumpShown());
        QCOMPARE(m_window->pageControl()->currentWidget()->objectName(), QStringLiteral("tshHint"));
        QVERIFY(m_messages.shown.isEmpty());
        QVERIFY(deviceButtonsEnabled());
        QVERIFY(portFree(3));
    }

    // A reply line that stalls longer than the line time-out ends the read
    // with the communication error; the views stay as they were.
    void readThatFailsMidwayLeavesTheViews() {
        sim::ZintorOptions options;
        options.stallMs = 300;
        ZintorDevice device(*m_pty, options);
        device.start();
        m_window->pageControl()->setCurrentIndex(1);
        details()->showDump();
        QVERIFY(runToEnd(&TTVarekLocal::bbTestClick));
        QCOMPARE(errors().size(), 1);
        const QStringList report = errors()[0].split(u'\n');
        QCOMPARE(report.size(), 2);
        QVERIFY2(report[0].startsWith(QStringLiteral("Ответ устройства Zintor оборвался")),
                 qPrintable(report[0]));
        QVERIFY2(report[1].startsWith("Communication error 9997: "), qPrintable(report[1]));
        QVERIFY(details()->dumpShown());
        QCOMPARE(m_window->pageControl()->currentIndex(), 1);
        QVERIFY(deviceButtonsEnabled());
        QVERIFY(portFree(3));
    }

    // Store and write send the freshly built image of the current controller
    // and then their command; the device's memory then equals the image.
    void storeAndWriteSendTheImage_data() {
        QTest::addColumn<bool>("store");
        QTest::newRow("store") << true;
        QTest::newRow("write") << false;
    }
    void storeAndWriteSendTheImage() {
        QFETCH(bool, store);
        ZintorDevice device(*m_pty);
        device.start();
        memo3()->setLines({"a dump loaded from a file"});
        memo1()->setLines({"old log"});
        m_window->pageControl()->setCurrentIndex(1);
        QVERIFY(runToEnd(store ? &TTVarekLocal::BtnClearClick : &TTVarekLocal::BtnSecurityClick));

        const QStringList image = memo3()->lines();
        QCOMPARE(image.size(), 256);
        QCOMPARE(image[0], "00000: 01" + ff(31));
        QCOMPARE(image[28], "00380: ABAB05" + ff(5) + "01A1B2C3D4E5F601" + ff(16));
        QCOMPARE(image[252], "01F80: " + ff(8) + "01112233445566AB01112233445566AB" + ff(8));
        QCOMPARE(device.memoryDumpLines(), image);

        const QList<QByteArray> received = device.receivedLines();
        QCOMPARE(received.size(), 257);
        QCOMPARE(received.last(), QByteArray(store ? "s" : "w"));
        const QStringList log = memo1()->lines();
        QCOMPARE(log.filter(QRegularExpression("^OK [0-9A-F]{5}$")).size(), 256);
        QCOMPARE(log.last(), store ? QStringLiteral("STORED") : QStringLiteral("WRITTEN"));
        QVERIFY(!log.contains("old log"));

        QCOMPARE(m_window->progressBar()->value(), 0);
        QVERIFY(deviceButtonsEnabled());
        QVERIFY(!details()->exchangeRunning());
        QVERIFY(!m_window->statusBar()->isVisible());
        QCOMPARE(m_window->pageControl()->currentIndex(), 1); // store and write stay where they are
        QVERIFY(m_messages.shown.isEmpty());
        QVERIFY(portFree(3));
    }

    // While an exchange runs: the device buttons are disabled, the handlers
    // and the Details page's Clear and Load refuse, the status bar tells how
    // far the transfer is and how long is left.
    void oneExchangeAtATime() {
        ProgrammerTiming t = quickTiming();
        t.dumpPhase = 15; // about four seconds for the 256 lines
        commands()->setTiming(t);
        ZintorDevice device(*m_pty);
        device.start();
        QSignalSpy spy(commands(), &ZintorCommands::exchangeFinished);
        m_window->BtnClearClick();
        QVERIFY(commands()->running());
        QVERIFY(deviceButtonsDisabled());
        QVERIFY(details()->exchangeRunning());
        QVERIFY(!details()->btnClear1()->isEnabled());
        QVERIFY(!details()->btnNote()->isEnabled());
        QVERIFY(m_window->statusBar()->isVisible());
        QVERIFY(commands()->cancelButton()->isVisible());
        QTRY_VERIFY_WITH_TIMEOUT(commands()->statusLabel()->text().contains("осталось около"), 5000);
        QTRY_VERIFY_WITH_TIMEOUT(m_window->progressBar()->value() >= 2, 5000);

        const QStringList image = memo3()->lines();
        details()->BtnClear1Click();
        details()->BtnNoteClick();
        m_window->bbTestClick();
        m_window->BtnSecurityClick();
        QCOMPARE(plains(), (QStringList{kBusy, kBusy, kBusy, kBusy}));
        QCOMPARE(memo3()->lines(), image);
        QVERIFY(m_messages.texts(RecordingMessages::Shown::OpenFile).isEmpty());

        QTRY_VERIFY_WITH_TIMEOUT(!spy.isEmpty(), 30000);
        QCOMPARE(spy.first().first().toBool(), true);
        QVERIFY(deviceButtonsEnabled());
        QVERIFY(details()->btnClear1()->isEnabled());
        QVERIFY(!m_window->statusBar()->isVisible());
        QCOMPARE(device.receivedLines().last(), QByteArray("s"));
        QCOMPARE(device.memoryDumpLines(), image);
    }

    // A port that cannot be opened: the communication error with the
    // system's code, what was done before stays done, and the next click
    // tries again.
    void portThatCannotBeOpened_data() {
        QTest::addColumn<int>("port");
        QTest::addColumn<bool>("held");
        QTest::addColumn<int>("code");
        QTest::addColumn<QString>("cause"); // the Russian line before the port's own text
        QTest::newRow("missing port") << 7 << false << 2 << QStringLiteral("Порт COM7 не найден: ");
        QTest::newRow("no port chosen")
            << 0 << false << 2
            << QStringLiteral("Порт устройства Zintor не выбран: выберите его в списке «Ком-порт устройства "
                              "Zintor» на странице «Настройки».");
        QTest::newRow("held by another") << 3 << true << 16 << QStringLiteral("Порт COM3 ("); // EBUSY
    }
    void portThatCannotBeOpened() {
        QFETCH(int, port);
        QFETCH(bool, held);
        QFETCH(int, code);
        QFETCH(QString, cause);
        ComZintor = quint8(port);
        auto holder = std::make_unique<TLineSerial>();
        if (held) holder->OpenDevice(zintorDeviceName(3));
        QVERIFY(runToEnd(&TTVarekLocal::BtnClearClick));
        QCOMPARE(errors().size(), 1);
        const QStringList report = errors()[0].split(u'\n');
        QCOMPARE(report.size(), 2);
        QVERIFY2(report[0].startsWith(cause), qPrintable(report[0]));
        if (held)
            QVERIFY2(
                report[0].endsWith(QStringLiteral(") занят другой программой. Закройте её и повторите.")),
                qPrintable(report[0]));
        QVERIFY2(report[1].startsWith(QStringLiteral("Communication error %1: ").arg(code)),
                 qPrintable(report[1]));
        QVERIFY(memo1()->lines().isEmpty());
        QCOMPARE(memo3()->count(), 256);
        QCOMPARE(m_window->progressBar()->value(), 0);
        QVERIFY(deviceButtonsEnabled());
        QVERIFY(!details()->exchangeRunning());

        // The read clears both lists and leaves the views as they were.
        m_window->pageControl()->setCurrentIndex(1);
        details()->showDump();
        m_messages.clear();
        QVERIFY(runToEnd(&TTVarekLocal::bbTestClick));
        QCOMPARE(errors().size(), 1);
        QVERIFY(memo3()->lines().isEmpty());
        QVERIFY(details()->dumpShown());
        QCOMPARE(m_window->pageControl()->currentIndex(), 1);

        // Once the port is there and free, the next store works.
        holder.reset();
        if (port != 3) m_pty->linkAs(home() + "ports", port == 0 ? 3 : port);
        ComZintor = port == 0 ? 3 : quint8(port);
        ZintorDevice device(*m_pty);
        device.start();
        m_messages.clear();
        QVERIFY(runToEnd(&TTVarekLocal::BtnClearClick));
        QVERIFY(m_messages.shown.isEmpty());
        QCOMPARE(device.memoryDumpLines(), memo3()->lines());
    }

    // Cancel during a store: the log says so, the final command is not sent,
    // the port is free again and a second store works.
    void cancelDuringStore() {
        ProgrammerTiming slow = quickTiming();
        slow.dumpPhase = 15;
        commands()->setTiming(slow);
        ZintorDevice device(*m_pty);
        device.start();
        QSignalSpy spy(commands(), &ZintorCommands::exchangeFinished);
        m_window->BtnClearClick();
        QTRY_VERIFY_WITH_TIMEOUT(m_window->progressBar()->value() >= 3, 10000);
        QTest::mouseClick(commands()->cancelButton(), Qt::LeftButton);
        QTRY_VERIFY_WITH_TIMEOUT(!spy.isEmpty(), 10000);
        QCOMPARE(spy.first().first().toBool(), false);

        QVERIFY(m_messages.shown.isEmpty()); // a cancel is no error
        QVERIFY2(memo1()->lines().last().contains("прервана оператором"),
                 qPrintable(memo1()->lines().last()));
        const QList<QByteArray> received = device.receivedLines();
        QVERIFY(received.size() < 256);
        QVERIFY(!received.contains("s"));
        QCOMPARE(m_window->progressBar()->value(), 0);
        QVERIFY(deviceButtonsEnabled());
        QVERIFY(!details()->exchangeRunning());
        QVERIFY(portFree(3));

        commands()->setTiming(quickTiming());
        QVERIFY(runToEnd(&TTVarekLocal::BtnClearClick));
        QVERIFY(m_messages.shown.isEmpty());
        QCOMPARE(device.receivedLines().last(), QByteArray("s"));
        QCOMPARE(device.memoryDumpLines(), memo3()->lines());
    }

    // "Сверить с Zintor" reads the device back and reports how it differs
    // from the register; "Сверить загруженный дамп" gives the same report
    // for the dump list.
    void checkAgainstTheRegister() {
        ZintorDevice device(*m_pty);
        device.start();
        QVERIFY(runToEnd(&TTVarekLocal::BtnClearClick));
        QVERIFY(runToEnd(&TTVarekLocal::bbCheckClick));
        QCOMPARE(memo1()->lines().mid(memo1()->lines().size() - 2),
                 (QStringList{"Сверка памяти Zintor с реестром, контроллер «Главный вход»:",
                              "Память соответствует реестру"}));

        // Plant key 2, which the register grants only on "Ворота", in slot 1,
        // and another open time.
        QByteArray memory = device.memory();
        memory[0x0001] = char(0xC2);
        memory.replace(0x0390, 8, QByteArray::fromHex("01DEADBEEF0000C2"));
        memory[0x0382] = char(9);
        device.setMemory(memory);
        const QStringList report{
            "Сверка памяти Zintor с реестром, контроллер «Главный вход»:", "Отличий от реестра: 2",
            "Лишний ключ в ячейке 1: 01DEADBEEF0000C2 (жетон 222.48879, Сидоров Пётр)",
            "Время открытия: в контроллере 9, в реестре 5"};
        QVERIFY(runToEnd(&TTVarekLocal::bbCheckClick));
        QCOMPARE(memo1()->lines().mid(memo1()->lines().size() - 4), report);
        QCOMPARE(memo3()->lines().size(), 256); // the read-back stays in the dump list

        memo1()->clear();
        details()->btnCheckDump()->click();
        QStringList fromDump = report;
        fromDump[0] = "Сверка дампа с реестром, контроллер «Главный вход»:";
        QCOMPARE(memo1()->lines(), fromDump);

        // A dump that is not a whole image is never reported as a match.
        memo1()->clear();
        memo3()->setLines(memo3()->lines().mid(0, 200));
        details()->btnCheckDump()->click();
        QCOMPARE(memo1()->lines().size(), 2);
        QVERIFY(memo1()->lines()[1].startsWith("Сверка невозможна"));

        memo3()->clear();
        details()->btnCheckDump()->click();
        QCOMPARE(plains().size(), 1);
        QVERIFY(plains()[0].startsWith("Дамп пуст."));
        QVERIFY(errors().isEmpty());
    }

    // Closing the window while the device is listened to after "s": the
    // exchange stops at once, the port is released, nothing is reported.
    void closingDuringAnExchange() {
        ProgrammerTiming t = quickTiming();
        t.finalPhase = 10000;
        commands()->setTiming(t);
        ZintorDevice device(*m_pty);
        device.start();
        m_window->BtnClearClick();
        // The cancel button goes grey once the final command is on its way.
        QTRY_VERIFY_WITH_TIMEOUT(!commands()->cancelButton()->isEnabled(), 10000);
        QTRY_VERIFY_WITH_TIMEOUT(memo1()->lines().contains("STORED"), 5000);
        QElapsedTimer closing;
        closing.start();
        m_window->close();
        // Well under the ten seconds of listening that were left.
        QVERIFY2(closing.elapsed() < 5000, qPrintable(QString::number(closing.elapsed())));
        QVERIFY(!commands()->running());
        QVERIFY(portFree(3));
        QTest::qWait(50);
        QVERIFY(errors().isEmpty());
        m_window.reset();
    }
};

QTEST_MAIN(ZintorCommandsTests)
#include "zintor_commands_tests.moc"
