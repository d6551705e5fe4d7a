#include "shell/quit_signals.h"
#include "shell/startup.h"
#include "shell/t_vareklocal.h"
#include "shell/widget_messages.h"

#include <QApplication>
#include <QLocale>
#include <QTimer>
#include <QTranslator>

// The program: the command line (--version, --help), Qt's texts in the
// user's language or Russian, the register's place on the first start, the
// main window, its start-up, the event loop. Ends with 2 on a wrong command
// line, with 1 when the register cannot be opened at start-up (after the
// message), with 128 + the signal's number when SIGTERM, SIGINT or SIGHUP
// closed it (see QuitSignals), else with the event loop's result.
//
// VAREK_SCREENSHOT_DIR, when set, makes the program save a picture of each
// page there and quit (tools/screenshots.sh).
int main(int argc, char** argv) {
    varek::keepLargeBlocksMapped();
    const int early = varek::handleCommandLine(argc, argv);
    if (early >= 0) return early;
    QApplication app(argc, argv);
    varek::setApplicationIdentity(app);
    varek::reportFirstPaintWhenAsked(app);
    QTranslator qtTexts;
    varek::loadQtTranslations(qtTexts, QLocale::system());
    {
        varek::WidgetMessages startMessages;
        varek::prepareRegisterPlace(startMessages, varek::appPlaces());
    }
    varek::TTVarekLocal window;
    const varek::QuitSignals quitSignals([&window](int) { window.closeOnQuitRequest(); });
    if (!window.FormCreate()) return quitSignals.received() ? 128 + quitSignals.received() : 1;
    window.show();
    const QString shots = qEnvironmentVariable("VAREK_SCREENSHOT_DIR");
    if (!shots.isEmpty()) {
        QTimer::singleShot(500, &window, [&window, shots] {
            window.savePagePictures(shots);
            window.close();
        });
    }
    const int result = app.exec();
    return quitSignals.received() ? 128 + quitSignals.received() : result;
}
