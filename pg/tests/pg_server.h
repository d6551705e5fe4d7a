#pragma once

// A PostgreSQL 15 cluster in a temporary directory, one for each test binary:
// initdb and pg_ctl run as an unprivileged user when the tests run as root
// (initdb refuses root): the system user postgres, or nobody where it is
// missing. The server listens only on a Unix socket in its own directory and
// trusts every local connection, so tests connect as user postgres without a
// password. Durability is off (fsync=off): the data is thrown away.
//
// A cluster left behind by a test binary that crashed or was killed is
// stopped and removed by a watchdog process that waits for the binary's end,
// and failing that by the next binary that starts a cluster. A machine
// without PostgreSQL 15 fails the test that asks for the server: the tests
// need it and tools/install-deps.sh installs it.

#include <QString>

namespace varek::test {

class TestPgServer {
public:
    // Started on first use, stopped and removed at the end of the process.
    static TestPgServer& shared();

    // A fresh empty database; returns its connection URL.
    QString createDatabase();
    // Stops the server (fast shutdown: the clients' connections are cut),
    // and starts it again on the same socket with the same data.
    void stop();
    void start();
    bool running() const { return m_running; }

    QString binDir() const;    // /usr/lib/postgresql/15/bin
    QString socketDir() const; // the directory of the server's socket
    // The URL of database name on this server, as user postgres.
    QString urlOf(const QString& database) const;

    TestPgServer(const TestPgServer&) = delete;
    TestPgServer& operator=(const TestPgServer&) = delete;
    ~TestPgServer();

private:
    TestPgServer();
    void runTool(const QStringList& args) const; // as the server's user; throws with the log's tail
    void startWatchdog();

    QString m_base; // the temporary directory: data/, the socket, server.log
    unsigned m_uid = 0;
    unsigned m_gid = 0;
    bool m_dropPrivileges = false;
    bool m_running = false;
    int m_watchdogPipe = -1;
    int m_databases = 0;
};

} // namespace varek::test
