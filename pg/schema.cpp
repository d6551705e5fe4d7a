#include "pg/schema.h"

#include "pg/connection.h"

#include <algorithm>
#include <limits>

namespace varek {

namespace {

// Each of the register's tables: the row's identity and version, then the
// fields of the data directory's file, with its widths.
const char* const kTables = R"sql(
CREATE TABLE varek_schema (version integer NOT NULL);

CREATE TABLE obj (
    row_id bigint GENERATED ALWAYS AS IDENTITY PRIMARY KEY,
    row_version bigint NOT NULL DEFAULT 1,
    obj_num integer,
    obj_name varchar(60),
    addr varchar(100),
    notes varchar(100),
    CONSTRAINT obj_obj_num_key UNIQUE (obj_num)
);

CREATE TABLE ctrl (
    row_id bigint GENERATED ALWAYS AS IDENTITY PRIMARY KEY,
    row_version bigint NOT NULL DEFAULT 1,
    obj_num integer,
    ctrl_name varchar(60),
    ser_num integer,
    hard varchar(30),
    notes varchar(100),
    open_time integer,
    CONSTRAINT ctrl_ser_num_key UNIQUE (ser_num)
);
CREATE INDEX ctrl_obj_num_idx ON ctrl (obj_num);

CREATE TABLE tokens (
    row_id bigint GENERATED ALWAYS AS IDENTITY PRIMARY KEY,
    row_version bigint NOT NULL DEFAULT 1,
    token_code varchar(16),
    token_card varchar(9),
    user_name varchar(80),
    give_date date,
    status integer,
    CONSTRAINT tokens_token_code_key UNIQUE (token_code)
);

CREATE TABLE tc (
    row_id bigint GENERATED ALWAYS AS IDENTITY PRIMARY KEY,
    row_version bigint NOT NULL DEFAULT 1,
    token_code varchar(16),
    ser_num integer,
    CONSTRAINT tc_token_code_ser_num_key UNIQUE (token_code, ser_num)
);
CREATE INDEX tc_ser_num_idx ON tc (ser_num);

)sql";

// The change notifications: after every statement that changes one of the
// four tables, on channel varek_changes, "<table> <server pid> <rows>": the
// row ids the statement added, changed or deleted, as ranges "5-9,12", so
// that a workstation reads just those rows; "*" (every row) after TRUNCATE
// or when the ranges would not fit a notification. Each workstation skips
// its own.
const char* const kNotify = R"sql(
CREATE FUNCTION varek_notify_rows() RETURNS trigger LANGUAGE plpgsql AS $$
DECLARE
    ids text;
BEGIN
    SELECT string_agg(CASE WHEN lo = hi THEN lo::text ELSE lo || '-' || hi END, ',' ORDER BY lo)
        INTO ids
        FROM (SELECT min(row_id) AS lo, max(row_id) AS hi
                FROM (SELECT row_id, row_id - row_number() OVER (ORDER BY row_id) AS run
                        FROM changed_rows) AS numbered
                GROUP BY run) AS ranges;
    IF ids IS NULL THEN
        RETURN NULL; -- the statement changed no row
    END IF;
    IF length(ids) > 7000 THEN
        ids := '*';
    END IF;
    PERFORM pg_notify('varek_changes', TG_TABLE_NAME || ' ' || pg_backend_pid() || ' ' || ids);
    RETURN NULL;
END
$$;
CREATE FUNCTION varek_notify_all() RETURNS trigger LANGUAGE plpgsql AS $$
BEGIN
    PERFORM pg_notify('varek_changes', TG_TABLE_NAME || ' ' || pg_backend_pid() || ' *');
    RETURN NULL;
END
$$;
)sql";

// The four triggers of one table.
QString notifyTriggers(const QString& table) {
    return QStringLiteral(
               "CREATE TRIGGER %1_inserted AFTER INSERT ON %1 REFERENCING NEW TABLE AS changed_rows\n"
               "    FOR EACH STATEMENT EXECUTE FUNCTION varek_notify_rows();\n"
               "CREATE TRIGGER %1_updated AFTER UPDATE ON %1 REFERENCING NEW TABLE AS changed_rows\n"
               "    FOR EACH STATEMENT EXECUTE FUNCTION varek_notify_rows();\n"
               "CREATE TRIGGER %1_deleted AFTER DELETE ON %1 REFERENCING OLD TABLE AS changed_rows\n"
               "    FOR EACH STATEMENT EXECUTE FUNCTION varek_notify_rows();\n"
               "CREATE TRIGGER %1_truncated AFTER TRUNCATE ON %1\n"
               "    FOR EACH STATEMENT EXECUTE FUNCTION varek_notify_all();\n")
        .arg(table);
}

QString notifySql() {
    QString sql = QString::fromUtf8(kNotify);
    for (const char* t : {"obj", "ctrl", "tokens", "tc"})
        sql += notifyTriggers(QString::fromLatin1(t));
    return sql;
}

// Everything initPgSchema creates that would collide with an existing object.
const char* const kOwnNames[] = {"varek_schema", "obj", "ctrl", "tokens", "tc"};

} // namespace

QString pgSchemaSql() {
    return QString::fromUtf8(kTables) + notifySql() +
           QStringLiteral("\nINSERT INTO varek_schema (version) VALUES (%1);\n").arg(kPgSchemaVersion);
}

bool parsePgChangedRows(QStringView rows, std::vector<quint32>& ids, size_t cap) {
    if (rows.isEmpty()) return false;
    const size_t start = ids.size();
    const auto refuse = [&] {
        ids.resize(start);
        return false;
    };
    for (QStringView range : rows.split(u',')) {
        const qsizetype dash = range.indexOf(u'-');
        bool ok1 = false, ok2 = true;
        const qulonglong lo = (dash < 0 ? range : range.left(dash)).toULongLong(&ok1);
        const qulonglong hi = dash < 0 ? lo : range.mid(dash + 1).toULongLong(&ok2);
        if (!ok1 || !ok2 || lo == 0 || hi < lo || hi > std::numeric_limits<quint32>::max()) return refuse();
        if (hi - lo >= cap - std::min(cap, ids.size() - start)) return refuse();
        for (qulonglong id = lo; id <= hi; ++id)
            ids.push_back(static_cast<quint32>(id));
    }
    return true;
}

const QStringList& pgRegisterTables() {
    static const QStringList names{QStringLiteral("obj"), QStringLiteral("ctrl"), QStringLiteral("tokens"),
                                   QStringLiteral("tc")};
    return names;
}

void initPgSchema(PgConnection& connection) {
    connection.begin();
    try {
        QStringList present;
        for (const char* name : kOwnNames)
            if (!connection.exec(QStringLiteral("SELECT to_regclass($1)"), {QString::fromLatin1(name)})
                     .isNull(0, 0))
                present << QString::fromLatin1(name);
        if (!present.isEmpty())
            throw EPgError(
                QStringLiteral("В базе данных %1 уже есть таблицы реестра (%2): она уже подготовлена, "
                               "ничего не изменено. Для нового реестра создайте пустую базу.")
                    .arg(connection.displayName(), present.join(QStringLiteral(", "))),
                QString(), false);
        connection.execScript(pgSchemaSql());
        connection.commit();
    } catch (...) {
        connection.rollback();
        throw;
    }
}

void upgradePgSchema(PgConnection& connection) {
    connection.begin();
    try {
        const int version = pgSchemaVersion(connection);
        if (version == 0)
            throw EPgError(
                QStringLiteral("В базе данных %1 нет таблиц реестра: обновлять нечего. Создайте их "
                               "командой «varek-register init АДРЕС_БАЗЫ».")
                    .arg(connection.displayName()),
                QString(), false);
        if (version >= kPgSchemaVersion)
            throw EPgError(
                QStringLiteral("Таблицы реестра в базе данных %1 уже версии %2: ничего не изменено.")
                    .arg(connection.displayName())
                    .arg(version),
                QString(), false);
        // Version 1 notified "<table> <pid>" only: every table was read whole.
        connection.exec(QStringLiteral("LOCK TABLE varek_schema, obj, ctrl, tokens, tc IN EXCLUSIVE MODE"));
        QString sql;
        for (const char* t : {"obj", "ctrl", "tokens", "tc"})
            sql += QStringLiteral("DROP TRIGGER %1_changed ON %1;\n").arg(QString::fromLatin1(t));
        sql += QStringLiteral("DROP FUNCTION varek_notify_change();\n");
        connection.execScript(
            sql + notifySql() +
            QStringLiteral("UPDATE varek_schema SET version = %1;\n").arg(kPgSchemaVersion));
        connection.commit();
    } catch (...) {
        connection.rollback();
        throw;
    }
}

int pgSchemaVersion(PgConnection& connection) {
    if (connection.exec(QStringLiteral("SELECT to_regclass('varek_schema')")).isNull(0, 0)) return 0;
    return int(connection.exec(QStringLiteral("SELECT max(version) FROM varek_schema")).integer(0, 0));
}

void checkPgSchema(PgConnection& connection) {
    const int version = pgSchemaVersion(connection);
    if (version == kPgSchemaVersion) return;
    if (version == 0)
        throw EPgError(QStringLiteral("В базе данных %1 нет таблиц реестра. Создайте их командой "
                                      "«varek-register init АДРЕС_БАЗЫ» и перенесите в неё реестр командой "
                                      "«varek-register copy ПАПКА_DATA АДРЕС_БАЗЫ».")
                           .arg(connection.displayName()),
                       QString(), false);
    if (version < kPgSchemaVersion)
        throw EPgError(
            QStringLiteral("Таблицы реестра в базе данных %1 версии %2, а эта программа работает с "
                           "версией %3. Обновите их командой «varek-register upgrade АДРЕС_БАЗЫ», "
                           "когда на всех рабочих станциях установлена эта версия программы.")
                .arg(connection.displayName())
                .arg(version)
                .arg(kPgSchemaVersion),
            QString(), false);
    throw EPgError(QStringLiteral("Таблицы реестра в базе данных %1 версии %2, а эта программа работает с "
                                  "версией %3. Установите на рабочей станции версию программы, подходящую к "
                                  "базе, или создайте новую базу командой «varek-register init АДРЕС_БАЗЫ».")
                       .arg(connection.displayName())
                       .arg(version)
                       .arg(kPgSchemaVersion),
                   QString(), false);
}

} // namespace varek
