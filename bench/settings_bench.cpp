// Reading and writing the port numbers over settings files of several sizes
// and shapes: the time each takes and how far the process's peak memory grew.
// Files over the settings limit are neither read nor rewritten, so their
// figures should stay those of a missing file.
//   settings_bench [DIR]   (a temporary directory when none is given)

#include "core/errors.h"
#include "core/settings.h"

#include <QElapsedTimer>
#include <QFile>
#include <QTemporaryDir>

#include <cstdio>
#include <sys/resource.h>

using namespace varek;

namespace {

long peakKiB() {
    rusage usage{};
    ::getrusage(RUSAGE_SELF, &usage);
    return usage.ru_maxrss;
}

void makeFile(const QString& path, qint64 size, char fill) {
    QFile f(path);
    f.open(QIODevice::WriteOnly | QIODevice::Truncate);
    f.write("[1]\ncom_zintor=3\ncom_token=5\n");
    const QByteArray chunk(1 << 20, fill);
    for (qint64 left = size - f.size(); left > 0; left -= chunk.size())
        f.write(chunk.constData(), std::min<qint64>(left, chunk.size()));
}

} // namespace

int main(int argc, char** argv) {
    QTemporaryDir tmp;
    const QString dir = argc > 1 ? QString::fromLocal8Bit(argv[1]) : tmp.path();
    struct Shape {
        const char* name;
        qint64 size;
        char fill;
    };
    const Shape shapes[] = {
        {"1 MiB of blank lines", maxSettingsFileBytes, '\n'},
        {"1 MiB of one long line", maxSettingsFileBytes, 'x'},
        {"20 MB of blank lines", 20'000'000, '\n'},
        {"100 MB of blank lines", 100'000'000, '\n'},
    };
    std::printf("%-26s %10s %10s %14s\n", "file", "read ms", "write ms", "peak +KiB");
    for (const Shape& s : shapes) {
        const QString path = dir + QStringLiteral("/settings.ini");
        makeFile(path, s.size, s.fill);
        const long before = peakKiB();
        Settings settings(path);
        QElapsedTimer timer;
        timer.start();
        readPortNumbers(settings);
        const double readMs = timer.nsecsElapsed() / 1e6;
        timer.restart();
        bool written = true;
        try {
            writePortNumbers(settings);
        } catch (const EFileError&) {
            written = false;
        }
        const double writeMs = timer.nsecsElapsed() / 1e6;
        std::printf("%-26s %10.1f %10.1f %14ld%s\n", s.name, readMs, writeMs, peakKiB() - before,
                    written ? "" : "  (not rewritten)");
        QFile::remove(path);
    }
    return 0;
}
