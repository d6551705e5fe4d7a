// The connection and the register's tables over a real PostgreSQL server.

#include "pg/connection.h"
#include "pg/schema.h"
#include "pg/tests/pg_server.h"
#include "pg/tests/schema_v1.h"

#include <QDate>
#include <QFile>
#include <QFileInfo>
#include <QProcess>

#include <gtest/gtest.h>
#include <poll.h>
#include <unistd.h>

using namespace varek;
using varek::test::TestPgServer;

namespace {

// A fresh database on the shared server, connected.
struct Db {
    QString url = TestPgServer::shared().createDatabase();
    PgConnection conn{url};
    Db() { conn.connect(); }
};

EPgError errorOf(const std::function<void()>& body) {
    try {
        body();
    } catch (const EPgError& e) {
        return e;
    }
    ADD_FAILURE() << "no EPgError thrown";
    return EPgError(QString(), QString(), false);
}

// Waits up to five seconds for notifications on conn.
QList<PgConnection::Notification> waitForNotifications(PgConnection& conn) {
    for (int i = 0; i < 50; ++i) {
        QList<PgConnection::Notification> got = conn.takeNotifications();
        if (!got.isEmpty()) return got;
        pollfd p{conn.socket(), POLLIN, 0};
        ::poll(&p, 1, 100);
    }
    return {};
}

} // namespace

TEST(PgConnection, ParametersTravelAsTextAndComeBackExactly) {
    Db db;
    const QString odd = QStringLiteral("O'Brien \"кавычки\" \\ $1 ;-- %s \t end");
    const QVariantList values{QStringLiteral("Ёжик ёлка Щ"), QVariant(), odd, QString(""), QDate(2024, 2, 29),
                              qint64(-2147483648LL),         true};
    for (const QVariant& v : values) {
        SCOPED_TRACE(v.toString().toStdString());
        const PgResult r = db.conn.exec(QStringLiteral("SELECT $1::text AS v, $1 IS NULL AS is_null"), {v});
        ASSERT_EQ(r.rows(), 1);
        EXPECT_EQ(r.isNull(0, 0), v.isNull());
        EXPECT_EQ(r.text(0, r.column("is_null")), v.isNull() ? "t" : "f");
        QString expected = v.toString();
        if (v.typeId() == QMetaType::QDate) expected = "2024-02-29";
        if (v.typeId() == QMetaType::Bool) expected = "true";
        EXPECT_EQ(r.text(0, 0), expected);
    }
    EXPECT_EQ(db.conn.exec(QStringLiteral("SELECT $1::integer + 1"), {41}).integer(0, 0), 42);
    EXPECT_EQ(db.conn.exec(QStringLiteral("SELECT 1")).column("nothing"), -1);
}

TEST(PgConnection, TextWithNulIsRefusedNotCut) {
    Db db;
    const EPgError e =
        errorOf([&] { db.conn.exec(QStringLiteral("SELECT $1::text"), {QString("ab") + QChar(0) + "c"}); });
    EXPECT_FALSE(e.connectionLost());
    EXPECT_TRUE(db.conn.connected());
}

TEST(PgConnection, RefusalsCarryTheirSqlStateAndLeaveTheLinkUsable) {
    Db db;
    initPgSchema(db.conn);
    db.conn.exec(QStringLiteral("INSERT INTO obj (obj_num, obj_name) VALUES (1, 'Склад')"));
    const EPgError dup =
        errorOf([&] { db.conn.exec(QStringLiteral("INSERT INTO obj (obj_num) VALUES ($1)"), {1}); });
    EXPECT_EQ(dup.sqlState(), "23505");
    EXPECT_FALSE(dup.connectionLost());
    EXPECT_TRUE(dup.message().startsWith("Сервер базы данных не выполнил запрос"))
        << dup.message().toStdString();

    const EPgError syntax = errorOf([&] { db.conn.exec(QStringLiteral("SELEC 1")); });
    EXPECT_EQ(syntax.sqlState(), "42601");

    // The same pair of key and controller twice; the same key on two controllers is fine.
    db.conn.exec(QStringLiteral("INSERT INTO tc (token_code, ser_num) VALUES ('01AB', 7), ('01AB', 8)"));
    EXPECT_EQ(errorOf([&] {
                  db.conn.exec(QStringLiteral("INSERT INTO tc (token_code, ser_num) VALUES ('01AB', 7)"));
              }).sqlState(),
              "23505");
    EXPECT_EQ(db.conn.exec(QStringLiteral("SELECT count(*) FROM obj")).integer(0, 0), 1);
}

TEST(PgConnection, TransactionsCommitAndRollBack) {
    Db db;
    db.conn.exec(QStringLiteral("CREATE TABLE t (v text)"));
    db.conn.begin();
    db.conn.exec(QStringLiteral("INSERT INTO t VALUES ('отменено')"));
    db.conn.rollback();
    db.conn.begin();
    const PgResult inserted = db.conn.exec(QStringLiteral("INSERT INTO t VALUES ('записано'), ('ещё')"));
    db.conn.commit();
    EXPECT_EQ(inserted.affected(), 2);
    const PgResult r = db.conn.exec(QStringLiteral("SELECT v FROM t"));
    ASSERT_EQ(r.rows(), 2);
    EXPECT_EQ(r.text(0, 0), "записано");

    PgConnection never(db.url);
    never.rollback(); // not connected: nothing to undo, nothing thrown
}

TEST(PgConnection, ConnectFailuresSayWhatIsWrong) {
    TestPgServer& server = TestPgServer::shared();
    struct Case {
        QString url;
        const char* messageStart;
        bool lost;
    };
    const Case cases[] = {
        {server.urlOf("no_such_db"), "На сервере базы данных нет базы «no_such_db»", false},
        {QStringLiteral("postgresql:///postgres?host=%1&port=5432&user=nobody_here").arg(server.socketDir()),
         "Сервер базы данных (база «postgres»", false},
        {QStringLiteral("postgresql:///postgres?host=/nonexistent/dir&port=5432"),
         "Нет связи с сервером базы данных", true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.url.toStdString());
        PgConnection conn(c.url);
        const EPgError e = errorOf([&] { conn.connect(); });
        EXPECT_TRUE(e.message().startsWith(QString::fromUtf8(c.messageStart))) << e.message().toStdString();
        EXPECT_EQ(e.connectionLost(), c.lost);
        EXPECT_EQ(e.sqlState(), "");
        EXPECT_FALSE(conn.connected());
    }
    // A refused login points at the password files.
    PgConnection conn(cases[1].url);
    EXPECT_TRUE(errorOf([&] { conn.connect(); }).message().contains("~/.pgpass"));
}

TEST(PgConnection, LostServerGivesConnectionLostAndReconnectWorks) {
    Db db;
    initPgSchema(db.conn);
    db.conn.listen(QStringLiteral("varek_changes"));
    TestPgServer::shared().stop();
    const EPgError onExec =
        errorOf([&] { db.conn.exec(QStringLiteral("INSERT INTO obj (obj_num) VALUES (1)")); });
    const EPgError onListen = errorOf([&] { db.conn.takeNotifications(); });
    PgConnection fresh(db.url);
    const EPgError onConnect = errorOf([&] { fresh.connect(); });
    TestPgServer::shared().start();

    for (const EPgError& e : {onExec, onListen}) {
        EXPECT_TRUE(e.connectionLost());
        EXPECT_EQ(e.sqlState(), "");
        EXPECT_TRUE(e.message().startsWith("Связь с сервером базы данных потеряна; изменение не записано"))
            << e.message().toStdString();
    }
    EXPECT_TRUE(onConnect.connectionLost());
    EXPECT_TRUE(onConnect.message().startsWith("Нет связи с сервером базы данных"))
        << onConnect.message().toStdString();
    EXPECT_FALSE(db.conn.connected());

    db.conn.connect();
    EXPECT_EQ(db.conn.exec(QStringLiteral("SELECT count(*) FROM obj")).integer(0, 0), 0);
}

TEST(PgConnection, ChangesNotifyOtherConnectionsWithTablePidAndRows) {
    Db db;
    initPgSchema(db.conn);
    db.conn.listen(QStringLiteral("varek_changes"));
    EXPECT_GE(db.conn.socket(), 0);
    PgConnection other(db.url);
    other.connect();
    ASSERT_NE(other.backendPid(), db.conn.backendPid());

    // One statement that changes many rows notifies once.
    other.exec(
        QStringLiteral("INSERT INTO tokens (token_code) SELECT 'K' || g FROM generate_series(1, 5) g"));
    QList<PgConnection::Notification> got = waitForNotifications(db.conn);
    ASSERT_EQ(got.size(), 1);
    EXPECT_EQ(got[0].channel, "varek_changes");
    EXPECT_EQ(got[0].payload, QStringLiteral("tokens %1 1-5").arg(other.backendPid()));
    EXPECT_EQ(got[0].pid, other.backendPid());

    // A transaction notifies each statement that changed rows at its
    // commit, with its own pid; one that changed none is not told;
    // TRUNCATE names every row.
    other.exec(QStringLiteral("INSERT INTO tc (token_code, ser_num) VALUES ('K1', 1), ('K2', 2)"));
    waitForNotifications(db.conn);
    db.conn.begin();
    db.conn.exec(QStringLiteral("UPDATE tokens SET row_version = row_version + 1 WHERE token_code IN "
                                "('K1', 'K2', 'K4')"));
    db.conn.exec(QStringLiteral("DELETE FROM tokens WHERE token_code = 'none'"));
    db.conn.exec(QStringLiteral("DELETE FROM tokens WHERE token_code = 'K5'"));
    db.conn.exec(QStringLiteral("TRUNCATE tc"));
    db.conn.commit();
    got = waitForNotifications(db.conn);
    QStringList payloads;
    for (const auto& n : got)
        payloads << n.payload;
    const QString own = QString::number(db.conn.backendPid());
    EXPECT_EQ(payloads,
              QStringList({"tokens " + own + " 1-2,4", "tokens " + own + " 5", "tc " + own + " *"}));

    // Rows beyond what a notification holds: every row.
    other.exec(
        QStringLiteral("INSERT INTO tokens (token_code) SELECT 'M' || g FROM generate_series(1, 6000) g"));
    got = waitForNotifications(db.conn);
    ASSERT_EQ(got.size(), 1);
    EXPECT_EQ(got[0].payload, QStringLiteral("tokens %1 6-6005").arg(other.backendPid()));
    other.exec(QStringLiteral("DELETE FROM tokens WHERE row_id % 2 = 0"));
    got = waitForNotifications(db.conn);
    ASSERT_EQ(got.size(), 1);
    EXPECT_EQ(got[0].payload, QStringLiteral("tokens %1 *").arg(other.backendPid()));
}

TEST(PgSchema, ChangedRowsAreReadFromTheirRanges) {
    struct Case {
        const char* rows;
        size_t cap;
        bool read;
        std::vector<quint32> ids;
    };
    const Case cases[] = {
        {"5", 10, true, {5}},
        {"1-3,7,9-10", 10, true, {1, 2, 3, 7, 9, 10}},
        {"1-10", 10, true, {1, 2, 3, 4, 5, 6, 7, 8, 9, 10}},
        {"1-10,12", 10, false, {}},
        {"1-4294967295", 10, false, {}},
        {"*", 10, false, {}},
        {"", 10, false, {}},
        {"3-1", 10, false, {}},
        {"0", 10, false, {}},
        {"1,,2", 10, false, {}},
        {"4294967296", 10, false, {}},
        {"1-x", 10, false, {}},
    };
    for (const Case& c : cases) {
        std::vector<quint32> ids{99};
        EXPECT_EQ(parsePgChangedRows(QString::fromLatin1(c.rows), ids, c.cap), c.read) << c.rows;
        std::vector<quint32> expected{99};
        expected.insert(expected.end(), c.ids.begin(), c.ids.end());
        EXPECT_EQ(ids, expected) << c.rows;
    }
}

TEST(PgSchema, UpgradeBringsVersion1TablesUpKeepingTheirRows) {
    Db db;
    const EPgError none = errorOf([&] { upgradePgSchema(db.conn); });
    EXPECT_TRUE(none.message().contains("нет таблиц реестра")) << none.message().toStdString();

    initPgSchema(db.conn);
    test::makeSchemaVersion1(db.conn);
    db.conn.exec(QStringLiteral("INSERT INTO obj (obj_num, obj_name) VALUES (1, 'Склад')"));
    const EPgError old = errorOf([&] { checkPgSchema(db.conn); });
    EXPECT_TRUE(old.message().contains("varek-register upgrade")) << old.message().toStdString();

    upgradePgSchema(db.conn);
    EXPECT_EQ(pgSchemaVersion(db.conn), kPgSchemaVersion);
    checkPgSchema(db.conn);
    EXPECT_EQ(db.conn.exec(QStringLiteral("SELECT obj_name FROM obj")).text(0, 0), "Склад");
    db.conn.listen(QStringLiteral("varek_changes"));
    PgConnection other(db.url);
    other.connect();
    other.exec(QStringLiteral("UPDATE obj SET notes = 'x'"));
    const QList<PgConnection::Notification> got = waitForNotifications(db.conn);
    ASSERT_EQ(got.size(), 1);
    EXPECT_EQ(got[0].payload, QStringLiteral("obj %1 1").arg(other.backendPid()));

    const EPgError again = errorOf([&] { upgradePgSchema(db.conn); });
    EXPECT_TRUE(again.message().contains("уже версии 2")) << again.message().toStdString();
}

TEST(PgConnection, CopyInAndOutKeepTextExactly) {
    Db db;
    db.conn.exec(QStringLiteral("CREATE TABLE t (n integer, s text, d date)"));
    const QByteArray rows = QStringLiteral("1\tЁлка ёж\t2024-01-31\n"
                                           "2\t\\N\t\\N\n"
                                           "3\tтаб\\tи\\\\черта 'кавычки'\t1999-12-31\n"
                                           "4\t\t2000-02-29\n")
                                .toUtf8();
    db.conn.copyIn(QStringLiteral("COPY t (n, s, d) FROM STDIN"), rows);
    EXPECT_EQ(db.conn.copyOut(QStringLiteral("COPY (SELECT n, s, d FROM t ORDER BY n) TO STDOUT")), rows);
    EXPECT_TRUE(db.conn.exec(QStringLiteral("SELECT s FROM t WHERE n = 2")).isNull(0, 0));
    EXPECT_EQ(db.conn.exec(QStringLiteral("SELECT s FROM t WHERE n = 3")).text(0, 0),
              "таб\tи\\черта 'кавычки'");

    // Bad data refuses the whole COPY and leaves the link usable.
    const EPgError e =
        errorOf([&] { db.conn.copyIn(QStringLiteral("COPY t (n) FROM STDIN"), "5\nnot a number\n"); });
    EXPECT_EQ(e.sqlState(), "22P02");
    EXPECT_EQ(db.conn.exec(QStringLiteral("SELECT count(*) FROM t")).integer(0, 0), 4);
    // Rows given as they arrive are whole rows; a reader that fails leaves the link usable.
    QByteArray streamed;
    db.conn.copyOut(QStringLiteral("COPY (SELECT n, s, d FROM t ORDER BY n) TO STDOUT"),
                    [&](const QByteArray& part) {
                        EXPECT_TRUE(part.endsWith('\n'));
                        streamed += part;
                    });
    EXPECT_EQ(streamed, rows);
    EXPECT_THROW(
        db.conn.copyOut(QStringLiteral("COPY (SELECT g FROM generate_series(1, 200000) g) TO STDOUT"),
                        [](const QByteArray&) { throw EDatabaseError(QStringLiteral("читатель")); }),
        EDatabaseError);
    EXPECT_EQ(db.conn.exec(QStringLiteral("SELECT count(*) FROM t")).integer(0, 0), 4);
    // A statement that is not a COPY is refused too.
    EXPECT_FALSE(errorOf([&] { db.conn.copyOut(QStringLiteral("SELECT 1")); }).connectionLost());
    EXPECT_TRUE(db.conn.connected());
}

TEST(PgSchema, InitCreatesTheRegisterOnceAtItsVersion) {
    Db db;
    EXPECT_EQ(pgSchemaVersion(db.conn), 0);
    const EPgError missing = errorOf([&] { checkPgSchema(db.conn); });
    EXPECT_TRUE(missing.message().contains("varek-register init")) << missing.message().toStdString();

    initPgSchema(db.conn);
    EXPECT_EQ(pgSchemaVersion(db.conn), kPgSchemaVersion);
    checkPgSchema(db.conn);

    // The fields by their dBASE names, with identity and version per row.
    db.conn.exec(QStringLiteral("INSERT INTO ctrl (obj_num, ctrl_name, ser_num, hard, notes, open_time) "
                                "VALUES (1, 'Вход', 77, 'v2', 'у лифта', 5)"));
    const PgResult r = db.conn.exec(QStringLiteral("SELECT row_id, row_version FROM ctrl"));
    EXPECT_EQ(r.integer(0, 0), 1);
    EXPECT_EQ(r.integer(0, 1), 1);
    db.conn.exec(QStringLiteral("INSERT INTO tokens (token_code, token_card, user_name, give_date, status) "
                                "VALUES ('0123456789ABCDEF', '123.45678', 'Пётр', '2024-05-01', 0)"));
    // Widths are the files': a 17-character code does not fit.
    EXPECT_EQ(errorOf([&] {
                  db.conn.exec(QStringLiteral("INSERT INTO tokens (token_code) VALUES ($1)"),
                               {QString(17, 'A')});
              }).sqlState(),
              "22001");

    const EPgError again = errorOf([&] { initPgSchema(db.conn); });
    EXPECT_TRUE(again.message().contains("уже есть таблицы реестра")) << again.message().toStdString();
    EXPECT_EQ(db.conn.exec(QStringLiteral("SELECT count(*) FROM ctrl")).integer(0, 0), 1);

    db.conn.exec(QStringLiteral("UPDATE varek_schema SET version = %1").arg(kPgSchemaVersion + 1));
    EXPECT_EQ(pgSchemaVersion(db.conn), kPgSchemaVersion + 1);
    const EPgError other = errorOf([&] { checkPgSchema(db.conn); });
    EXPECT_TRUE(other.message().contains(QStringLiteral("версии %1").arg(kPgSchemaVersion + 1)))
        << other.message().toStdString();
    EXPECT_FALSE(other.message().contains("upgrade")) << other.message().toStdString();
}

TEST(PgSchema, InitRefusesADatabaseWithATableOfTheSameNameAndCreatesNothing) {
    Db db;
    db.conn.exec(QStringLiteral("CREATE TABLE tc (x integer)"));
    const EPgError e = errorOf([&] { initPgSchema(db.conn); });
    EXPECT_TRUE(e.message().contains("tc")) << e.message().toStdString();
    EXPECT_EQ(pgSchemaVersion(db.conn), 0);
    EXPECT_TRUE(db.conn.exec(QStringLiteral("SELECT to_regclass('obj')")).isNull(0, 0));
}

// Run by the test below in a child process (VAREK_PG_HOLD set): starts the
// cluster, says where it is, and waits to be killed.
TEST(TestPgServer, HoldsItsClusterUntilKilled) {
    if (qEnvironmentVariableIsEmpty("VAREK_PG_HOLD")) return; // only as the child of the test below
    std::printf("cluster %s\n", TestPgServer::shared().socketDir().toLocal8Bit().constData());
    std::fflush(stdout);
    ::sleep(60);
}

TEST(TestPgServer, ClusterOfAKilledTestBinaryIsStoppedAndRemoved) {
    QProcess child;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("VAREK_PG_HOLD", "1");
    child.setProcessEnvironment(env);
    child.start(QFile::symLinkTarget("/proc/self/exe"),
                {"--gtest_filter=TestPgServer.HoldsItsClusterUntilKilled"});
    QString dir;
    while (dir.isEmpty() && child.waitForReadyRead(60000))
        while (child.canReadLine()) {
            const QString line = QString::fromLocal8Bit(child.readLine()).trimmed();
            if (line.startsWith("cluster ")) dir = line.mid(8);
        }
    ASSERT_FALSE(dir.isEmpty()) << child.readAllStandardError().toStdString();
    ASSERT_TRUE(QFileInfo::exists(dir + "/data/postmaster.pid"));
    QFile pidFile(dir + "/data/postmaster.pid");
    ASSERT_TRUE(pidFile.open(QIODevice::ReadOnly));
    const QByteArray postmaster = pidFile.readLine().trimmed();
    child.kill(); // SIGKILL: no destructor, no atexit
    child.waitForFinished();
    for (int i = 0; i < 100 && QFileInfo::exists(dir); ++i)
        ::usleep(100000);
    EXPECT_FALSE(QFileInfo::exists(dir));
    // The server is gone too (at most a zombie that nobody has reaped).
    QFile stat("/proc/" + postmaster + "/stat");
    if (stat.open(QIODevice::ReadOnly)) {
        EXPECT_TRUE(stat.readAll().contains(") Z ")) << "server still running";
    }
}
