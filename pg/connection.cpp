#include "pg/connection.h"

#include <exception>

#include <QDate>
#include <QDateTime>

#include "pg/libpq_api.h"

#include <vector>

namespace varek {

namespace {

const QString kLostAdvice =
    QStringLiteral("Связь с сервером базы данных потеряна; изменение не записано. Проверьте сеть и "
                   "работу сервера и повторите действие.");

// libpq's texts end with a line feed; several lines are joined into one.
QString clean(const char* text) {
    return QString::fromUtf8(text ? text : "").trimmed().replace(QLatin1Char('\n'), QLatin1Char(' '));
}

bool contains(const QString& text, const char* what) {
    return text.contains(QLatin1String(what), Qt::CaseInsensitive);
}

// The server's notices (NOTICE, WARNING) are not the operator's business.
void ignoreNotice(void*, const char*) {}

// SQLSTATE classes that mean the session is gone: connection exceptions and
// an administrator's shutdown or crash of the server.
bool meansLinkLost(const QString& state) {
    return state.startsWith(QLatin1String("08")) || state == QLatin1String("57P01") ||
           state == QLatin1String("57P02") || state == QLatin1String("57P03");
}

QByteArray parameterText(const QVariant& v) {
    switch (v.typeId()) {
    case QMetaType::QDate:
        return v.toDate().toString(Qt::ISODate).toUtf8();
    case QMetaType::QDateTime:
        return v.toDateTime().toString(Qt::ISODateWithMs).toUtf8();
    case QMetaType::Bool:
        return v.toBool() ? "true" : "false";
    case QMetaType::QByteArray:
        return v.toByteArray();
    default:
        return v.toString().toUtf8();
    }
}

} // namespace

EPgError::EPgError(QString message, QString sqlState, bool connectionLost)
    : EDatabaseError(std::move(message)), m_sqlState(std::move(sqlState)), m_connectionLost(connectionLost) {}

// ---- PgResult ----

PgResult::PgResult(pg_result* result) : m_result(result, libpq().PQclear) {}

int PgResult::rows() const {
    return m_result ? libpq().PQntuples(m_result.get()) : 0;
}

int PgResult::columns() const {
    return m_result ? libpq().PQnfields(m_result.get()) : 0;
}

bool PgResult::isNull(int row, int col) const {
    return !m_result || libpq().PQgetisnull(m_result.get(), row, col);
}

QString PgResult::text(int row, int col) const {
    if (isNull(row, col)) return QString();
    return QString::fromUtf8(libpq().PQgetvalue(m_result.get(), row, col),
                             libpq().PQgetlength(m_result.get(), row, col));
}

QByteArray PgResult::bytes(int row, int col) const {
    if (isNull(row, col)) return QByteArray();
    return QByteArray(libpq().PQgetvalue(m_result.get(), row, col),
                      libpq().PQgetlength(m_result.get(), row, col));
}

qint64 PgResult::integer(int row, int col) const {
    if (isNull(row, col)) return 0;
    bool ok = false;
    const qint64 n = bytes(row, col).toLongLong(&ok);
    if (!ok)
        throw EPgError(
            QStringLiteral("Сервер базы данных вернул «%1» там, где ожидалось целое число (столбец %2)")
                .arg(text(row, col), QString::fromUtf8(libpq().PQfname(m_result.get(), col))),
            QString(), false);
    return n;
}

int PgResult::column(const char* name) const {
    return m_result ? libpq().PQfnumber(m_result.get(), name) : -1;
}

qint64 PgResult::affected() const {
    if (!m_result) return 0;
    return QByteArray(libpq().PQcmdTuples(m_result.get())).toLongLong();
}

// ---- PgConnection ----

PgConnection::PgConnection(QString conninfo) : m_conninfo(std::move(conninfo)) {}

PgConnection::~PgConnection() {
    if (m_conn) libpq().PQfinish(m_conn);
}

QString PgConnection::conninfo() const {
    return m_conninfo;
}

QString PgConnection::displayName() const {
    QString db, host, port, service;
    if (m_conn) {
        db = QString::fromUtf8(libpq().PQdb(m_conn));
        host = QString::fromUtf8(libpq().PQhost(m_conn));
        port = QString::fromUtf8(libpq().PQport(m_conn));
    } else if (PQconninfoOption* options =
                   libpq().PQconninfoParse(m_conninfo.toUtf8().constData(), nullptr)) {
        for (PQconninfoOption* o = options; o->keyword; ++o) {
            const QString value = QString::fromUtf8(o->val ? o->val : "");
            if (qstrcmp(o->keyword, "dbname") == 0) db = value;
            if (qstrcmp(o->keyword, "host") == 0) host = value;
            if (qstrcmp(o->keyword, "port") == 0) port = value;
            if (qstrcmp(o->keyword, "service") == 0) service = value;
        }
        libpq().PQconninfoFree(options);
    }
    if (db.isEmpty() && !service.isEmpty()) return QStringLiteral("служба «%1»").arg(service);
    QString name = QStringLiteral("«%1»").arg(db);
    if (!host.isEmpty()) name += QStringLiteral(" на сервере %1").arg(host);
    if (!port.isEmpty()) name += QStringLiteral(", порт %1").arg(port);
    return name;
}

void PgConnection::connect() {
    if (m_conn) {
        libpq().PQfinish(m_conn);
        m_conn = nullptr;
    }
    // Left to right, later values win: a connection string may set its own
    // timeout and name, but the text always travels as UTF-8.
    const QByteArray info = m_conninfo.toUtf8();
    const char* keywords[] = {"connect_timeout", "fallback_application_name", "dbname", "client_encoding",
                              nullptr};
    const char* values[] = {"10", "varek", info.constData(), "UTF8", nullptr};
    m_conn = libpq().PQconnectdbParams(keywords, values, 1);
    if (!m_conn)
        throw EPgError(QStringLiteral("Нет памяти для связи с сервером базы данных"), QString(), true);
    libpq().PQsetNoticeProcessor(m_conn, ignoreNotice, nullptr);
    if (libpq().PQstatus(m_conn) == CONNECTION_OK) return;

    const QString why = clean(libpq().PQerrorMessage(m_conn));
    const QString where = displayName();
    const bool loginRefused = libpq().PQconnectionNeedsPassword(m_conn) || contains(why, "authentication") ||
                              contains(why, "pg_hba.conf") || contains(why, "password") ||
                              (contains(why, "role") && contains(why, "does not exist")) ||
                              contains(why, "проверку подлинности") || contains(why, "парол");
    const bool noDatabase = (contains(why, "database") && contains(why, "does not exist")) ||
                            (contains(why, "база данных") && contains(why, "не существует"));
    QString message;
    if (noDatabase)
        message = QStringLiteral("На сервере базы данных нет базы %1. Проверьте адрес базы в настройках или "
                                 "создайте её на сервере (createdb), а в ней — таблицы реестра "
                                 "(varek-register init).\n%2")
                      .arg(where, why);
    else if (loginRefused)
        message =
            QStringLiteral("Сервер базы данных (база %1) не принял вход: %2\nПроверьте имя пользователя "
                           "и пароль в файле ~/.pgpass или в файле служб pg_service.conf этой рабочей "
                           "станции.")
                .arg(where, why);
    else
        message = QStringLiteral("Нет связи с сервером базы данных (база %1): %2\nПроверьте, что сервер "
                                 "запущен и доступен по сети с этой рабочей станции.")
                      .arg(where, why);
    libpq().PQfinish(m_conn);
    m_conn = nullptr;
    throw EPgError(message, QString(), !noDatabase && !loginRefused);
}

bool PgConnection::connected() const {
    return m_conn && libpq().PQstatus(m_conn) == CONNECTION_OK;
}

void PgConnection::throwLost(const QString& detail) const {
    QString message = kLostAdvice;
    if (!detail.isEmpty()) message += QStringLiteral("\n(%1)").arg(detail);
    throw EPgError(message, QString(), true);
}

pg_conn* PgConnection::live() {
    if (!m_conn) throwLost(QStringLiteral("нет соединения с сервером"));
    if (libpq().PQstatus(m_conn) != CONNECTION_OK) throwLost(clean(libpq().PQerrorMessage(m_conn)));
    return m_conn;
}

void PgConnection::throwResultError(pg_result* result) const {
    const QString state =
        QString::fromLatin1(result ? libpq().PQresultErrorField(result, PG_DIAG_SQLSTATE) : "");
    const QString primary = result ? clean(libpq().PQresultErrorField(result, PG_DIAG_MESSAGE_PRIMARY))
                                   : clean(libpq().PQerrorMessage(m_conn));
    const QString detail =
        result ? clean(libpq().PQresultErrorField(result, PG_DIAG_MESSAGE_DETAIL)) : QString();
    const QString whole = result ? clean(libpq().PQresultErrorMessage(result)) : QString();
    if (result) libpq().PQclear(result);
    if (libpq().PQstatus(m_conn) != CONNECTION_OK || meansLinkLost(state))
        throwLost(primary.isEmpty() ? clean(libpq().PQerrorMessage(m_conn)) : primary);
    QString message =
        QStringLiteral("Сервер базы данных не выполнил запрос: %1").arg(primary.isEmpty() ? whole : primary);
    if (!detail.isEmpty()) message += QStringLiteral(" (%1)").arg(detail);
    throw EPgError(message, state, false);
}

PgResult PgConnection::exec(const QString& sql, const QVariantList& params) {
    pg_conn* conn = live();
    std::vector<QByteArray> texts;
    std::vector<const char*> values;
    texts.reserve(size_t(params.size()));
    values.reserve(size_t(params.size()));
    for (const QVariant& p : params) {
        if (p.isNull()) {
            values.push_back(nullptr);
            continue;
        }
        texts.push_back(parameterText(p));
        if (texts.back().contains('\0'))
            throw EPgError(QStringLiteral("Текст с нулевым символом нельзя записать в базу данных: «%1»")
                               .arg(QString::fromUtf8(texts.back()).remove(QChar(0))),
                           QString(), false);
        values.push_back(texts.back().constData());
    }
    pg_result* result = libpq().PQexecParams(conn, sql.toUtf8().constData(), int(values.size()), nullptr,
                                             values.data(), nullptr, nullptr, 0);
    const ExecStatusType status = result ? libpq().PQresultStatus(result) : PGRES_FATAL_ERROR;
    if (status == PGRES_COMMAND_OK || status == PGRES_TUPLES_OK) return PgResult(result);
    throwResultError(result);
}

void PgConnection::execScript(const QString& sql) {
    pg_conn* conn = live();
    pg_result* result = libpq().PQexec(conn, sql.toUtf8().constData());
    const ExecStatusType status = result ? libpq().PQresultStatus(result) : PGRES_FATAL_ERROR;
    if (status == PGRES_COMMAND_OK || status == PGRES_TUPLES_OK) {
        libpq().PQclear(result);
        return;
    }
    throwResultError(result);
}

void PgConnection::begin() {
    exec(QStringLiteral("BEGIN"));
}

void PgConnection::commit() {
    exec(QStringLiteral("COMMIT"));
}

void PgConnection::rollback() {
    if (!connected()) return;
    if (pg_result* result = libpq().PQexec(m_conn, "ROLLBACK")) libpq().PQclear(result);
}

void PgConnection::finishCopy(pg_conn* conn) const {
    // The results a COPY ends with; the first that is not a success is thrown.
    pg_result* failed = nullptr;
    while (pg_result* result = libpq().PQgetResult(conn)) {
        if (libpq().PQresultStatus(result) != PGRES_COMMAND_OK && !failed)
            failed = result;
        else
            libpq().PQclear(result);
    }
    if (failed) throwResultError(failed);
}

void PgConnection::copyIn(const QString& copySql, const QByteArray& data) {
    pg_conn* conn = live();
    pg_result* start = libpq().PQexec(conn, copySql.toUtf8().constData());
    if (!start || libpq().PQresultStatus(start) != PGRES_COPY_IN) throwResultError(start);
    libpq().PQclear(start);
    constexpr qsizetype kChunk = 1 << 18;
    for (qsizetype at = 0; at < data.size(); at += kChunk) {
        const int n = int(qMin(kChunk, data.size() - at));
        if (libpq().PQputCopyData(conn, data.constData() + at, n) != 1)
            throwLost(clean(libpq().PQerrorMessage(conn)));
    }
    if (libpq().PQputCopyEnd(conn, nullptr) != 1) throwLost(clean(libpq().PQerrorMessage(conn)));
    finishCopy(conn);
    if (libpq().PQstatus(conn) != CONNECTION_OK) throwLost(clean(libpq().PQerrorMessage(conn)));
}

QByteArray PgConnection::copyOut(const QString& copySql) {
    QByteArray out;
    copyOut(copySql, [&](const QByteArray& rows) { out.append(rows); });
    return out;
}

void PgConnection::copyOut(const QString& copySql, const std::function<void(const QByteArray& rows)>& sink) {
    pg_conn* conn = live();
    pg_result* start = libpq().PQexec(conn, copySql.toUtf8().constData());
    if (!start || libpq().PQresultStatus(start) != PGRES_COPY_OUT) throwResultError(start);
    libpq().PQclear(start);
    // Rows come one a message; they go to sink some hundred kilobytes at a time.
    constexpr qsizetype kChunk = 256 * 1024;
    QByteArray chunk;
    chunk.reserve(kChunk + 4096);
    std::exception_ptr failed;
    const auto give = [&] {
        if (chunk.isEmpty() || failed) return;
        try {
            sink(chunk);
        } catch (...) {
            failed = std::current_exception();
        }
        chunk.resize(0);
    };
    char* buffer = nullptr;
    int n;
    while ((n = libpq().PQgetCopyData(conn, &buffer, 0)) > 0) {
        if (!failed) chunk.append(buffer, n);
        libpq().PQfreemem(buffer);
        if (chunk.size() >= kChunk) give();
    }
    give();
    finishCopy(conn);
    if (n == -2 || libpq().PQstatus(conn) != CONNECTION_OK) throwLost(clean(libpq().PQerrorMessage(conn)));
    if (failed) std::rethrow_exception(failed);
}

void PgConnection::listen(const QString& channel) {
    exec(QStringLiteral("LISTEN %1").arg(pgQuoteIdentifier(channel)));
}

int PgConnection::socket() const {
    return m_conn ? libpq().PQsocket(m_conn) : -1;
}

QList<PgConnection::Notification> PgConnection::takeNotifications() {
    pg_conn* conn = live();
    if (!libpq().PQconsumeInput(conn) || libpq().PQstatus(conn) != CONNECTION_OK)
        throwLost(clean(libpq().PQerrorMessage(conn)));
    QList<Notification> got;
    while (PGnotify* n = libpq().PQnotifies(conn)) {
        got.append({QString::fromUtf8(n->relname), QString::fromUtf8(n->extra), n->be_pid});
        libpq().PQfreemem(n);
    }
    return got;
}

int PgConnection::backendPid() const {
    return connected() ? libpq().PQbackendPID(m_conn) : 0;
}

QString pgQuoteIdentifier(const QString& name) {
    QString quoted = name;
    quoted.replace(QLatin1Char('"'), QLatin1String("\"\""));
    return QLatin1Char('"') + quoted + QLatin1Char('"');
}

} // namespace varek
