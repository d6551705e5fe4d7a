#pragma once

#include <QString>
#include <QStringList>
#include <QStringView>

#include <vector>

namespace varek {

class PgConnection;

// The version of the register's tables on a PostgreSQL server that this
// program reads and writes. A change of the tables is a new version.
inline constexpr int kPgSchemaVersion = 2;

// The register's tables on the server: obj, ctrl, tokens and tc with the
// fields of the data directory's files (the same names, in lower case), each
// with row_id (the row's identity, in the order rows were added) and
// row_version (raised by every update, for the optimistic check); the table
// varek_schema with the version; and triggers on each of the four tables
// that notify channel varek_changes with "<table> <server pid> <rows>" after
// every statement that changes it, rows being the row ids it added, changed
// or deleted as ranges ("5-9,12"), or "*" for every row (see
// parsePgChangedRows).
QString pgSchemaSql();

// The rows part of a change notification ("5-9,12"): their ids appended to
// ids, in the order given. False, with ids as they were, for "*" (every
// row), for a part that is not such a list and for more than cap ids: the
// whole table is to be read then.
bool parsePgChangedRows(QStringView rows, std::vector<quint32>& ids, size_t cap);

// The names of the register's four tables, in the order the register opens them.
const QStringList& pgRegisterTables();

// Creates the tables in one transaction. Refuses (EPgError, Russian) when any
// of them exists already, creating nothing then.
void initPgSchema(PgConnection& connection);

// Brings the tables of an older version to kPgSchemaVersion in one
// transaction (version 1: the notifications gain the changed rows). Refuses
// (EPgError, Russian) a database without the tables or already of this
// version, changing nothing then.
void upgradePgSchema(PgConnection& connection);

// The version the database's tables have; 0 when it has none of them.
// Throws EPgError on any other failure.
int pgSchemaVersion(PgConnection& connection);

// Throws EPgError with a Russian message that points at varek-register init
// unless the database's tables are of version kPgSchemaVersion.
void checkPgSchema(PgConnection& connection);

} // namespace varek
