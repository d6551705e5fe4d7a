#include "shell/startup.h"

#include "core/messages.h"
#include "register/register_schema.h"

#include <QAbstractItemView>
#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QGuiApplication>
#include <QIcon>
#include <QLibraryInfo>
#include <QLocale>
#include <QTimer>
#include <QTranslator>
#include <cstdio>
#include <ctime>
#include <malloc.h>

#ifndef VAREK_VERSION
#define VAREK_VERSION "0"
#endif

namespace varek {

namespace {

const char kUsage[] = "Использование: varek [--help | --version]\n";

const char kHelp[] = "Varek — управление локальными контроллерами доступа.\n"
                     "Программа запускается без аргументов и открывает главное окно.\n"
                     "\n"
                     "  --help     показать эту справку и выйти\n"
                     "  --version  показать версию программы и выйти\n"
                     "\n"
                     "Файлы программы:\n"
                     "  реестр Data/ и порты ports/  $XDG_DATA_HOME/varek/ (~/.local/share/varek/)\n"
                     "  настройки settings.ini        $XDG_CONFIG_HOME/varek/ (~/.config/varek/)\n"
                     "Если рядом с программой есть папка Data/ или файл settings.ini, все файлы\n"
                     "лежат рядом с ней. Переменная VAREK_HOME задаёт одну папку для всех файлов.\n"
                     "Подробнее: man varek\n";

} // namespace

StartAction startActionFor(const QStringList& arguments) {
    if (arguments.isEmpty()) return StartAction::Run;
    if (arguments.size() == 1 && arguments[0] == QLatin1String("--version")) return StartAction::PrintVersion;
    if (arguments.size() == 1 && arguments[0] == QLatin1String("--help")) return StartAction::PrintHelp;
    return StartAction::BadUsage;
}

void keepLargeBlocksMapped() {
    mallopt(M_MMAP_THRESHOLD, 128 * 1024);
}

int handleCommandLine(int argc, char** argv) {
    QStringList arguments;
    for (int i = 1; i < argc; ++i)
        arguments << QString::fromLocal8Bit(argv[i]);
    switch (startActionFor(arguments)) {
    case StartAction::Run:
        return -1;
    case StartAction::PrintVersion:
        std::fputs("varek " VAREK_VERSION "\n", stdout);
        return 0;
    case StartAction::PrintHelp:
        std::fputs(kUsage, stdout);
        std::fputs(kHelp, stdout);
        return 0;
    case StartAction::BadUsage:
        break;
    }
    std::fprintf(stderr, "varek: неизвестный аргумент «%s»\n%s", argv[1], kUsage);
    return 2;
}

void setApplicationIdentity(QGuiApplication& app) {
    const QString id = QStringLiteral("io.github.varek.Varek");
    QGuiApplication::setDesktopFileName(id);
    QCoreApplication::setApplicationVersion(QStringLiteral(VAREK_VERSION));
    app.setWindowIcon(QIcon::fromTheme(id, QIcon(QStringLiteral(":/app/io.github.varek.Varek.svg"))));
}

QLocale loadQtTranslations(QTranslator& translator, const QLocale& userLocale) {
    const QString dir = QLibraryInfo::path(QLibraryInfo::TranslationsPath);
    const QString catalog = QStringLiteral("qtbase");
    // Qt's own texts are English: an English locale, like one Qt has no
    // translation for, gets them in Russian.
    const bool translatable =
        userLocale.language() != QLocale::English && userLocale.language() != QLocale::C;
    if (translatable && translator.load(userLocale, catalog, QStringLiteral("_"), dir)) {
        QCoreApplication::installTranslator(&translator);
        return userLocale;
    }
    const QLocale russian(QLocale::Russian, QLocale::Russia);
    QLocale::setDefault(russian);
    if (translator.load(russian, catalog, QStringLiteral("_"), dir))
        QCoreApplication::installTranslator(&translator);
    return russian;
}

void prepareRegisterPlace(Messages& messages, const AppPlaces& places) {
    if (places.portable) return;
    QDir().mkpath(places.configHome);
    const QString data = places.dataHome + QStringLiteral("Data/");
    if (QFileInfo::exists(data)) return;
    const QString text = QStringLiteral("Реестр ещё не создан: папки %1 нет.\n"
                                        "Создать в ней пустой реестр?")
                             .arg(QDir::toNativeSeparators(data));
    if (!messages.question(text)) return;
    guarded(messages, [&data] { createRegisterFiles(data); });
}

} // namespace varek

namespace varek {

namespace {

// Waits for the first paint of an item view's viewport while its view shows rows.
class FirstPaintReporter : public QObject {
public:
    using QObject::QObject;

protected:
    bool eventFilter(QObject* watched, QEvent* event) override {
        if (m_done || event->type() != QEvent::Paint) return false;
        auto* w = qobject_cast<QWidget*>(watched);
        auto* view = w ? qobject_cast<QAbstractItemView*>(w->parentWidget()) : nullptr;
        if (!view || view->viewport() != w || !view->model() || view->model()->rowCount() == 0 ||
            !view->isVisible())
            return false;
        m_done = true;
        timespec ts{};
        clock_gettime(CLOCK_MONOTONIC, &ts);
        std::printf("first-paint %lld\n", static_cast<long long>(ts.tv_sec) * 1000000000LL + ts.tv_nsec);
        std::fflush(stdout);
        // "settled": the run goes on for three seconds, time for the work
        // the window does once it is idle, so that its memory is measured
        // as the operator's window holds it.
        const bool settled = qgetenv("VAREK_FIRST_PAINT_REPORT") == "settled";
        QTimer::singleShot(settled ? 3000 : 0, qApp, [] { QCoreApplication::exit(0); });
        return false;
    }

private:
    bool m_done = false;
};

} // namespace

void reportFirstPaintWhenAsked(QGuiApplication& app) {
    if (qEnvironmentVariableIsEmpty("VAREK_FIRST_PAINT_REPORT")) return;
    app.installEventFilter(new FirstPaintReporter(&app));
}

} // namespace varek
