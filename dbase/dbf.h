#pragma once

#include <QDate>
#include <QString>
#include <QVariant>
#include <QVector>
#include <functional>
#include <memory>

namespace varek {

class CodePage;
class WriteBatch;

// One field descriptor of a dBASE file.
struct DbfField {
    QString name;    // as stored (upper case in most files)
    char type = 'C'; // C N F D L I, M (with its memo file); others are skipped (read as null, never written)
    int length = 0;  // bytes in the record
    int decimals = 0;
    int offset = 0; // from the start of the record, after the deletion flag
};

// A dBASE table file: dBASE III+, IV and 5 (32-byte field descriptors) and
// level 7 (48-byte descriptors). Values travel as QVariant:
//   C -> QString (trailing blanks removed), N/F -> qint64 when decimals == 0
//   else double, D -> QDate, L -> bool, I -> qint32; null -> invalid QVariant.
//   M -> QString, kept in the memo file beside the table (name.dbt), in the
//   dBASE III+ form (text ended by 0x1A, 512-byte blocks) or, for dBASE IV
//   and level 7 files, the block form (FF FF 08 00, length, text; the block
//   size of the memo file's header). An empty memo reads as null.
// Every write is durable when the call returns (fsync).
class DbfFile {
public:
    // What opening does with the memo file of a table with memo fields.
    enum class Memos {
        IfPresent, // read and write memos when the memo file exists; else memo fields are skipped
        Required,  // a missing memo file fails the opening
    };
    // Opens an existing file for reading and writing. A bad file fails with
    // EDatabaseError whose message names the file; a damaged or short memo
    // file fails naming the memo file, at opening or when its memo is read.
    static std::unique_ptr<DbfFile> open(const QString& path, Memos memos = Memos::IfPresent);

    // Creates a new, empty dBASE III+ file with these fields and language
    // driver id (0x65 cp866, 0xC9 cp1251). Offsets are computed. Fails with
    // EDatabaseError when the file exists already (nothing is overwritten).
    static void create(const QString& path, const QVector<DbfField>& fields, quint8 languageDriver);

    ~DbfFile();

    const QString& path() const;
    quint8 version() const;        // byte 0
    quint8 languageDriver() const; // byte 29, in every layout
    // The code page text is read and written in, e.g. "cp866": the one the
    // language driver id names (cp866: 0x26, 0x65; cp1251: 0xC9, 0x57; also
    // cp437 0x01, cp850 0x02, cp1252 0x03, cp852 0x64, cp1250 0xC8), for level 7
    // files also the one their driver name names; with id 0 or any other id,
    // cp866 or cp1251 as the bytes of the text fields show (see
    // CyrillicDetector), cp866 when they show nothing. The id itself is kept.
    QString codePageName() const;
    const QVector<DbfField>& fields() const;
    int fieldIndex(const QString& name) const; // case-insensitive, -1 when absent
    quint32 recordCount() const;               // physical records, deleted ones included
    QDate lastUpdate() const;
    int headerLength() const;
    int recordLength() const;
    QString languageDriverName() const; // level 7 only, empty otherwise
    bool isLevel7() const;
    // A file that could only be opened for reading; writes fail with EDatabaseError.
    bool isReadOnly() const;
    // The memo file in use, empty when the table has no memo fields or its
    // memo file was not found (Memos::IfPresent).
    QString memoPath() const;

    // Reads every physical record in file order; deleted records are skipped
    // and their record numbers not reported. The callback gets the 0-based
    // record number and the values of all fields, in field order. A record
    // that cannot be read (garbage in a number or a date) fails with
    // EDatabaseError naming the file, the record and the field.
    void readAll(const std::function<void(quint32 recno, QVector<QVariant>&& values)>& sink) const;
    // Reads every live record as stored, in file order: the callback gets
    // the record number and the record's recordLength() bytes (the deletion
    // flag first, then the fields at their offsets), valid during the call.
    void readRecords(const std::function<void(quint32 recno, const unsigned char* record)>& sink) const;
    // The value of one field of such a record, as readAll gives it (the same
    // errors, naming record recno).
    QVariant decodeField(const unsigned char* record, quint32 recno, int index) const;
    // The code page of the file's text (see codePageName).
    const CodePage& codePage() const;

    // Rewrites one record. A value that does not fit its field is refused
    // with EDatabaseError naming the field; nothing is written then.
    void writeRecord(quint32 recno, const QVector<QVariant>& values);
    // Appends a record, updates the record count and the date; returns its number.
    quint32 appendRecord(const QVector<QVariant>& values);
    // Appends many records with one header update and one pair of syncs
    // (generators, imports); returns the number of the first. Every value is
    // checked before anything is written.
    quint32 appendRecords(const QVector<QVector<QVariant>>& rows);
    // Sets the deletion flag of one record.
    void deleteRecord(quint32 recno);

    // While batch is set (not null), writes are kept in it and become
    // durable at its commit, with the other files of the batch; reads see
    // them meanwhile. Null: every write is durable when the call returns.
    void setBatch(WriteBatch* batch);

    // Checks that values fit their fields without writing (the same errors as writeRecord).
    void checkFits(const QVector<QVariant>& values) const;
    // The number of characters a text field holds, or the number of digits
    // and sign a numeric field holds; editors limit their input to it. A
    // memo field gives 0: its text has no fixed limit.
    int fieldWidth(int index) const;

private:
    DbfFile();
    struct Impl;
    std::unique_ptr<Impl> d;
};

} // namespace varek
