#include "bench/window_start.h"

#include <QByteArray>
#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <algorithm>
#include <cstdlib>
#include <ctime>
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>
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

WindowStart measureWindowStart(const QString& varek, const QString& registerDir, int runs) {
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
        int out[2];
        if (::pipe(out) != 0) {
            result.error = QStringLiteral("pipe failed");
            return result;
        }
        const qint64 start = monotonicNs();
        const pid_t pid = ::fork();
        if (pid == 0) {
            ::dup2(out[1], 1);
            ::close(out[0]);
            ::close(out[1]);
            const int null = ::open("/dev/null", O_WRONLY);
            ::dup2(null, 2);
            ::setenv("QT_QPA_PLATFORM", "offscreen", 1);
            ::setenv("VAREK_HOME", homePath.constData(), 1);
            ::setenv("VAREK_FIRST_PAINT_REPORT", "1", 1);
            ::execl(program.constData(), program.constData(), nullptr);
            ::_exit(127);
        }
        ::close(out[1]);
        QByteArray text;
        char buf[256];
        for (ssize_t n; (n = ::read(out[0], buf, sizeof buf)) > 0;)
            text.append(buf, n);
        ::close(out[0]);
        int status = 0;
        rusage ru{};
        ::wait4(pid, &status, 0, &ru);
        const int at = text.indexOf("first-paint ");
        if (!WIFEXITED(status) || WEXITSTATUS(status) != 0 || at < 0) {
            result.error =
                QStringLiteral("%1 did not report its first paint (status %2)").arg(varek).arg(status);
            return result;
        }
        const qint64 painted = text.mid(at + 12).trimmed().toLongLong();
        wall.push_back((painted - start) / 1e6);
        cpu.push_back(ru.ru_utime.tv_sec * 1000.0 + ru.ru_utime.tv_usec / 1000.0 +
                      ru.ru_stime.tv_sec * 1000.0 + ru.ru_stime.tv_usec / 1000.0);
        rss.push_back(double(ru.ru_maxrss));
    }
    result.ok = true;
    result.wallMs = median(wall);
    result.cpuMs = median(cpu);
    result.maxRssKiB = long(median(rss));
    return result;
}

} // namespace varek
