// varek-backup: backups of the register from the command line.
//   varek-backup create  [--settings FILE | --no-settings] DATA_DIR FILE
//   varek-backup restore [--settings FILE | --no-settings] FILE DATA_DIR
// Both hold the data directory's lock for the whole run and refuse while the
// program (or another run of the tool) holds it. Exit status 0 on success, 1
// on a failure (the reason on stderr, in Russian), 2 on a wrong command line.
#include "backup/register_backup.h"
#include "core/app_paths.h"
#include "core/errors.h"
#include "register/dir_lock.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QDir>
#include <QFileInfo>
#include <QTemporaryDir>

#include <cstdio>

using namespace varek;

namespace {

const char* const kUsage =
    "Использование:\n"
    "  varek-backup create  [--settings ФАЙЛ | --no-settings] КАТАЛОГ_ДАННЫХ АРХИВ\n"
    "  varek-backup restore [--settings ФАЙЛ | --no-settings] АРХИВ КАТАЛОГ_ДАННЫХ\n"
    "create записывает таблицы реестра, их файлы заметок и settings.ini в архив tar.gz;\n"
    "restore проверяет архив, сохраняет заменяемый реестр в архив рядом с копией\n"
    "и кладёт таблицы из копии в каталог данных (пустой или несуществующий тоже).\n"
    "settings.ini берётся из каталога над каталогом данных (переносимая установка),\n"
    "а для реестра установленной программы (~/.local/share/varek/Data) — из\n"
    "~/.config/varek/, если не указан --settings; restore пишет его, только если\n"
    "его там ещё нет.\n";

void out(FILE* stream, const QString& text) {
    std::fputs(text.toLocal8Bit().constData(), stream);
    std::fputc('\n', stream);
}

int usage(const QString& problem) {
    if (!problem.isEmpty()) out(stderr, QStringLiteral("varek-backup: ") + problem);
    std::fputs(kUsage, stderr);
    return 2;
}

// settings.ini beside the data directory (the portable layout); for the
// register of an installed program ($XDG_DATA_HOME/varek/Data) the one in
// $XDG_CONFIG_HOME/varek/, where that program keeps it.
QString defaultSettingsPath(const QString& dataDir) {
    const QString beside = portableSettingsPath(dataDir);
    if (QFileInfo::exists(beside)) return beside;
    const AppPlaces places = appPlaces();
    const QString own =
        QDir::cleanPath(QFileInfo(places.dataHome + QStringLiteral("Data")).absoluteFilePath());
    if (!places.portable && QDir::cleanPath(QFileInfo(dataDir).absoluteFilePath()) == own)
        return places.configHome + QStringLiteral("settings.ini");
    return beside;
}

void lockDataDir(DirLock& lock, const QString& dataDir) {
    try {
        lock.acquire(dataDir);
    } catch (const VarekError& e) {
        if (e.message().contains(QStringLiteral("уже используется")))
            throw EDatabaseError(
                e.message() + QStringLiteral(" Закройте программу Varek и повторите; пока она открыта, копию "
                                             "можно создать и восстановить в её окне, на странице "
                                             "«Настройки»."));
        throw;
    }
}

int create(const QString& dataDir, const QString& file, const QString& settings) {
    DirLock lock;
    lockDataDir(lock, dataDir);
    completePendingJournal(dataDir);
    writeBackup(dataDir, settings, file);
    out(stdout, QStringLiteral("Резервная копия реестра сохранена в файл %1.").arg(file));
    return 0;
}

int restore(const QString& file, const QString& dataDir, const QString& settings) {
    if (!QFileInfo(file).isFile()) throw EFileError(QStringLiteral("Файл копии %1 не найден.").arg(file));
    if (!QDir().mkpath(dataDir))
        throw EFileError(QStringLiteral("Не удалось создать каталог с данными %1.").arg(dataDir));
    DirLock lock;
    lockDataDir(lock, dataDir);
    completePendingJournal(dataDir);
    const QString dir = QDir(dataDir).absolutePath() + QLatin1Char('/');
    QTemporaryDir staging(dir + QStringLiteral(".varek-restore-XXXXXX"));
    if (!staging.isValid())
        throw EFileError(
            QStringLiteral("Не удалось создать временный каталог в %1: %2.").arg(dir, staging.errorString()));
    const BackupContents contents = checkBackup(file, staging.path());
    const QDateTime now = QDateTime::currentDateTime();
    const QString keptAs = replacedRegisterPath(file, dir, now);
    if (!keptAs.isEmpty()) writeBackup(dir, settings, keptAs, false, now);
    installBackup(contents, dir);
    const bool settingsWritten = restoreSettingsIfMissing(contents, settings);
    out(stdout, QStringLiteral("Реестр восстановлен из копии %1 в каталог %2: объектов %3, контроллеров %4, "
                               "ключей %5.")
                    .arg(file, dir)
                    .arg(contents.objects)
                    .arg(contents.controllers)
                    .arg(contents.keys));
    if (!keptAs.isEmpty()) out(stdout, QStringLiteral("Прежний реестр сохранён в файл %1.").arg(keptAs));
    if (settingsWritten) out(stdout, QStringLiteral("Настройки из копии записаны в %1.").arg(settings));
    return 0;
}

} // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    QStringList args = app.arguments().mid(1);
    if (args.size() == 1 && (args[0] == QLatin1String("--help") || args[0] == QLatin1String("-h"))) {
        std::fputs(kUsage, stdout);
        return 0;
    }
    if (args.isEmpty()) return usage(QString());
    const QString command = args.takeFirst();
    if (command != QLatin1String("create") && command != QLatin1String("restore"))
        return usage(QStringLiteral("неизвестная команда %1").arg(command));
    QString settings;
    bool settingsGiven = false;
    QStringList positional;
    for (int i = 0; i < args.size(); ++i) {
        if (args[i] == QLatin1String("--settings")) {
            if (i + 1 >= args.size()) return usage(QStringLiteral("после --settings нужен путь к файлу"));
            settings = args[++i];
            settingsGiven = true;
        } else if (args[i] == QLatin1String("--no-settings")) {
            settings.clear();
            settingsGiven = true;
        } else if (args[i].startsWith(QLatin1String("--"))) {
            return usage(QStringLiteral("неизвестный ключ %1").arg(args[i]));
        } else {
            positional << args[i];
        }
    }
    if (positional.size() != 2) return usage(QStringLiteral("нужны два пути"));
    const QString dataDir = command == QLatin1String("create") ? positional[0] : positional[1];
    const QString file = command == QLatin1String("create") ? positional[1] : positional[0];
    if (!settingsGiven) settings = defaultSettingsPath(dataDir);
    try {
        return command == QLatin1String("create") ? create(dataDir, file, settings)
                                                  : restore(file, dataDir, settings);
    } catch (const VarekError& e) {
        out(stderr, QStringLiteral("varek-backup: ") + e.message());
        return 1;
    }
}
