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
#include <algorithm>
#include <charconv>
#include <cstdio>
#include <vector>

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

// The CSV text being made: appends go to room made beforehand, no check per byte.
class CsvBuffer {
public:
    char* room(size_t n) {
        if (m_data.size() - m_used < n) [[unlikely]]
            m_data.resize(std::max(m_data.size() * 2, m_used + n));
        return m_data.data() + m_used;
    }
    void commit(char* end) { m_used = size_t(end - m_data.data()); }
    void append(const char* p, size_t n) { commit(std::copy(p, p + n, room(n))); }
    void append(const QByteArray& b) { append(b.constData(), size_t(b.size())); }
    void push(char c) { *room(1) = c, ++m_used; }
    size_t size() const { return m_used; }
    const char* data() const { return m_data.data(); }
    void clear() { m_used = 0; }

private:
    std::vector<char> m_data = std::vector<char>(1 << 20);
    size_t m_used = 0;
};

// Appends text as UTF-8, quoted as csvField quotes it. Text from a table is
// UTF-16 without surrogates: it is encoded here in one pass; text that needs
// quotes or holds surrogates takes the general way.
void appendCsvText(CsvBuffer& out, const QString& s) {
    const char16_t* p = reinterpret_cast<const char16_t*>(s.constData());
    const qsizetype n = s.size();
    char* o = out.room(size_t(n) * 3);
    for (qsizetype i = 0; i < n; ++i) {
        const char16_t c = p[i];
        if (c < 0x80) {
            if (c == ',' || c == '"' || c == '\n' || c == '\r') return out.append(csvField(s).toUtf8());
            *o++ = char(c);
        } else if (c < 0x800) {
            *o++ = char(0xC0 | c >> 6);
            *o++ = char(0x80 | (c & 0x3F));
        } else if (c >= 0xD800 && c <= 0xDFFF) {
            return out.append(csvField(s).toUtf8());
        } else {
            *o++ = char(0xE0 | c >> 12);
            *o++ = char(0x80 | (c >> 6 & 0x3F));
            *o++ = char(0x80 | (c & 0x3F));
        }
    }
    out.commit(o);
}

template <typename T> void appendNumber(CsvBuffer& out, T v) {
    char* o = out.room(24);
    out.commit(std::to_chars(o, o + 24, v).ptr);
}

void appendValue(CsvBuffer& out, const DbfField& f, const QVariant& v) {
    // A string, number or date the codec gives is never null.
    switch (v.typeId()) {
    case QMetaType::UnknownType:
        return;
    case QMetaType::QString:
        appendCsvText(out, *static_cast<const QString*>(v.constData()));
        return;
    case QMetaType::LongLong:
        appendNumber(out, *static_cast<const qint64*>(v.constData()));
        return;
    case QMetaType::Int:
        appendNumber(out, *static_cast<const int*>(v.constData()));
        return;
    case QMetaType::QDate: {
        int y = 0, m = 0, day = 0;
        static_cast<const QDate*>(v.constData())->getDate(&y, &m, &day);
        if (y < 1 || y > 9999) break; // what only the general way knows to print
        const char buf[10] = {char('0' + y / 1000),
                              char('0' + y / 100 % 10),
                              char('0' + y / 10 % 10),
                              char('0' + y % 10),
                              '-',
                              char('0' + m / 10),
                              char('0' + m % 10),
                              '-',
                              char('0' + day / 10),
                              char('0' + day % 10)};
        out.append(buf, sizeof buf);
        return;
    }
    default:
        break;
    }
    out.append(csvField(valueText(f, v)).toUtf8());
}

void flushOut(CsvBuffer& out) {
    if (out.size() > 0) std::fwrite(out.data(), 1, out.size(), stdout);
    out.clear();
}

void printCsv(const DbfFile& file) {
    QStringList names;
    for (const DbfField& f : file.fields())
        names << csvField(f.name);
    CsvBuffer out;
    out.append(names.join(QLatin1Char(',')).toUtf8());
    out.push('\n');
    constexpr size_t kFlushAt = 512 << 10;
    const auto& fields = file.fields();
    file.readAll([&](quint32, QVector<QVariant>&& values) {
        const QVariant* v = values.constData();
        for (int i = 0; i < values.size(); ++i) {
            if (i) out.push(',');
            appendValue(out, fields[i], v[i]);
        }
        out.push('\n');
        if (out.size() > kFlushAt) flushOut(out);
    });
    flushOut(out);
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
