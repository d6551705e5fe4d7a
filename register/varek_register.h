#pragma once

#include <QHash>
#include <QObject>
#include <QString>
#include <functional>
#include <memory>
#include <optional>

namespace varek {

class Table;
class View;
class DataLink;
class SqlViews;

// The register: the four tables, the two views, the five data links and the
// change handlers that keep the views in step with the current rows.
class VarekRegister : public QObject {
    Q_OBJECT
public:
    explicit VarekRegister(QObject* parent = nullptr);
    ~VarekRegister() override;

    // The protected block of start-up: points the tables at dataDir (with its
    // trailing '/') and opens objects, controllers, keys, access in this
    // order, running the handlers. Throws on any failure (the caller shows the
    // failed-start message). Also takes the advisory lock on the directory.
    void open(const QString& dataDir);
    // Opens the register kept on a PostgreSQL server (conninfo: a libpq URL
    // or "service=NAME"): connects, checks the version of its tables, reads
    // the four tables and listens for the changes other workstations make,
    // reading the changed tables anew (see below). No lock: the server keeps
    // the workstations apart. Throws EPgError with the Russian reason.
    void openDatabase(const QString& conninfo);
    enum class Backend { None, Directory, Database };
    Backend backend() const;
    // The register as the operator knows it: "каталог /path/Data/" or
    // "PostgreSQL «db» на host:port".
    QString backendDescription() const;
    // Closes every table and view ("closing the session") and releases the lock.
    void close();

    Table& taObj();
    Table& taCtrl();
    Table& taTokens();
    Table& taTC();
    View& quCtrlToken(); // keys of the current controller
    View& quTokenCtrl(); // controllers of the current key

    DataLink& dataSource1(); // keys table
    DataLink& dataSource2(); // quTokenCtrl
    DataLink& dataSource3(); // objects table (drives the controllers' restriction)
    DataLink& dataSource4(); // controllers table
    DataLink& dataSource5(); // quCtrlToken
    SqlViews& sqlViews();    // the engine the views run in

    // Handlers (connected in the constructor; public for tests).
    void DataSource4DataChange();
    void DataSource1DataChange();

    // Units of work: while a unit is open, the four tables' writes wait and
    // become durable together when the outermost unit ends, with one sync per
    // file; a kill at any moment leaves all of them or none of them on disk
    // (the journal .varek.journal in the data directory; see WriteBatch).
    // Units nest; DurableUnit opens and ends one.
    void beginUnit();
    // Ends a unit; the outermost commits. A failed commit leaves the files as
    // they were, reads the tables anew from them and throws.
    void endUnit();
    // Ends a unit left by an error. A register in the data directory keeps
    // what was done (as endUnit); one on a PostgreSQL server undoes the
    // whole unit (its transaction is rolled back) and reads the tables anew.
    // Never throws.
    void abandonUnit();
    // Ends a unit dropping every write made since the outermost unit began
    // (an outer unit goes on with none of them): the files stay as they were,
    // and the tables are read anew from them. For operations that must leave
    // the register untouched when they fail half-way.
    // (On a PostgreSQL server: the transaction is rolled back, as abandonUnit.)
    void dropUnit();
    bool unitOpen() const;
    // The journal of units of work, in the data directory (WriteBatch).
    static QString journalFileName();

    // The next free number of a field (obj_num of the objects, ser_num of
    // the controllers) taken in the database, inside the unit's
    // transaction, so that two workstations adding at once never get the
    // same one; none for a register in the data directory, whose operations
    // count over their rows.
    std::optional<qint64> nextNumber(Table& table, const QString& field);

    // Reads the tables anew from the database after a save was refused
    // because another workstation changed the row (ERowChanged), keeping the
    // current rows; the operation may then save again. What the open unit
    // wrote before is undone (the operations call it before their first
    // write or on it), the unit stays open. Nothing for a register in the
    // data directory.
    void refresh();

    // Processes the changes other workstations announced (the socket
    // notifier does this by itself in a running event loop); tests.
    void processNotifications();

    // "Всего:" before the keys table is opened, "Всего N" afterwards, kept up to
    // date with the number of keys.
    QString keyCountText() const;

signals:
    void keyCountChanged(const QString& text);
    // Tables were read anew because another workstation changed them.
    void tablesReloaded();

private:
    void watchNotifications();
    // Opens the four tables, the access table read on a second thread.
    void openTablesReadingAccessBeside();
    void shareKeyCodes();
    // Opens the four tables from the database, as one snapshot holds them.
    void readDatabaseTables();
    // Reads the named tables ("*": all four) anew, keeping the current rows
    // where they are still there; the views run once afterwards.
    void reloadTables(const QStringList& names);
    struct ChangedRows;
    void reloadChanges(const QHash<QString, ChangedRows>& changes);
    void rollbackUnit(); // abandonUnit and dropUnit on a server: the transaction rolled back
    void undoDatabaseUnit();

    struct Impl;
    std::unique_ptr<Impl> d;
};

// Opens a unit of work on the register for the life of the scope. commit()
// ends it (throwing when the writes could not be made durable); a scope left
// by an exception abandons it (see abandonUnit: in the data directory what
// was done is kept, as a write without a unit would have, and a failure then
// is left to the error already on its way; on a server all of it is undone).
class DurableUnit {
public:
    explicit DurableUnit(VarekRegister& reg) : m_reg(reg) { m_reg.beginUnit(); }
    ~DurableUnit() {
        if (m_open) m_reg.abandonUnit();
    }
    DurableUnit(const DurableUnit&) = delete;
    DurableUnit& operator=(const DurableUnit&) = delete;
    void commit() {
        m_open = false;
        m_reg.endUnit();
    }
    // Runs work as one unit of work on reg.
    static void run(VarekRegister& reg, const std::function<void()>& work) {
        DurableUnit unit(reg);
        work();
        unit.commit();
    }

private:
    VarekRegister& m_reg;
    bool m_open = true;
};

} // namespace varek
