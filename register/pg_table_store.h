#pragma once

#include "register/table_store.h"

#include "core/errors.h"

#include <QString>

#include <memory>
#include <unordered_map>

namespace varek {

class PgConnection;
struct TableSchema;

// A save or a delete refused because the row was changed or deleted at
// another workstation since this one read it. The tables are read anew by
// the register; the operator saves again over the fresh row.
class ERowChanged : public EDatabaseError {
public:
    using EDatabaseError::EDatabaseError;
};

// The register's link to its PostgreSQL server: the connection, and the
// transaction of the unit of work that is open. A unit opens its
// transaction at its first statement, so that a unit that only shows a
// dialog holds nothing on the server.
class PgSession {
public:
    explicit PgSession(QString conninfo);
    ~PgSession();

    PgConnection& connection() { return *m_conn; }
    QString conninfo() const;
    // The database as the operator knows it.
    QString displayName() const;

    // Connects, checks the tables' version and listens on varek_changes.
    void connect();
    // False once the link was lost (the next unit connects again).
    bool usable() const;

    // A unit of work is open: the next statement opens its transaction.
    void setUnitOpen(bool open);
    bool unitOpen() const { return m_unitOpen; }
    bool inTransaction() const { return m_inTransaction; }
    // Opens the unit's transaction when a unit is open and it is not yet.
    void enterUnit();
    void commit();   // the unit's transaction, when there is one
    void rollback(); // never throws

    // A statement of a write: inside the unit's transaction when a unit is
    // open. A lost link is remembered (usable() turns false).
    template <class F> auto run(F&& f) -> decltype(f()) {
        try {
            enterUnit();
            return f();
        } catch (const EDatabaseError&) {
            noteFailure();
            throw;
        }
    }
    void noteFailure();

private:
    std::unique_ptr<PgConnection> m_conn;
    bool m_unitOpen = false;
    bool m_inTransaction = false;
    bool m_lost = false;
};

// A table of the register on the PostgreSQL server. Rows are keyed by their
// row id; each row's version is kept beside it, and an update or a delete
// succeeds only while the row in the database still has that version (else
// ERowChanged). A controller is added only to an object that is there, an
// access row only for a controller that is there; deleting an object or a
// controller takes along what names it, also rows this workstation has not
// read yet, so that no right outlives its controller (whose number a later
// controller may be given). Texts are kept to the code page and widths of the register's
// dBASE files, so that a register can move between the two without loss.
class PgTableStore : public TableStore {
public:
    PgTableStore(PgSession& session, QString table, const TableSchema& schema);
    ~PgTableStore() override;

    QString displayName() const override { return m_table; }
    void open() override {}
    const QVector<DbfField>& fields() const override { return m_fields; }
    quint32 sizeHint() const override { return m_lastCount; }
    void load(const std::function<void(quint32 key, QVector<QVariant>&& values)>& sink) override;
    bool loadRows(const std::vector<quint32>& keys,
                  const std::function<void(quint32 key, QVector<QVariant>&& values)>& sink) override;
    // While set, load() reads over this connection instead of the
    // session's (the register reads its largest table on a connection of
    // its own, on another thread, in the same snapshot); null: the session's.
    void setLoadConnection(PgConnection* connection) { m_loadConnection = connection; }
    void checkFits(const QVector<QVariant>& values) const override;
    quint32 append(const QVector<QVariant>& values) override;
    void update(quint32 key, const QVector<QVariant>& values) override;
    void remove(quint32 key) override;
    int fieldWidth(int field) const override;
    QString codePageName() const override;

private:
    QVariantList params(const QVector<QVariant>& values) const;
    // One row's fields as the server gives them (row id, row version, then
    // the table's fields; a null QByteArray for null) as the row's values;
    // its version is kept.
    std::pair<quint32, QVector<QVariant>> rowOf(const QByteArray* cells);
    [[noreturn]] void refuseChanged() const;

    // A field that names a row of another table (a controller's object, an
    // access row's controller): a row added or changed must name a row that
    // is there, and that row cannot go until this unit ends.
    struct Parent {
        int field;
        QString table, column, what;
    };
    void requireParents(const QVector<QVariant>& values);

    PgSession& m_session;
    QString m_table;
    QVector<Parent> m_parents;
    // Deleting a row also deletes the rows that name it which another
    // workstation added meanwhile: statements with $1 the deleted row's
    // field m_cascadeField.
    QString m_cascadeField;
    QStringList m_cascades;
    QVector<DbfField> m_fields;
    QString m_columns; // "obj_num, obj_name, ..."
    quint32 m_lastCount = 0;
    PgConnection* m_loadConnection = nullptr;
    std::unordered_map<quint32, qint64> m_versions; // row id -> row version
};

// Decodes the rows of COPY's text format (fields split by tabs, \N for
// null, backslash escapes) and gives each row's fields, UTF-8 bytes, to
// sink (valid while sink runs: they may point into data); a null field is a
// null QByteArray. Fails with EDatabaseError on a
// row of another number of fields than columns.
void parseCopyText(const QByteArray& data, int columns,
                   const std::function<void(const QVector<QByteArray>& fields)>& sink);

} // namespace varek
