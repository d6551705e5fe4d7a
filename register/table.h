#pragma once

#include "register/dataset.h"

#include <QAnyStringView>
#include <QStringView>

#include <functional>
#include <memory>
#include <optional>
#include <vector>

namespace varek {

class DataLink;
class DbfFile;
class TableStore;
class WriteBatch;

// A dBASE table held in memory, written through record by record.
class Table : public Dataset {
    Q_OBJECT
public:
    explicit Table(QObject* parent = nullptr);
    ~Table() override;

    // The dBASE file the table opens (a store over it is made at each opening).
    void setFileName(const QString& path);
    // The name of the file, or of the store given.
    QString fileName() const;
    // Another store for the rows (a table of the PostgreSQL register); the
    // table keeps it across openings until setFileName.
    void setStore(std::unique_ptr<TableStore> store);
    TableStore* store() const;

    // Fields that must exist; opening fails with an error naming the file and the field otherwise.
    void setRequiredFields(const QStringList& names);
    // A further check of the opened file (kinds and widths of fields); it
    // throws to make the opening fail.
    void setOpenCheck(std::function<void(const DbfFile&)> check);

    void open() override; // reads the file; fails with EDatabaseError naming the file
    // open() in two steps: load() reads the file into memory and announces
    // nothing, so it may run on another thread while nothing else uses the
    // table; finishOpen(), on the table's thread, then opens it with the
    // events of an opening. A failed load leaves the table closed.
    void load();
    void finishOpen();
    void close() override;

    int recordCount() const override;
    int recNo() const override;
    void setRecNo(int row) override;
    QStringList fieldNames() const override;
    QVariant value(int row, int field) const override;

    void append(); // new row, insert state
    void edit();   // edit state; on an empty table starts an insert
    void setFieldValue(const QString& name,
                       const QVariant& value); // edit/insert only; fires the change event
    void post();                               // writes the row durably; it stays current
    void cancel();                             // drops a pending change
    void deleteRecord();                       // deletes the current row
    // Deletes every row whose field equals value (by the field's index when
    // it has one) and returns how many; the current row keeps its position
    // where it can. A pending change is dropped first. One pass over the
    // presented rows however many go, and one change event.
    int deleteMatching(const QString& field, const QVariant& value) {
        return deleteMatching(field, QVariantList{value});
    }
    // The same for every row whose field equals any of values.
    int deleteMatching(const QString& field, const QVariantList& values);
    // One field name, or two separated by ";", with that many values; exact,
    // case-sensitive whole values. The first match becomes current.
    bool locate(const QString& fields, const QVariantList& values);

    // While batch is set, the table's writes wait in it (see WriteBatch);
    // null: every write is durable when it returns. Kept across openings.
    void setWriteBatch(WriteBatch* batch);
    // Reads the store anew (the rows in memory are dropped), keeping the
    // current row where it is still there (by its record or row id), else
    // its position; fires the events of an opening.
    void reload();
    // Reads the rows of keys anew from the store (rows changed, added or
    // deleted elsewhere), keeping the current row when it is still there;
    // the rows presented again and a change event. Reads the whole table
    // (reload) when the store cannot read single rows, or when a row that
    // is new here comes before rows already read (the table keeps the
    // store's key order). Browse state only; false, doing nothing, otherwise.
    bool reloadRows(const std::vector<quint32>& keys);
    // The store's key of the current row (record number, row id); none on
    // no row or while a row is inserted.
    std::optional<quint32> currentKey() const;
    // Makes the row of a key current when it is presented; false otherwise.
    bool moveToKey(quint32 key);

    // Width of a field for editors (see DbfFile::fieldWidth).
    int fieldWidth(const QString& name) const;
    // Whether text can be stored in the text field name, in its file's code
    // page and width (see TextFit); any other kind of field answers that it
    // fits. Closed table and unknown field fail as usual.
    TextFit textFit(const QString& name, const QString& text) const;

    // Restriction to a master: presents only the rows whose detailField
    // equals masterField of the master link's dataset's current row, in
    // detailField order. While the master link is disabled, or the
    // restriction detached, all rows are presented in detailField order and
    // the current row stays. Re-applying makes the first matching row current.
    void setMaster(DataLink* masterLink, const QString& masterField, const QString& detailField);
    void detachMaster();
    void attachMaster();
    bool masterAttached() const;

    // Fields kept in in-memory hash indexes (equality lookups by locate and
    // by the SQL views). Set before opening.
    void setIndexedFields(const QStringList& names);
    // Keeps the texts of a field in the store of another open table's field
    // (see RowStore::shareTexts): for texts the two hold alike, kept once.
    // Nothing to see but the memory; lasts until either table reads its
    // rows anew. Both tables are open.
    void shareTexts(const QString& field, Table& from, const QString& fromField);

    // The stored rows, for the SQL engine (sql_views.cpp): every row read or
    // appended since opening has a stable id (0 .. storedRowCount()-1);
    // deleted rows stay as dead ids. Values are the posted ones, whatever
    // the restriction and any pending change.
    int storedRowCount() const;
    bool storedRowLive(int id) const;
    QVariant storedValue(int id, int field) const;
    // A stored text without making a QString (see RowStore::textView):
    // false when the row is dead or the value is not such a text.
    bool storedText(int id, int field, QAnyStringView* text) const;
    // A stored integer without making a value (see RowStore::integerView):
    // false when the row is dead or the value is not such an integer.
    bool storedInteger(int id, int field, qint64* value) const;
    // The live rows whose field equals key, by its index: -1 when the field
    // has no index or the key cannot be looked up in it; otherwise the number
    // of rows, with their ids in file order put into ids when given.
    int lookup(int field, const QVariant& key, std::vector<int>* ids) const;
    // The same for a text key without making a QString of it; -1 too when
    // the field's index is not of texts.
    int lookupText(int field, QAnyStringView key, std::vector<int>* ids) const;
    bool fieldIndexed(int field) const;
    // The row (as presented, for setRecNo) of a stored row id; -1 when the
    // row is dead or not presented (outside the master's restriction).
    int rowOfStored(int id) const;
    // Number of distinct keys in a field's index (0 without an index).
    int indexKeyCount(int field) const;
    int liveRowCount() const;
    // dBASE type letter of a field ('C', 'N', 'D', ...).
    char fieldType(int field) const;
    // Changes each time the table is opened (the fields may differ).
    quint64 openGeneration() const;

protected:
    QVariant currentValue(int field) const override;

private:
    // Presents the rows again (the master's restriction applied anew), the
    // first current: eof/bof, models reset, change event.
    void presentFromFirst();
    // Presents the rows again (the restriction lifted), the current row kept
    // while it is presented: models reset, and the change event when the
    // current row changed.
    void presentKeepingCurrent();

    struct Impl;
    std::unique_ptr<Impl> d;
};

} // namespace varek
