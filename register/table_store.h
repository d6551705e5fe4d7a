#pragma once

#include "dbase/dbf.h"

#include <QString>
#include <QVariant>
#include <QVector>

#include <functional>
#include <memory>
#include <vector>

namespace varek {

class WriteBatch;

// Where a table's rows live: a dBASE file in the data directory, or a table
// of the PostgreSQL register. A Table reads its rows from its store once and
// writes each post or delete through it. Rows are told apart by a key the
// store gives each row (the record number in a dBASE file, the row id in
// the database); keys are stable while the table is open.
class TableStore {
public:
    virtual ~TableStore();

    // The name the operator knows the table by in messages ("obj.dbf", "obj").
    virtual QString displayName() const = 0;
    // Opens the store (reading its layout); fails with EDatabaseError naming it.
    virtual void open() = 0;
    virtual const QVector<DbfField>& fields() const = 0;
    int fieldIndex(const QString& name) const; // case-insensitive, -1 when absent
    // The number of rows, or an estimate, for reserving memory.
    virtual quint32 sizeHint() const = 0;
    // Reads every live row in key order.
    virtual void load(const std::function<void(quint32 key, QVector<QVariant>&& values)>& sink) = 0;
    // Reads the rows of keys that are there now, in key order (a key not
    // given is a row that is gone). False, reading nothing, when the store
    // cannot read single rows: the whole table is read anew then.
    virtual bool loadRows(const std::vector<quint32>& keys,
                          const std::function<void(quint32 key, QVector<QVariant>&& values)>& sink) {
        (void)keys;
        (void)sink;
        return false;
    }

    // Checks that values fit their fields without writing (the errors of a write).
    virtual void checkFits(const QVector<QVariant>& values) const = 0;
    virtual quint32 append(const QVector<QVariant>& values) = 0; // returns the new row's key
    virtual void update(quint32 key, const QVector<QVariant>& values) = 0;
    virtual void remove(quint32 key) = 0;

    // Width of a field for editors (see DbfFile::fieldWidth).
    virtual int fieldWidth(int field) const = 0;
    // The code page the store's texts must be representable in ("cp866").
    virtual QString codePageName() const = 0;

    // The dBASE file behind the store, for checks of its layout; null for
    // other stores.
    virtual const DbfFile* dbfFile() const { return nullptr; }
    // dBASE stores: the unit of work the writes wait in (see WriteBatch).
    virtual void setBatch(WriteBatch*) {}
};

// A table of the data directory: one dBASE file.
class DbfTableStore : public TableStore {
public:
    explicit DbfTableStore(QString path);
    ~DbfTableStore() override;

    QString displayName() const override;
    void open() override;
    const QVector<DbfField>& fields() const override;
    quint32 sizeHint() const override;
    void load(const std::function<void(quint32 key, QVector<QVariant>&& values)>& sink) override;
    void checkFits(const QVector<QVariant>& values) const override;
    quint32 append(const QVector<QVariant>& values) override;
    void update(quint32 key, const QVector<QVariant>& values) override;
    void remove(quint32 key) override;
    int fieldWidth(int field) const override;
    QString codePageName() const override;
    const DbfFile* dbfFile() const override { return m_file.get(); }
    void setBatch(WriteBatch* batch) override;

private:
    QString m_path;
    std::unique_ptr<DbfFile> m_file;
    WriteBatch* m_batch = nullptr;
};

} // namespace varek
