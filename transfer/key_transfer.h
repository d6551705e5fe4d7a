#pragma once

#include <QByteArray>
#include <QDate>
#include <QList>
#include <QString>
#include <QStringList>
#include <QVariant>
#include <functional>
#include <optional>

namespace varek {

class VarekRegister;

// Keys to and from CSV files (the columns are in transfer/key_columns.h).

// Which keys an export writes: the rows of the keys table with these stored
// row ids (Table::storedRowCount), and the keys with these card numbers; both
// empty: every key.
struct KeySubset {
    QList<int> rowIds;
    QStringList cards;
    bool all() const { return rowIds.isEmpty() && cards.isEmpty(); }
};

// The keys of subset, in the keys table's order, each with the controllers its
// access rows name (those whose controller and object exist), as a CSV file.
// count, when given, receives the number of keys written.
QByteArray exportKeysCsv(VarekRegister& reg, const KeySubset& subset = {}, int* count = nullptr);
// The same into a file, replaced as a whole or not at all; returns the number
// of keys. Throws EFileError naming the file.
int exportKeys(VarekRegister& reg, const QString& path, const KeySubset& subset = {});

// What an import would do, row by row, checked against the register.
struct ImportRow {
    enum class Verdict { Add, Change, Same, Refused };
    int line = 0; // the file's line where the row begins
    Verdict verdict = Verdict::Refused;
    QString code;   // as the file gives it, blanks removed, upper case
    QString holder; // as the file gives it (or as stored, when the column is absent)
    // Refused: every reason, "; " between them. Change: what changes.
    QString reason;

    // What applying writes. Unset: left as it is (a changed key) or the
    // default of a new key (holder empty, issued today, access key, no
    // controllers).
    std::optional<QString> setHolder;
    std::optional<QVariant> setDate; // a QDate, or null for no date
    std::optional<int> setStatus;
    std::optional<QList<qint32>> setControllers; // ser_num of each
    QString card;                                // the card number the code gives
    int storedId = -1;                           // Change, Same: the key's row in the keys table
    QString storedCode;                          // Change, Same: its code as stored
};

struct ImportPlan {
    QString fileError;          // the whole file is refused (not UTF-8, no code column...)
    QStringList ignoredColumns; // headers that name no column
    QList<ImportRow> rows;

    int count(ImportRow::Verdict verdict) const;
    // "Добавить: N, изменить: M, отклонено: K"
    QString summary() const;
    // Nothing refused and something to add or change.
    bool canApply() const;
    bool refused() const { return !fileError.isEmpty() || count(ImportRow::Verdict::Refused) > 0; }
};

// Checks a keys file: recognises its columns by the header row, reads every
// row and says for each whether it adds a key, changes one (matched by code),
// changes nothing, or is refused and why.
ImportPlan planImport(VarekRegister& reg, const QByteArray& bytes);
// The same for a file; a file that cannot be read is refused as a whole.
ImportPlan planImportFile(VarekRegister& reg, const QString& path);

struct ImportResult {
    int added = 0;
    int changed = 0;
};

// Applies a plan as one unit of work: every row, or, when anything fails on
// the way (the register changed since the plan, a write, making the writes
// durable), none — the files and the tables stay as they were, and the error
// is thrown. A plan with refused rows is refused whole. progress, when given,
// is called after each key row and each access row written, with the rows
// done and the total; an error it throws fails the apply like any other.
// Afterwards the views are re-run.
ImportResult applyImport(VarekRegister& reg, const ImportPlan& plan,
                         const std::function<void(int done, int total)>& progress = {});

} // namespace varek
