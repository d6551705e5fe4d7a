// How long the real window takes to start over a register: from starting the
// program `varek` (offscreen, VAREK_HOME a temporary place whose Data/ is
// the register) to the first paint of a grid with rows, which the program
// reports when VAREK_FIRST_PAINT_REPORT is set (see shell/startup.h). The
// median of a few runs, wall time, and the program's processor time.
//
// Usage: varek_window_start_bench DIR [--runs N] [--varek PATH]
#include "bench/window_start.h"

#include <QCoreApplication>
#include <QDir>

#include <cstdio>

using namespace varek;

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    QStringList args = app.arguments().mid(1);
    int runs = 5;
    QString varek = QCoreApplication::applicationDirPath() + QStringLiteral("/varek");
    for (int i = 0; i + 1 < args.size();) {
        if (args[i] == QLatin1String("--runs")) {
            runs = std::max(1, args[i + 1].toInt());
            args.remove(i, 2);
        } else if (args[i] == QLatin1String("--varek")) {
            varek = args[i + 1];
            args.remove(i, 2);
        } else {
            ++i;
        }
    }
    if (args.size() != 1) {
        std::fprintf(stderr, "usage: %s DIR [--runs N] [--varek PATH]\n", argv[0]);
        return 2;
    }
    const WindowStart s = measureWindowStart(varek, QDir(args[0]).absolutePath(), runs);
    if (!s.ok) {
        std::fprintf(stderr, "%s\n", qPrintable(s.error));
        return 1;
    }
    std::printf("window start, exec to the first paint of rows (median of %d): %.1f ms wall, %.1f ms of "
                "processor time; max RSS %.1f MiB   goal <= 400 ms\n",
                runs, s.wallMs, s.cpuMs, s.maxRssKiB / 1024.0);
    return 0;
}
