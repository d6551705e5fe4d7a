// The dBASE codec over arbitrary files: open, read every row, append a row,
// reopen and read again. The input is the table file; when it holds the marker
// "\n--dbt--\n", the bytes after the marker are the memo file beside it.
#include "core/errors.h"
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
    QVector<QVariant> first;
};

Read readRows(const DbfFile& file) {
    Read r;
    try {
        file.readAll([&](quint32, QVector<QVariant>&& values) {
            fuzz::expect(values.size() == file.fields().size(), "a row has one value per field");
            if (r.rows++ == 0) r.first = std::move(values);
        });
        r.ok = true;
    } catch (const VarekError&) {
    }
    return r;
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
    fuzz::expect(before.rows <= countBefore, "no more rows than records");
    for (int i = 0; i < file->fields().size(); ++i)
        (void)file->fieldWidth(i);

    QVector<QVariant> row = before.rows > 0 ? before.first : QVector<QVariant>(file->fields().size());
    bool appended = false;
    try {
        file->checkFits(row);
        file->appendRecord(row);
        appended = true;
    } catch (const VarekError&) {
    }
    file.reset();

    try {
        file = DbfFile::open(path);
    } catch (const VarekError&) {
        fuzz::fail("a table that opened once no longer opens after an append");
    }
    if (appended) fuzz::expect(file->recordCount() == countBefore + 1, "an append adds one record");
    const Read after = readRows(*file);
    if (appended && before.ok && after.ok)
        fuzz::expect(after.rows == before.rows + 1, "the appended row reads back");
    return 0;
}
