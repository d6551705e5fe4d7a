#pragma once

// Running a piece of a test as the unprivileged user nobody: the tests run as
// root, who may open any device, so a refused permission is only seen in a
// child that has given root up.

#include <QByteArray>

#include <functional>
#include <grp.h>
#include <sys/wait.h>
#include <unistd.h>

namespace varek::test {

constexpr uid_t kNobody = 65534;
constexpr gid_t kNoGroup = 65534;

// Runs body in a forked child that has dropped to nobody, and returns what
// the child wrote to its output ("could not drop privileges" when it could not).
inline QByteArray runAsNobody(const std::function<QByteArray()>& body) {
    int out[2];
    if (::pipe(out) != 0) return "pipe failed";
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::close(out[0]);
        QByteArray result;
        if (::setgroups(0, nullptr) != 0 || ::setgid(kNoGroup) != 0 || ::setuid(kNobody) != 0)
            result = "could not drop privileges";
        else
            result = body();
        (void)!::write(out[1], result.constData(), size_t(result.size()));
        ::_exit(0);
    }
    ::close(out[1]);
    QByteArray got;
    char buf[4096];
    ssize_t n;
    while ((n = ::read(out[0], buf, sizeof buf)) > 0)
        got.append(buf, n);
    ::close(out[0]);
    int status = 0;
    ::waitpid(pid, &status, 0);
    return got;
}

} // namespace varek::test
