#pragma once

#include <QString>
#include <QStringList>

namespace varek {

class PgConnection;

// The version of the register's tables on a PostgreSQL server that this
// program reads and writes. A change of the tables is a new version.
inline constexpr int kPgSchemaVersion = 1;

// The register's tables on the server: obj, ctrl, tokens and tc with the
// fields of the data directory's files (the same names, in lower case), each
// with row_id (the row's identity, in the order rows were added) and
// row_version (raised by every update, for the optimistic check); the table
// varek_schema with the version; and a trigger on each of the four tables
// that notifies channel varek_changes with "<table> <server pid>" after every
// statement that changes it.
QString pgSchemaSql();

// The names of the register's four tables, in the order the register opens them.
const QStringList& pgRegisterTables();

// Creates the tables in one transaction. Refuses (EPgError, Russian) when any
// of them exists already, creating nothing then.
void initPgSchema(PgConnection& connection);

// The version the database's tables have; 0 when it has none of them.
// Throws EPgError on any other failure.
int pgSchemaVersion(PgConnection& connection);

// Throws EPgError with a Russian message that points at varek-register init
// unless the database's tables are of version kPgSchemaVersion.
void checkPgSchema(PgConnection& connection);

} // namespace varek
