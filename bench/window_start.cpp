#include "bench/window_start.h"

#include "bench/child_process.h"

#include <QByteArray>
#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <algorithm>
#include <cstdlib>
#include <ctime>
#include <vector>

namespace varek {

namespace {

qint64 monotonicNs() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<qint64>(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v.empty() ? 0 : v[v.size() / 2];
}

} // namespace

WindowStart measureWindowStart(const QString& varek, const QString& registerDir, int runs, bool settled) {
    WindowStart result;
    QTemporaryDir home;
    if (!home.isValid() || !QFile::link(registerDir, home.filePath(QStringLiteral("Data")))) {
        result.error = QStringLiteral("cannot lay a temporary place for %1").arg(registerDir);
        return result;
    }
    const QByteArray program = QFile::encodeName(varek);
    const QByteArray homePath = QFile::encodeName(home.path());
    std::vector<double> wall, cpu, rss;
    for (int r = 0; r < runs; ++r) {
        const qint64 start = monotonicNs();
        const ChildRun run = runChild(program, {},
                                      {{"QT_QPA_PLATFORM", "offscreen"},
                                       {"VAREK_HOME", homePath},
                                       {"VAREK_FIRST_PAINT_REPORT", settled ? "settled" : "1"}},
                                      false, true);
        const QByteArray& text = run.output;
        const int at = text.indexOf("first-paint ");
        if (!run.exited || run.exitCode != 0 || at < 0) {
            result.error =
                QStringLiteral("%1 did not report its first paint (status %2)").arg(varek).arg(run.status);
            return result;
        }
        const qint64 painted = text.mid(at + 12).trimmed().toLongLong();
        wall.push_back((painted - start) / 1e6);
        cpu.push_back(run.cpuMs);
        rss.push_back(double(run.maxRssKiB));
    }
    result.ok = true;
    result.wallMs = median(wall);
    result.cpuMs = median(cpu);
    result.maxRssKiB = long(median(rss));
    return result;
}

} // namespace varek
