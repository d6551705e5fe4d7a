#pragma once

#include "pg/connection.h"

namespace varek::test {

// Turns the register's tables just made by initPgSchema into those of
// version 1, whose notifications named the table and the server process
// only: what a database prepared by the first version holds.
inline void makeSchemaVersion1(PgConnection& c) {
    QString sql;
    for (const char* t : {"obj", "ctrl", "tokens", "tc"})
        for (const char* what : {"inserted", "updated", "deleted", "truncated"})
            sql += QStringLiteral("DROP TRIGGER %1_%2 ON %1;\n").arg(QLatin1String(t), QLatin1String(what));
    sql +=
        QStringLiteral("DROP FUNCTION varek_notify_rows();\nDROP FUNCTION varek_notify_all();\n"
                       "CREATE FUNCTION varek_notify_change() RETURNS trigger LANGUAGE plpgsql AS $$\n"
                       "BEGIN\n"
                       "    PERFORM pg_notify('varek_changes', TG_TABLE_NAME || ' ' || pg_backend_pid());\n"
                       "    RETURN NULL;\n"
                       "END\n"
                       "$$;\n");
    for (const char* t : {"obj", "ctrl", "tokens", "tc"})
        sql += QStringLiteral("CREATE TRIGGER %1_changed AFTER INSERT OR UPDATE OR DELETE OR TRUNCATE ON %1\n"
                              "    FOR EACH STATEMENT EXECUTE FUNCTION varek_notify_change();\n")
                   .arg(QLatin1String(t));
    sql += QStringLiteral("UPDATE varek_schema SET version = 1;\n");
    c.execScript(sql);
}

} // namespace varek::test
