#pragma once

#include "core/errors.h"

#include <QByteArray>
#include <QList>
#include <QString>
#include <QVariant>
#include <QVariantList>

#include <functional>
#include <memory>

// libpq's own types, so that users of this header need not see libpq's.
struct pg_conn;
struct pg_result;

namespace varek {

// One error class for the server's refusals and a lost link. The message is
// Russian and says what to do; sqlState() tells the kinds apart.
class EPgError : public EDatabaseError {
public:
    EPgError(QString message, QString sqlState, bool connectionLost);
    // "23505" unique violation, "40001" serialization, "" when the link is lost
    // or the server could not be reached.
    QString sqlState() const { return m_sqlState; }
    // The server went away or could not be reached.
    bool connectionLost() const { return m_connectionLost; }

private:
    QString m_sqlState;
    bool m_connectionLost;
};

// The rows of one statement's result, in libpq's text format.
class PgResult {
public:
    PgResult() = default;
    explicit PgResult(pg_result* result); // takes ownership

    int rows() const;
    int columns() const;
    bool isNull(int row, int col) const;
    QString text(int row, int col) const; // UTF-8 decoded; "" for NULL
    QByteArray bytes(int row, int col) const;
    qint64 integer(int row, int col) const; // 0 for NULL; throws EPgError when not a number
    int column(const char* name) const;     // -1 when absent
    qint64 affected() const;                // the rows an INSERT, UPDATE, DELETE or COPY touched

private:
    std::shared_ptr<pg_result> m_result;
};

// One connection to the PostgreSQL server of a shared register.
class PgConnection {
public:
    // conninfo: a libpq URL ("postgresql://host/db") or keyword string, or
    // "service=NAME" (pg_service.conf); passwords come from ~/.pgpass or the
    // service file, never from settings.ini.
    explicit PgConnection(QString conninfo); // does not connect yet
    ~PgConnection();
    PgConnection(const PgConnection&) = delete;
    PgConnection& operator=(const PgConnection&) = delete;

    // Connects (again, when the link was lost). Throws EPgError with a Russian
    // message: server unreachable, login refused, database missing.
    void connect();
    bool connected() const;

    // One statement; params travel as text (QDate as yyyy-MM-dd, bool as
    // true/false), a null QVariant as SQL NULL. Throws EPgError.
    PgResult exec(const QString& sql, const QVariantList& params = {});
    // Several statements without parameters, in one round trip.
    void execScript(const QString& sqlWithSeveralStatements);

    void begin();
    void commit();
    void rollback(); // never throws

    // COPY ... FROM STDIN with data in COPY's text format.
    void copyIn(const QString& copySql, const QByteArray& data);
    // COPY ... TO STDOUT; the rows in COPY's text format.
    QByteArray copyOut(const QString& copySql);
    // The same, the rows given to sink as they arrive (the server goes on
    // sending while they are read); at least one whole row at a time, and
    // whole rows only. When sink throws, the rest is read and dropped and
    // the error goes on: the link stays usable.
    void copyOut(const QString& copySql, const std::function<void(const QByteArray& rows)>& sink);

    void listen(const QString& channel);
    int socket() const; // for a QSocketNotifier; -1 when not connected
    struct Notification {
        QString channel;
        QString payload;
        int pid = 0; // the server process of the connection that notified
    };
    // Reads what the server has sent and returns the notifications received
    // so far. Throws EPgError (connectionLost) when the link is lost.
    QList<Notification> takeNotifications();
    int backendPid() const; // 0 when not connected
    QString conninfo() const;
    // The database as the operator knows it: «name» on host:port (or the service).
    QString displayName() const;

private:
    [[noreturn]] void throwLost(const QString& detail) const;
    [[noreturn]] void throwResultError(pg_result* result) const;
    void finishCopy(pg_conn* conn) const;
    pg_conn* live(); // the connection, or throws when not connected
    QString m_conninfo;
    pg_conn* m_conn = nullptr;
};

// Quotes an SQL identifier ("obj", "Name with space").
QString pgQuoteIdentifier(const QString& name);

} // namespace varek
