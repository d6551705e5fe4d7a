// Keys files over arbitrary bytes: the CSV reader either refuses the file with
// an error of the family or gives records that write back and read the same;
// the import's check of them never throws, refuses every row it cannot take
// with a reason, and takes only codes whose check byte is right.
#include "core/errors.h"
#include "fuzz/fuzz_support.h"
#include "keys/token_code.h"
#include "register/register_schema.h"
#include "register/varek_register.h"
#include "transfer/csv.h"
#include "transfer/key_transfer.h"

#include <QDir>

using namespace varek;

namespace {

VarekRegister& fuzzRegister() {
    static VarekRegister* reg = [] {
        const QString dir = fuzz::scratchDir() + QStringLiteral("/Data/");
        QDir().mkpath(dir);
        createRegisterFiles(dir);
        auto* r = new VarekRegister;
        r->open(dir);
        return r;
    }();
    return *reg;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const QByteArray bytes(reinterpret_cast<const char*>(data), qsizetype(size));
    QList<CsvRecord> records;
    bool readable = true;
    try {
        records = parseCsv(bytes);
    } catch (const EFileError&) {
        readable = false;
    }
    if (readable) {
        QList<QStringList> cells;
        for (const CsvRecord& r : records)
            cells << r.cells;
        const QList<CsvRecord> again = parseCsv(csvFile(cells));
        fuzz::expect(again.size() == records.size(), "written records read back as many");
        for (qsizetype i = 0; i < again.size(); ++i)
            fuzz::expect(again[i].cells == records[i].cells, "written records read back the same");
    }

    const ImportPlan plan = planImport(fuzzRegister(), bytes);
    fuzz::expect(readable || !plan.fileError.isEmpty(), "an unreadable file is refused whole");
    for (const ImportRow& row : plan.rows) {
        if (row.verdict == ImportRow::Verdict::Refused) {
            fuzz::expect(!row.reason.isEmpty(), "a refused row says why");
            continue;
        }
        fuzz::expect(isWellFormedTokenCode(row.code), "a taken row has a well-formed code");
        fuzz::expect(row.code.right(2).toUInt(nullptr, 16) == DallasCrc8(row.code),
                     "a taken row's check byte is right");
    }
    return 0;
}
