#include "pg/tests/pg_server.h"

#include "pg/connection.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <grp.h>
#include <pwd.h>
#include <stdexcept>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

extern char** environ;

namespace varek::test {

namespace {

const QString kBinDir = QStringLiteral("/usr/lib/postgresql/15/bin");
const QString kPort = QStringLiteral("5432");
const QString kPrefix = QStringLiteral("varek-pg-");

// Runs argv with stdin from /dev/null and stdout and stderr appended to log,
// as uid/gid when drop is set; returns the exit status (-1: not run).
int runProcess(const QStringList& args, const QString& log, bool drop, uid_t uid, gid_t gid) {
    std::vector<QByteArray> argBytes;
    for (const QString& a : args)
        argBytes.push_back(a.toLocal8Bit());
    std::vector<char*> argv;
    for (QByteArray& a : argBytes)
        argv.push_back(a.data());
    argv.push_back(nullptr);
    // The server speaks English and keeps the C locale, whatever the machine's.
    std::vector<QByteArray> envBytes;
    for (char** e = environ; *e; ++e)
        if (qstrncmp(*e, "LC_ALL=", 7) != 0) envBytes.emplace_back(*e);
    envBytes.emplace_back("LC_ALL=C");
    std::vector<char*> envp;
    for (QByteArray& e : envBytes)
        envp.push_back(e.data());
    envp.push_back(nullptr);
    const QByteArray logPath = log.toLocal8Bit();

    const pid_t pid = ::fork();
    if (pid < 0) return -1;
    if (pid == 0) {
        const int in = ::open("/dev/null", O_RDONLY);
        const int out = ::open(logPath.constData(), O_WRONLY | O_CREAT | O_APPEND, 0644);
        if (in < 0 || out < 0) ::_exit(126);
        ::dup2(in, 0);
        ::dup2(out, 1);
        ::dup2(out, 2);
        if (drop && (::setgroups(0, nullptr) != 0 || ::setgid(gid) != 0 || ::setuid(uid) != 0)) ::_exit(125);
        ::execve(argv[0], argv.data(), envp.data());
        ::_exit(127);
    }
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

QString tailOf(const QString& path) {
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly)) return QString();
    const QByteArray all = f.readAll();
    return QString::fromLocal8Bit(all.right(2000));
}

// Clusters of test binaries that ended without stopping theirs: each
// directory names its owner's pid; a dead owner's cluster is stopped and removed.
void removeStaleClusters() {
    const QDir tmp(QStringLiteral("/tmp"));
    for (const QFileInfo& dir :
         tmp.entryInfoList({kPrefix + QLatin1Char('*')}, QDir::Dirs | QDir::NoDotAndDotDot)) {
        QFile ownerFile(dir.filePath() + QStringLiteral("/owner.pid"));
        if (!ownerFile.open(QIODevice::ReadOnly)) continue;
        bool ok = false;
        const pid_t owner = pid_t(ownerFile.readAll().trimmed().toInt(&ok));
        if (!ok || owner <= 0 || ::kill(owner, 0) == 0 || errno != ESRCH) continue;
        struct stat st {};
        if (::stat(QFile::encodeName(dir.filePath()).constData(), &st) != 0) continue;
        const bool root = ::geteuid() == 0;
        if (!root && st.st_uid != ::geteuid()) continue;
        const QString data = dir.filePath() + QStringLiteral("/data");
        if (QFileInfo::exists(data + QStringLiteral("/postmaster.pid")))
            runProcess({kBinDir + QStringLiteral("/pg_ctl"), QStringLiteral("stop"), QStringLiteral("-D"),
                        data, QStringLiteral("-m"), QStringLiteral("immediate")},
                       QStringLiteral("/dev/null"), root, st.st_uid, st.st_gid);
        QDir(dir.filePath()).removeRecursively();
    }
}

} // namespace

TestPgServer& TestPgServer::shared() {
    static TestPgServer server;
    return server;
}

TestPgServer::TestPgServer() {
    if (!QFileInfo(kBinDir + QStringLiteral("/initdb")).isExecutable())
        throw std::runtime_error("PostgreSQL 15 is not installed (no /usr/lib/postgresql/15/bin/initdb): "
                                 "run tools/install-deps.sh");
    removeStaleClusters();

    m_dropPrivileges = ::geteuid() == 0;
    if (m_dropPrivileges) {
        const passwd* pw = ::getpwnam("postgres");
        m_uid = pw ? pw->pw_uid : 65534;
        m_gid = pw ? pw->pw_gid : 65534;
    } else {
        m_uid = ::geteuid();
        m_gid = ::getegid();
    }

    QByteArray pattern = QFile::encodeName(QStringLiteral("/tmp/") + kPrefix + QStringLiteral("XXXXXX"));
    if (!::mkdtemp(pattern.data())) throw std::runtime_error("cannot create a temporary directory in /tmp");
    m_base = QFile::decodeName(pattern);
    {
        QFile owner(m_base + QStringLiteral("/owner.pid"));
        if (!owner.open(QIODevice::WriteOnly)) throw std::runtime_error("cannot write owner.pid");
        owner.write(QByteArray::number(qint64(::getpid())));
    }
    startWatchdog();
    if (m_dropPrivileges && ::chown(pattern.constData(), m_uid, m_gid) != 0)
        throw std::runtime_error("cannot give the temporary directory to the server's user");

    runTool({binDir() + QStringLiteral("/initdb"), QStringLiteral("-D"), m_base + QStringLiteral("/data"),
             QStringLiteral("-A"), QStringLiteral("trust"), QStringLiteral("-U"), QStringLiteral("postgres"),
             QStringLiteral("-E"), QStringLiteral("UTF8"), QStringLiteral("--locale=C"),
             QStringLiteral("--no-sync"), QStringLiteral("--no-instructions")});
    start();
}

TestPgServer::~TestPgServer() {
    if (m_base.isEmpty()) return;
    if (QFileInfo::exists(m_base + QStringLiteral("/data/postmaster.pid")))
        runProcess({binDir() + QStringLiteral("/pg_ctl"), QStringLiteral("stop"), QStringLiteral("-D"),
                    m_base + QStringLiteral("/data"), QStringLiteral("-m"), QStringLiteral("immediate")},
                   QStringLiteral("/dev/null"), m_dropPrivileges, m_uid, m_gid);
    QDir(m_base).removeRecursively();
    if (m_watchdogPipe >= 0) ::close(m_watchdogPipe);
}

// A shell that waits for the end of this process (its pipe's end of file)
// and then stops the cluster and removes the directory: a crashed or killed
// test binary leaves nothing running.
void TestPgServer::startWatchdog() {
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0) return;
    const QString asUser =
        m_dropPrivileges
            ? QStringLiteral("setpriv --reuid=%1 --regid=%2 --clear-groups ").arg(m_uid).arg(m_gid)
            : QString();
    const QByteArray script =
        QStringLiteral(
            "while read -r _; do :; done; %1'%2/pg_ctl' stop -D '%3/data' -m immediate; rm -rf '%3'")
            .arg(asUser, binDir(), m_base)
            .toLocal8Bit();
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::setsid();
        const int null = ::open("/dev/null", O_WRONLY);
        ::dup2(fds[0], 0);
        if (null >= 0) {
            ::dup2(null, 1);
            ::dup2(null, 2);
        }
        ::execl("/bin/sh", "sh", "-c", script.constData(), static_cast<char*>(nullptr));
        ::_exit(127);
    }
    ::close(fds[0]);
    if (pid < 0) {
        ::close(fds[1]);
        return;
    }
    m_watchdogPipe = fds[1];
}

void TestPgServer::runTool(const QStringList& args) const {
    // The tools' own output; the server writes server.log itself, as its user.
    const QString log = m_base + QStringLiteral("/tools.log");
    const int status = runProcess(args, log, m_dropPrivileges, m_uid, m_gid);
    if (status != 0)
        throw std::runtime_error(QStringLiteral("%1 failed (exit %2): %3\n%4")
                                     .arg(QFileInfo(args.first()).fileName())
                                     .arg(status)
                                     .arg(tailOf(log), tailOf(m_base + QStringLiteral("/server.log")))
                                     .toStdString());
}

void TestPgServer::start() {
    const QString options = QStringLiteral("-c listen_addresses='' -c unix_socket_directories='%1' -p %2 "
                                           "-c fsync=off -c full_page_writes=off -c synchronous_commit=off "
                                           "-c shared_buffers=16MB -c max_connections=40")
                                .arg(m_base, kPort);
    runTool({binDir() + QStringLiteral("/pg_ctl"), QStringLiteral("start"), QStringLiteral("-w"),
             QStringLiteral("-t"), QStringLiteral("60"), QStringLiteral("-D"),
             m_base + QStringLiteral("/data"), QStringLiteral("-l"), m_base + QStringLiteral("/server.log"),
             QStringLiteral("-o"), options});
    m_running = true;
}

void TestPgServer::stop() {
    runTool({binDir() + QStringLiteral("/pg_ctl"), QStringLiteral("stop"), QStringLiteral("-w"),
             QStringLiteral("-D"), m_base + QStringLiteral("/data"), QStringLiteral("-m"),
             QStringLiteral("fast")});
    m_running = false;
}

QString TestPgServer::binDir() const {
    return kBinDir;
}

QString TestPgServer::socketDir() const {
    return m_base;
}

QString TestPgServer::urlOf(const QString& database) const {
    return QStringLiteral("postgresql:///%1?host=%2&port=%3&user=postgres").arg(database, m_base, kPort);
}

QString TestPgServer::createDatabase() {
    if (!m_running) start();
    const QString name = QStringLiteral("varek_test_%1").arg(++m_databases);
    PgConnection admin(urlOf(QStringLiteral("postgres")));
    admin.connect();
    admin.exec(QStringLiteral("CREATE DATABASE %1").arg(pgQuoteIdentifier(name)));
    return urlOf(name);
}

} // namespace varek::test
