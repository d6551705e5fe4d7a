#pragma once

#include <QString>
#include <QStringList>
#include <QVariant>
#include <QVector>
#include <memory>

namespace varek {

class Table;

// Runs SQL texts in SQLite (an in-memory database) over the live tables.
// Each registered table appears as a virtual table of that name whose rows are
// the table's posted rows, read in place (there is one copy of the data).
// Equality constraints on the table's indexed fields are answered from its
// hash indexes, so a join on them never scans a whole table.
// The value SQLite is given for a stored value: qint64 for integers and
// booleans, double for other numbers, an ISO text for dates, a text for
// anything else; invalid for null.
QVariant sqlCellOf(const QVariant& v);

class SqlViews {
public:
    SqlViews();
    ~SqlViews();
    SqlViews(const SqlViews&) = delete;
    SqlViews& operator=(const SqlViews&) = delete;

    // Makes the table visible to SQL as name (tokens, tc, ctrl, obj).
    void addTable(const QString& name, Table* table);

    struct Result {
        QStringList columns;
        QVector<QVector<QVariant>> rows;
    };
    // Runs one statement and returns every row. An empty text fails with
    // "No SQL statement available"; a parameter left without a value with
    // "No value for parameter '%s'"; any other failure with SQLite's message.
    // Columns declared DATE come back as QDate, integers as qint64.
    Result run(const QString& sql);
    // SQLite's plan for a text, one line per step (benchmarks, diagnosis).
    QStringList queryPlan(const QString& sql);

private:
    struct Impl;
    std::unique_ptr<Impl> d;
};

} // namespace varek
