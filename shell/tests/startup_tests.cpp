#include "core/recording_messages.h"
#include "register/register_schema.h"
#include "shell/startup.h"
#include "shell/widget_messages.h"

#include <QAbstractButton>
#include <QApplication>
#include <QDir>
#include <QLocale>
#include <QMessageBox>
#include <QTemporaryDir>
#include <QTimer>
#include <QTranslator>
#include <QtTest>

using namespace varek;

namespace {

// The installed layout over a temporary root: an executable's directory with
// nothing beside it, and XDG directories of its own.
AppPlaces installedPlaces(const QTemporaryDir& root) {
    QDir(root.path()).mkpath(QStringLiteral("bin"));
    const QString r = root.path();
    return appPlacesFor(r + QStringLiteral("/bin"), [r](const char* name) {
        if (qstrcmp(name, "XDG_DATA_HOME") == 0) return r + QStringLiteral("/xdata");
        if (qstrcmp(name, "XDG_CONFIG_HOME") == 0) return r + QStringLiteral("/xconf");
        return QString();
    });
}

QStringList buttonTexts(QMessageBox* box) {
    QStringList texts;
    for (QAbstractButton* b : box->buttons())
        texts << b->text().remove(u'&');
    texts.sort();
    return texts;
}

} // namespace

class StartupTests : public QObject {
    Q_OBJECT
private slots:
    void commandLine_data();
    void commandLine();
    void questionButtonsFollowLocale_data();
    void questionButtonsFollowLocale();
    void firstStartLaysAnEmptyRegisterOnYes();
    void firstStartOnNoLaysNothing();
    void besideTheExecutableNothingIsAsked();
};

void StartupTests::commandLine_data() {
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<int>("action");
    QTest::newRow("none") << QStringList{} << int(StartAction::Run);
    QTest::newRow("version") << QStringList{"--version"} << int(StartAction::PrintVersion);
    QTest::newRow("help") << QStringList{"--help"} << int(StartAction::PrintHelp);
    QTest::newRow("unknown option") << QStringList{"--verbose"} << int(StartAction::BadUsage);
    QTest::newRow("a file") << QStringList{"Data"} << int(StartAction::BadUsage);
    QTest::newRow("version and more") << QStringList{"--version", "x"} << int(StartAction::BadUsage);
    QTest::newRow("an empty argument") << QStringList{""} << int(StartAction::BadUsage);
}

void StartupTests::commandLine() {
    QFETCH(QStringList, arguments);
    QFETCH(int, action);
    QCOMPARE(int(startActionFor(arguments)), action);
}

void StartupTests::questionButtonsFollowLocale_data() {
    QTest::addColumn<QString>("locale");
    QTest::addColumn<QStringList>("buttons");
    QTest::newRow("English gets Russian") << "en_US" << QStringList{"Да", "Нет"};
    QTest::newRow("C gets Russian") << "C" << QStringList{"Да", "Нет"};
    QTest::newRow("Russian") << "ru_RU" << QStringList{"Да", "Нет"};
    QTest::newRow("a language Qt speaks") << "de_DE" << QStringList{"Ja", "Nein"};
}

void StartupTests::questionButtonsFollowLocale() {
    QFETCH(QString, locale);
    QFETCH(QStringList, buttons);
    const QLocale before;
    QTranslator translator;
    loadQtTranslations(translator, QLocale(locale));

    QStringList seen;
    QTimer::singleShot(0, [&seen] {
        auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
        if (!box) return;
        seen = buttonTexts(box);
        box->button(QMessageBox::No)->click();
    });
    WidgetMessages messages;
    const bool answer = messages.question(QStringLiteral("Создать пустой реестр?"));
    QLocale::setDefault(before);
    QVERIFY(!answer);
    QCOMPARE(seen, buttons);
}

void StartupTests::firstStartLaysAnEmptyRegisterOnYes() {
    QTemporaryDir root;
    const AppPlaces places = installedPlaces(root);
    RecordingMessages messages;
    messages.questionAnswers = {true};
    prepareRegisterPlace(messages, places);

    const QString data = root.path() + QStringLiteral("/xdata/varek/Data/");
    QCOMPARE(messages.texts(RecordingMessages::Shown::Question).size(), 1);
    QVERIFY(messages.texts(RecordingMessages::Shown::Question)[0].contains(data));
    for (const TableSchema& t : registerTables())
        QVERIFY2(QFileInfo::exists(data + t.fileName), qPrintable(t.fileName));
    QVERIFY(QFileInfo(root.path() + QStringLiteral("/xconf/varek")).isDir());
    QVERIFY(messages.texts(RecordingMessages::Shown::Error).isEmpty());

    // Once the register is there, nothing more is asked.
    messages.clear();
    prepareRegisterPlace(messages, places);
    QVERIFY(messages.shown.isEmpty());
}

void StartupTests::firstStartOnNoLaysNothing() {
    QTemporaryDir root;
    RecordingMessages messages;
    messages.questionAnswers = {false};
    prepareRegisterPlace(messages, installedPlaces(root));
    QCOMPARE(messages.shown.size(), 1);
    QVERIFY(!QFileInfo::exists(root.path() + QStringLiteral("/xdata/varek/Data")));
}

void StartupTests::besideTheExecutableNothingIsAsked() {
    QTemporaryDir root;
    const AppPlaces places = appPlacesFor(root.path(), [&root](const char* name) {
        return qstrcmp(name, "VAREK_HOME") == 0 ? root.path() : QString();
    });
    RecordingMessages messages;
    prepareRegisterPlace(messages, places);
    QVERIFY(messages.shown.isEmpty());
    QVERIFY(QDir(root.path()).isEmpty());
}

QTEST_MAIN(StartupTests)
#include "startup_tests.moc"
