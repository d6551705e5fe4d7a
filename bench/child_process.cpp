#include "bench/child_process.h"

#include <fcntl.h>
#include <sched.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace varek {

ChildRun runChild(const QByteArray& program, const QList<QByteArray>& args,
                  const QList<QPair<QByteArray, QByteArray>>& env, bool discardOutput, bool quiet) {
    ChildRun run;
    int out[2] = {-1, -1};
    if (!discardOutput && ::pipe(out) != 0) return run;
    std::vector<char*> argv;
    argv.push_back(const_cast<char*>(program.constData()));
    for (const QByteArray& a : args)
        argv.push_back(const_cast<char*>(a.constData()));
    argv.push_back(nullptr);
    const pid_t pid = ::fork();
    if (pid == 0) {
        const int null = ::open("/dev/null", O_WRONLY);
        if (discardOutput) {
            ::dup2(null, 1);
        } else {
            ::dup2(out[1], 1);
            ::close(out[0]);
            ::close(out[1]);
        }
        if (quiet) ::dup2(null, 2);
        for (const auto& [name, value] : env)
            ::setenv(name.constData(), value.constData(), 1);
        ::execv(program.constData(), argv.data());
        ::_exit(127);
    }
    if (!discardOutput) {
        ::close(out[1]);
        char buf[4096];
        for (ssize_t n; (n = ::read(out[0], buf, sizeof buf)) > 0;)
            run.output.append(buf, n);
        ::close(out[0]);
    }
    if (pid < 0) return run;
    rusage ru{};
    ::wait4(pid, &run.status, 0, &ru);
    run.exited = WIFEXITED(run.status);
    run.exitCode = run.exited ? WEXITSTATUS(run.status) : -1;
    run.cpuMs = ru.ru_utime.tv_sec * 1000.0 + ru.ru_utime.tv_usec / 1000.0 + ru.ru_stime.tv_sec * 1000.0 +
                ru.ru_stime.tv_usec / 1000.0;
    run.maxRssKiB = ru.ru_maxrss;
    return run;
}

int stayOnThisProcessor() {
    const int cpu = ::sched_getcpu();
    if (cpu < 0) return -1;
    cpu_set_t set;
    CPU_ZERO(&set);
    CPU_SET(cpu, &set);
    return ::sched_setaffinity(0, sizeof set, &set) == 0 ? cpu : -1;
}

} // namespace varek
