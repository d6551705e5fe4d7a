// varek-dbf FILE: prints the header facts of a dBASE table file.
// varek-dbf --csv FILE: prints its live records as UTF-8 CSV, a header line
// of field names first; fields are quoted when they hold a comma, a quote
// or a line break, quotes doubled. Null values are empty; memo fields show
// their text from the memo file beside the table.
#include "core/errors.h"
#include "dbase/dbf.h"

#include <QCoreApplication>
#include <QLocale>
#include <QStringList>
#include <cstdio>

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

QString csvField(const QString& s) {
    if (!s.contains(QLatin1Char(',')) && !s.contains(QLatin1Char('"')) && !s.contains(QLatin1Char('\n')) &&
        !s.contains(QLatin1Char('\r')))
        return s;
    QString q = s;
    q.replace(QLatin1String("\""), QLatin1String("\"\""));
    return QLatin1Char('"') + q + QLatin1Char('"');
}

QString valueText(const DbfField& f, const QVariant& v) {
    if (!v.isValid() || v.isNull()) return QString();
    switch (v.typeId()) {
    case QMetaType::QDate:
        return v.toDate().toString(Qt::ISODate);
    case QMetaType::Bool:
        return v.toBool() ? QStringLiteral("T") : QStringLiteral("F");
    case QMetaType::Double:
        if (f.decimals > 0) return QString::number(v.toDouble(), 'f', f.decimals);
        return QString::number(v.toDouble(), 'g', QLocale::FloatingPointShortest);
    default:
        return v.toString();
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

void printCsv(const DbfFile& file) {
    QStringList names;
    for (const DbfField& f : file.fields())
        names << csvField(f.name);
    QByteArray out = names.join(QLatin1Char(',')).toUtf8() + '\n';
    const auto& fields = file.fields();
    file.readAll([&](quint32, QVector<QVariant>&& values) {
        for (int i = 0; i < values.size(); ++i) {
            if (i) out += ',';
            out += csvField(valueText(fields[i], values[i])).toUtf8();
        }
        out += '\n';
        if (out.size() > (1 << 20)) {
            std::fwrite(out.constData(), 1, size_t(out.size()), stdout);
            out.clear();
        }
    });
    std::fwrite(out.constData(), 1, size_t(out.size()), stdout);
}

} // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    QStringList args = app.arguments().mid(1);
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
    } catch (const VarekError& e) {
        std::fflush(stdout);
        std::fprintf(stderr, "varek-dbf: %s\n", e.what());
        return 1;
    }
    return std::fflush(stdout) == 0 ? 0 : 1;
}
