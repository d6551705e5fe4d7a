#pragma once

#include <QObject>
#include <QString>
#include <functional>
#include <memory>

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
    bool unitOpen() const;
    // The journal of units of work, in the data directory (WriteBatch).
    static QString journalFileName();

    // "Всего:" before the keys table is opened, "Всего N" afterwards, kept up to
    // date with the number of keys.
    QString keyCountText() const;

signals:
    void keyCountChanged(const QString& text);

private:
    struct Impl;
    std::unique_ptr<Impl> d;
};

// Opens a unit of work on the register for the life of the scope. commit()
// ends it (throwing when the writes could not be made durable); a scope left
// by an exception ends it too, keeping what was done, as a write without a
// unit would have, and a failure then is left to the error already on its way.
class DurableUnit {
public:
    explicit DurableUnit(VarekRegister& reg) : m_reg(reg) { m_reg.beginUnit(); }
    ~DurableUnit() {
        if (m_open) {
            try {
                m_reg.endUnit();
            } catch (...) {
            }
        }
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
