// varek-dbf FILE: prints the header facts of a dBASE table file.
// varek-dbf --csv FILE: prints its live records as UTF-8 CSV, a header line
// of field names first; fields are quoted when they hold a comma, a quote
// or a line break, quotes doubled. Null values are empty; memo fields show
// their text from the memo file beside the table.
#include "core/errors.h"
#include "dbase/csv.h"
#include "dbase/dbf.h"

#include <QFile>
#include <QStringList>
#include <cerrno>
#include <cstdio>
#include <cstring>

using namespace varek;

namespace {

QString versionText(const DbfFile& file) {
    const quint8 v = file.version();
    if (file.isLevel7()) return QStringLiteral("dBASE level 7");
    switch (v) {
    case 0x03:
        return QStringLiteral("dBASE III+/IV/5, no memo");
    case 0x83:
        return QStringLiteral("dBASE III+ with memo");
    case 0x8B:
        return QStringLiteral("dBASE IV with memo");
    case 0x30:
    case 0x31:
    case 0x32:
        return QStringLiteral("Visual FoxPro");
    case 0xF5:
        return QStringLiteral("FoxPro with memo");
    default:
        return QStringLiteral("dBASE, 32-byte field descriptors");
    }
}

void printHeader(const DbfFile& file) {
    QString out;
    out += QStringLiteral("File: %1\n").arg(file.path());
    out += QStringLiteral("Version: 0x%1 (%2)\n")
               .arg(file.version(), 2, 16, QLatin1Char('0'))
               .arg(versionText(file));
    out += QStringLiteral("Language driver: 0x%1").arg(file.languageDriver(), 2, 16, QLatin1Char('0'));
    if (!file.languageDriverName().isEmpty()) out += QStringLiteral(" \"%1\"").arg(file.languageDriverName());
    out += QStringLiteral("\nCode page: %1\n").arg(file.codePageName());
    out += QStringLiteral("Records: %1\n").arg(file.recordCount());
    out += QStringLiteral("Last update: %1\n")
               .arg(file.lastUpdate().isValid() ? file.lastUpdate().toString(Qt::ISODate)
                                                : QStringLiteral("none"));
    out += QStringLiteral("Header length: %1\nRecord length: %2\n")
               .arg(file.headerLength())
               .arg(file.recordLength());
    if (!file.memoPath().isEmpty()) out += QStringLiteral("Memo file: %1\n").arg(file.memoPath());
    out += QStringLiteral("Fields: %1\n").arg(file.fields().size());
    for (const DbfField& f : file.fields())
        out += QStringLiteral("  %1 %2 %3 %4\n")
                   .arg(f.name, -11)
                   .arg(QLatin1Char(f.type))
                   .arg(f.length, 3)
                   .arg(f.decimals);
    std::fputs(out.toUtf8().constData(), stdout);
}

// A failed write of the output: the tool says so and ends with 1.
struct OutputError {
    int err;
};

void writeOut(const char* data, size_t size) {
    if (std::fwrite(data, 1, size, stdout) != size) throw OutputError{errno ? errno : EIO};
}

void printCsv(const DbfFile& file) {
    writeCsv(file, writeOut);
}

// Ends the output: what stdio still holds is written and the stream closed;
// false when any of it failed.
bool finishOutput(int* err) {
    errno = 0;
    const bool failed = std::fflush(stdout) != 0 || std::ferror(stdout);
    const int flushErr = errno;
    errno = 0;
    const bool closeFailed = std::fclose(stdout) != 0;
    *err = failed ? flushErr : errno;
    return !failed && !closeFailed;
}

int outputFailure(int err) {
    std::fprintf(stderr, "varek-dbf: cannot write the output: %s\n", std::strerror(err ? err : EIO));
    return 1;
}

} // namespace

int main(int argc, char** argv) {
    // No application object: the tool needs none, and starting one costs a
    // good part of a small table's time.
    QStringList args;
    for (int i = 1; i < argc; ++i)
        args << QFile::decodeName(argv[i]);
    const bool csv = args.removeAll(QStringLiteral("--csv")) > 0;
    if (args.size() != 1 || args[0].startsWith(QLatin1Char('-'))) {
        std::fprintf(stderr,
                     "usage: varek-dbf [--csv] FILE\n"
                     "Prints the header of a dBASE table file, or with --csv its live records as CSV.\n");
        return 2;
    }
    try {
        const auto file = DbfFile::open(args[0]);
        if (csv)
            printCsv(*file);
        else
            printHeader(*file);
    } catch (const OutputError& e) {
        return outputFailure(e.err);
    } catch (const VarekError& e) {
        std::fflush(stdout);
        std::fprintf(stderr, "varek-dbf: %s\n", e.what());
        return 1;
    }
    int err = 0;
    return finishOutput(&err) ? 0 : outputFailure(err);
}
