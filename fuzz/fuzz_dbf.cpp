// The dBASE codec over arbitrary files: open, read every row, append a copy
// of the first row and write the first row back as it was read, reopen and
// read again, delete the appended row, reopen and read again; on the way, the
// CSV made from the record bytes is the CSV of the values. The input is the table file; when it holds the
// marker
// "\n--dbt--\n", the bytes after the marker are the memo file beside it.
#include "core/errors.h"
#include "dbase/csv.h"
#include "dbase/dbf.h"
#include "fuzz/fuzz_support.h"

#include <QFile>

#include <cstring>

using namespace varek;

namespace {

constexpr char kMemoMarker[] = "\n--dbt--\n";

struct Read {
    bool ok = false;
    quint32 rows = 0;
    quint32 firstRecno = 0;
    QVector<QVariant> first;
};

Read readRows(const DbfFile& file) {
    Read r;
    try {
        file.readAll([&](quint32 recno, QVector<QVariant>&& values) {
            fuzz::expect(values.size() == file.fields().size(), "a row has one value per field");
            if (r.rows++ == 0) {
                r.firstRecno = recno;
                r.first = std::move(values);
            }
        });
        r.ok = true;
    } catch (const VarekError&) {
    }
    return r;
}

// Values that survive a write exactly (a number with more places than its
// field's decimals is rounded on the way back, by design).
bool sameExceptFractions(const QVector<QVariant>& a, const QVector<QVariant>& b) {
    if (a.size() != b.size()) return false;
    for (qsizetype i = 0; i < a.size(); ++i)
        if (a[i].typeId() != QMetaType::Double && a[i] != b[i]) return false;
    return true;
}

std::unique_ptr<DbfFile> reopen(const QString& path) {
    try {
        return DbfFile::open(path);
    } catch (const VarekError&) {
        fuzz::fail("a table that opened once no longer opens after a write");
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const char* bytes = reinterpret_cast<const char*>(data);
    const void* marker = memmem(bytes, size, kMemoMarker, sizeof kMemoMarker - 1);
    const size_t tableSize = marker ? size_t(static_cast<const char*>(marker) - bytes) : size;

    const QString memoPath = fuzz::scratchDir() + QStringLiteral("/t.dbt");
    QFile::remove(memoPath);
    const QString path = fuzz::writeScratchFile(QStringLiteral("t.dbf"), bytes, tableSize);
    if (marker) {
        const size_t memoStart = tableSize + sizeof kMemoMarker - 1;
        fuzz::writeScratchFile(QStringLiteral("t.dbt"), bytes + memoStart, size - memoStart);
    }

    std::unique_ptr<DbfFile> file;
    try {
        file = DbfFile::open(path);
    } catch (const VarekError&) {
        return 0;
    }
    const Read before = readRows(*file);
    const quint32 countBefore = file->recordCount();
    const QString codePage = file->codePageName();
    fuzz::expect(before.rows <= countBefore, "no more rows than records");
    for (int i = 0; i < file->fields().size(); ++i)
        (void)file->fieldWidth(i);
    {
        QByteArray csv[2];
        bool ok[2] = {true, true};
        const CsvPath paths[2] = {CsvPath::Records, CsvPath::Values};
        for (int i = 0; i < 2; ++i) {
            try {
                writeCsv(
                    *file, [&](const char* p, size_t n) { csv[i].append(p, qsizetype(n)); }, paths[i]);
            } catch (const VarekError&) {
                ok[i] = false;
            }
        }
        fuzz::expect(ok[0] == ok[1] && (!ok[0] || csv[0] == csv[1]),
                     "the CSV from the record bytes is the CSV of the values");
    }

    QVector<QVariant> row = before.rows > 0 ? before.first : QVector<QVariant>(file->fields().size());
    bool appended = false;
    try {
        file->checkFits(row);
        file->appendRecord(row);
        appended = true;
    } catch (const VarekError&) {
    }
    bool rewritten = false;
    if (before.rows > 0) {
        try {
            file->writeRecord(before.firstRecno, before.first);
            rewritten = true;
        } catch (const VarekError&) {
        }
    }
    file.reset();

    file = reopen(path);
    if (appended) fuzz::expect(file->recordCount() == countBefore + 1, "an append adds one record");
    const Read after = readRows(*file);
    if (appended && before.ok && after.ok)
        fuzz::expect(after.rows == before.rows + 1, "the appended row reads back");
    // A table without a code page id is read in the code page its text
    // suggests, so new rows may tip it to the other one: values then differ by design.
    if (rewritten && before.ok && after.ok && file->codePageName() == codePage)
        fuzz::expect(after.firstRecno == before.firstRecno && sameExceptFractions(after.first, before.first),
                     "a row written back as it was read reads the same");
    if (!appended) return 0;

    try {
        file->deleteRecord(countBefore);
    } catch (const VarekError&) {
        fuzz::fail("the appended record cannot be deleted");
    }
    file.reset();
    file = reopen(path);
    fuzz::expect(file->recordCount() == countBefore + 1, "a delete keeps the record");
    const Read afterDelete = readRows(*file);
    if (before.ok && afterDelete.ok)
        fuzz::expect(afterDelete.rows == before.rows, "a deleted row is not read");
    return 0;
}
