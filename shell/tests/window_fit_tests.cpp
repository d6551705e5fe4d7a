// The main window on screens of several sizes, scalings and arrangements:
// each case starts this program again on the offscreen platform configured
// with those screens, and reads back where the window was put.

#include "core/recording_messages.h"
#include "shell/t_vareklocal.h"

#include <QApplication>
#include <QProcess>
#include <QScreen>
#include <QTemporaryDir>
#include <QTextStream>
#include <QtTest>

using namespace varek;

namespace {

const char* const kChildMode = "VAREK_WINDOW_FIT_CHILD";

// Child: show the window, let it settle, print its outer rectangle.
int runChild(int argc, char** argv) {
    QApplication app(argc, argv);
    RecordingMessages messages;
    TTVarekLocal window(&messages);
    window.show();
    if (!QTest::qWaitForWindowExposed(&window)) return 2;
    QTest::qWait(50);
    const QRect r = window.frameGeometry();
    QTextStream(stdout) << r.x() << ' ' << r.y() << ' ' << r.width() << ' ' << r.height() << '\n';
    return 0;
}

QString screensFile(QTemporaryDir& dir, const QList<QRect>& screens) {
    QString json = QStringLiteral("{ \"screens\": [");
    for (int i = 0; i < screens.size(); ++i) {
        const QRect& s = screens[i];
        json += QStringLiteral("%1{ \"name\": \"S%2\", \"x\": %3, \"y\": %4, \"width\": %5, \"height\": %6, "
                               "\"logicalDpi\": 96, \"logicalBaseDpi\": 96, \"dpr\": 1 }")
                    .arg(i ? QStringLiteral(", ") : QString())
                    .arg(i)
                    .arg(s.x())
                    .arg(s.y())
                    .arg(s.width())
                    .arg(s.height());
    }
    json += QStringLiteral("] }");
    const QString path = dir.filePath(QStringLiteral("screens.json"));
    QFile f(path);
    if (f.open(QIODevice::WriteOnly)) f.write(json.toUtf8());
    return path;
}

} // namespace

class WindowFitTests : public QObject {
    Q_OBJECT

private slots:
    // Screens in device pixels; the scale factor makes them smaller in the
    // window's own pixels. The expected rectangle is in those.
    void windowLiesOnTheAvailableScreen_data() {
        QTest::addColumn<QList<QRect>>("screens");
        QTest::addColumn<QString>("scale");
        QTest::addColumn<QRect>("expected");
        QTest::newRow("fits: the design place and size")
            << QList<QRect>{{0, 0, 1280, 1024}} << QString() << QRect(336, 199, 753, 713);
        QTest::newRow("2x on 1280x1024: the whole screen")
            << QList<QRect>{{0, 0, 1280, 1024}} << QStringLiteral("2") << QRect(0, 0, 640, 512);
        QTest::newRow("800x600: moved left and up, shortened")
            << QList<QRect>{{0, 0, 800, 600}} << QString() << QRect(47, 0, 753, 600);
        QTest::newRow("two screens, the first too low: moved up on it")
            << QList<QRect>{{0, 0, 1024, 768}, {1024, 0, 1920, 1080}} << QString()
            << QRect(271, 55, 753, 713);
        QTest::newRow("the first screen small, a big one beside it")
            << QList<QRect>{{0, 0, 320, 240}, {320, 0, 1920, 1200}} << QString() << QRect(336, 199, 753, 713);
    }
    void windowLiesOnTheAvailableScreen() {
        QFETCH(QList<QRect>, screens);
        QFETCH(QString, scale);
        QFETCH(QRect, expected);
        QTemporaryDir dir;
        QVERIFY(dir.isValid());
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QString::fromLatin1(kChildMode), QStringLiteral("1"));
        env.insert(QStringLiteral("VAREK_HOME"), dir.path());
        env.insert(QStringLiteral("QT_QPA_PLATFORM"),
                   QStringLiteral("offscreen:configfile=") + screensFile(dir, screens));
        env.remove(QStringLiteral("QT_SCALE_FACTOR"));
        if (!scale.isEmpty()) env.insert(QStringLiteral("QT_SCALE_FACTOR"), scale);
        QProcess child;
        child.setProcessEnvironment(env);
        child.start(QCoreApplication::applicationFilePath(), {});
        QVERIFY(child.waitForFinished(30000));
        const QString err = QString::fromLocal8Bit(child.readAllStandardError());
        QVERIFY2(child.exitCode() == 0, qPrintable(err));
        const QStringList parts = QString::fromLatin1(child.readAllStandardOutput()).split(u' ');
        QCOMPARE(parts.size(), 4);
        const QRect actual(parts[0].toInt(), parts[1].toInt(), parts[2].toInt(), parts[3].toInt());
        QCOMPARE(actual, expected);
    }
};

int main(int argc, char** argv) {
    if (qEnvironmentVariableIsSet(kChildMode)) return runChild(argc, argv);
    QCoreApplication app(argc, argv);
    WindowFitTests tests;
    return QTest::qExec(&tests, argc, argv);
}

#include "window_fit_tests.moc"
