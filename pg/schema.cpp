#include "pg/schema.h"

#include "pg/connection.h"

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

-- After every statement that changes one of the four tables: which table,
-- and which server process (each workstation skips its own).
CREATE FUNCTION varek_notify_change() RETURNS trigger LANGUAGE plpgsql AS $$
BEGIN
    PERFORM pg_notify('varek_changes', TG_TABLE_NAME || ' ' || pg_backend_pid());
    RETURN NULL;
END
$$;
CREATE TRIGGER obj_changed AFTER INSERT OR UPDATE OR DELETE OR TRUNCATE ON obj
    FOR EACH STATEMENT EXECUTE FUNCTION varek_notify_change();
CREATE TRIGGER ctrl_changed AFTER INSERT OR UPDATE OR DELETE OR TRUNCATE ON ctrl
    FOR EACH STATEMENT EXECUTE FUNCTION varek_notify_change();
CREATE TRIGGER tokens_changed AFTER INSERT OR UPDATE OR DELETE OR TRUNCATE ON tokens
    FOR EACH STATEMENT EXECUTE FUNCTION varek_notify_change();
CREATE TRIGGER tc_changed AFTER INSERT OR UPDATE OR DELETE OR TRUNCATE ON tc
    FOR EACH STATEMENT EXECUTE FUNCTION varek_notify_change();
)sql";

// Everything initPgSchema creates that would collide with an existing object.
const char* const kOwnNames[] = {"varek_schema", "obj", "ctrl", "tokens", "tc"};

} // namespace

QString pgSchemaSql() {
    return QString::fromUtf8(kTables) +
           QStringLiteral("\nINSERT INTO varek_schema (version) VALUES (%1);\n").arg(kPgSchemaVersion);
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
    throw EPgError(QStringLiteral("Таблицы реестра в базе данных %1 версии %2, а эта программа работает с "
                                  "версией %3. Установите на рабочей станции версию программы, подходящую к "
                                  "базе, или создайте новую базу командой «varek-register init АДРЕС_БАЗЫ».")
                       .arg(connection.displayName())
                       .arg(version)
                       .arg(kPgSchemaVersion),
                   QString(), false);
}

} // namespace varek
