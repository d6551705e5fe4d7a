// The requests to end by signal: the real program, run offscreen over a
// temporary home, closes as the operator's close does; and a second signal
// while the first is being carried out ends the process at once.

#include "shell/quit_signals.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

using namespace varek;

namespace {

// Waits up to timeout for the process to end; its wait status, or nothing.
std::optional<int> waitFor(pid_t pid, std::chrono::milliseconds timeout) {
    const auto end = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        int status = 0;
        if (::waitpid(pid, &status, WNOHANG) == pid) return status;
        if (std::chrono::steady_clock::now() > end) return std::nullopt;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
}

// Ends a process that a failed check left running, and reaps it.
void reap(pid_t pid) {
    ::kill(pid, SIGKILL);
    ::waitpid(pid, nullptr, 0);
}

// One byte from fd within timeout, or 0.
char readByte(int fd, int timeoutMs) {
    pollfd p{fd, POLLIN, 0};
    char c = 0;
    if (::poll(&p, 1, timeoutMs) == 1 && ::read(fd, &c, 1) == 1) return c;
    return 0;
}

bool holdsOpen(pid_t pid, const QString& path) {
    const QDir fds(QStringLiteral("/proc/%1/fd").arg(pid));
    for (const QString& fd : fds.entryList(QDir::NoDotAndDotDot | QDir::AllEntries | QDir::System))
        if (QFile::symLinkTarget(fds.filePath(fd)) == path) return true;
    return false;
}

QByteArray readFile(const QString& path) {
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

pid_t spawn(const QByteArray& program, const QList<QByteArray>& args, const QList<QByteArray>& env) {
    const pid_t pid = ::fork();
    if (pid != 0) return pid;
    for (const QByteArray& e : env)
        ::putenv(const_cast<char*>(e.constData()));
    std::vector<char*> argv{const_cast<char*>(program.constData())};
    for (const QByteArray& a : args)
        argv.push_back(const_cast<char*>(a.constData()));
    argv.push_back(nullptr);
    const int null = ::open("/dev/null", O_WRONLY);
    ::dup2(null, STDOUT_FILENO);
    ::execv(program.constData(), argv.data());
    ::_exit(127);
}

} // namespace

// SIGTERM, SIGINT, SIGHUP: the window closes as the operator's close does
// (register closed, settings written, the data directory free again) and the
// program ends with 128 + the signal's number instead of being killed.
TEST(QuitSignals, EachSignalClosesTheProgramAsTheOperatorDoes) {
    for (const int sig : {SIGTERM, SIGINT, SIGHUP}) {
        SCOPED_TRACE(::strsignal(sig));
        QTemporaryDir home;
        ASSERT_TRUE(home.isValid());
        const QString data = home.filePath(QStringLiteral("Data"));
        const pid_t maker = spawn(VAREK_MKREGISTER, {QFile::encodeName(data)}, {});
        const auto made = waitFor(maker, std::chrono::seconds(30));
        ASSERT_TRUE(made && WIFEXITED(*made) && WEXITSTATUS(*made) == 0);
        const QString settings = home.filePath(QStringLiteral("settings.ini"));
        {
            QFile f(settings);
            ASSERT_TRUE(f.open(QIODevice::WriteOnly));
            f.write("[1]\ncom_zintor=7\n");
        }

        const pid_t pid = spawn(
            VAREK_EXE, {}, {"QT_QPA_PLATFORM=offscreen", "VAREK_HOME=" + QFile::encodeName(home.path())});
        const QString lock = data + QStringLiteral("/.varek.lock");
        const auto started = std::chrono::steady_clock::now();
        while (!holdsOpen(pid, lock) && std::chrono::steady_clock::now() - started < std::chrono::seconds(30))
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        ASSERT_TRUE(holdsOpen(pid, lock)) << "the program did not open its register";

        ASSERT_EQ(::kill(pid, sig), 0);
        const auto status = waitFor(pid, std::chrono::seconds(5));
        if (!status) reap(pid);
        ASSERT_TRUE(status) << "still running 5 s after the signal";
        ASSERT_TRUE(WIFEXITED(*status)) << "killed by signal " << WTERMSIG(*status);
        EXPECT_EQ(WEXITSTATUS(*status), 128 + sig);
        EXPECT_EQ(readFile(settings), QByteArray("[1]\ncom_zintor=7\ncom_token=0\n"));
        const int fd = ::open(QFile::encodeName(lock).constData(), O_RDWR);
        ASSERT_GE(fd, 0);
        EXPECT_EQ(::flock(fd, LOCK_EX | LOCK_NB), 0);
        ::close(fd);
    }
}

// While the first request is in hand (here a close that does not return), a
// second signal ends the process at once by its default action.
TEST(QuitSignals, SecondSignalEndsAtOnce) {
    int toParent[2];
    int never[2];
    ASSERT_EQ(::pipe(toParent), 0);
    ASSERT_EQ(::pipe(never), 0);
    const pid_t pid = ::fork();
    if (pid == 0) {
        int argc = 1;
        char name[] = "quit_signals_child";
        char* argv[] = {name, nullptr};
        QCoreApplication app(argc, argv);
        QuitSignals quit([&](int) {
            [[maybe_unused]] const ssize_t w = ::write(toParent[1], "c", 1);
            char b;
            [[maybe_unused]] const ssize_t r = ::read(never[0], &b, 1); // a close that hangs
            ::_exit(0);
        });
        [[maybe_unused]] const ssize_t w = ::write(toParent[1], "r", 1);
        app.exec();
        ::_exit(1);
    }
    ::close(toParent[1]);
    EXPECT_EQ(readByte(toParent[0], 10000), 'r');
    ::kill(pid, SIGTERM);
    EXPECT_EQ(readByte(toParent[0], 5000), 'c');
    ::kill(pid, SIGTERM);
    const auto status = waitFor(pid, std::chrono::seconds(5));
    if (!status) reap(pid);
    ASSERT_TRUE(status) << "the second signal did not end the process";
    EXPECT_TRUE(WIFSIGNALED(*status) && WTERMSIG(*status) == SIGTERM);
    ::close(toParent[0]);
    ::close(never[0]);
    ::close(never[1]);
}
