// Backing up and restoring a large register (for example one made by
// varek_make_large_register): the time to write the archive, to read and
// check it, and to put its files in place in an empty directory, with the
// sizes. Prints each beside its goal. Usage: varek_backup_bench DIR

#include "backup/register_backup.h"
#include "core/errors.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QTemporaryDir>

#include <cstdio>

using namespace varek;

namespace {

// The operator waits for a backup or a restore of the largest register
// (1,000,000 access rows) at most this long, in seconds, each.
constexpr double kGoalSeconds = 10.0;

qint64 tablesSize(const QString& dir) {
    qint64 total = 0;
    const RegisterFiles files = registerFilesIn(dir);
    for (const QString& f : files.tables + files.memos)
        total += QFileInfo(f).size();
    return total;
}

void line(const char* what, double seconds) {
    std::printf("%-34s %8.2f s   goal <= %.0f s   %s\n", what, seconds, kGoalSeconds,
                seconds <= kGoalSeconds ? "met" : "MISSED");
}

} // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    if (app.arguments().size() != 2) {
        std::fprintf(stderr, "usage: %s DIR\n", argv[0]);
        return 2;
    }
    const QString dir = QDir(app.arguments()[1]).absolutePath() + QLatin1Char('/');
    try {
        QTemporaryDir work;
        const QString archive = work.filePath(QStringLiteral("bench.tar.gz"));
        QElapsedTimer t;
        t.start();
        writeBackup(dir, QString(), archive);
        const double written = t.nsecsElapsed() / 1e9;

        const QString target = work.filePath(QStringLiteral("Data/"));
        QDir().mkpath(target);
        QTemporaryDir staging(target + QStringLiteral(".varek-restore-XXXXXX"));
        t.restart();
        const BackupContents c = checkBackup(archive, staging.path());
        const double checked = t.nsecsElapsed() / 1e9;
        t.restart();
        installBackup(c, target);
        const double installed = t.nsecsElapsed() / 1e9;

        std::printf("register: %d objects, %d controllers, %d keys, %d access rows; tables %.1f MB, "
                    "archive %.1f MB\n",
                    c.objects, c.controllers, c.keys, c.accessRows, tablesSize(dir) / 1e6,
                    QFileInfo(archive).size() / 1e6);
        line("create (write, sync, rename)", written);
        line("restore: read and check", checked);
        line("restore: put in place", installed);
        line("restore in all", checked + installed);
    } catch (const VarekError& e) {
        std::fprintf(stderr, "%s\n", e.what());
        return 1;
    }
    return 0;
}
