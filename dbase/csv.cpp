#include "dbase/csv.h"

#include "dbase/codepage.h"
#include "dbase/dbf.h"
#include "dbase/field_bytes.h"

#include <QDate>
#include <QLocale>
#include <QStringList>
#include <QtEndian>
#include <algorithm>
#include <array>
#include <charconv>
#include <cstring>
#include <memory>

namespace varek {

namespace {

QString csvField(const QString& s) {
    if (!s.contains(QLatin1Char(',')) && !s.contains(QLatin1Char('"')) && !s.contains(QLatin1Char('\n')) &&
        !s.contains(QLatin1Char('\r')))
        return s;
    QString q = s;
    q.replace(QLatin1String("\""), QLatin1String("\"\""));
    return QLatin1Char('"') + q + QLatin1Char('"');
}

// The CSV text being made: appends go to room made beforehand, no check per
// byte. The room is not cleared first (each byte is written before use).
class CsvBuffer {
public:
    char* room(size_t n) {
        if (m_capacity - m_used < n) [[unlikely]]
            grow(std::max(m_capacity * 2, m_used + n));
        return m_data.get() + m_used;
    }
    void commit(char* end) { m_used = size_t(end - m_data.get()); }
    void append(const char* p, size_t n) { commit(std::copy(p, p + n, room(n))); }
    void append(const QByteArray& b) { append(b.constData(), size_t(b.size())); }
    void push(char c) { *room(1) = c, ++m_used; }
    size_t size() const { return m_used; }
    const char* data() const { return m_data.get(); }
    void clear() { m_used = 0; }

private:
    void grow(size_t capacity) {
        std::unique_ptr<char[]> bigger(new char[capacity]);
        std::copy(m_data.get(), m_data.get() + m_used, bigger.get());
        m_data = std::move(bigger);
        m_capacity = capacity;
    }
    size_t m_capacity = size_t(1) << 20;
    std::unique_ptr<char[]> m_data{new char[m_capacity]};
    size_t m_used = 0;
};

template <typename T> void appendNumber(CsvBuffer& out, T v) {
    char* o = out.room(24);
    out.commit(std::to_chars(o, o + 24, v).ptr);
}

void appendDate(CsvBuffer& out, int y, int m, int day) {
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

// A value as the codec gives it.
void appendValue(CsvBuffer& out, const DbfField& f, const QVariant& v) {
    switch (v.typeId()) {
    case QMetaType::UnknownType:
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
        appendDate(out, y, m, day);
        return;
    }
    default:
        break;
    }
    out.append(csvField(valueText(f, v)).toUtf8());
}

// Each byte of a code page as UTF-8 (up to three bytes), and whether it
// makes a field need quotes.
struct Utf8Table {
    std::array<std::array<char, 4>, 256> bytes{}; // [0] the length
    std::array<bool, 256> special{};
    bool asciiItself = true; // every byte below 0x80 is that ASCII character

    explicit Utf8Table(const CodePage& page) {
        for (int b = 0; b < 256; ++b) {
            const char16_t c = page.unicodeOf(uchar(b));
            auto& o = bytes[b];
            special[b] = c == ',' || c == '"' || c == '\n' || c == '\r' || (c >= 0xD800 && c <= 0xDFFF);
            if (b < 0x80 && c != char16_t(b)) asciiItself = false;
            if (c < 0x80) {
                o = {1, char(c), 0, 0};
            } else if (c < 0x800) {
                o = {2, char(0xC0 | c >> 6), char(0x80 | (c & 0x3F)), 0};
            } else {
                o = {3, char(0xE0 | c >> 12), char(0x80 | (c >> 6 & 0x3F)), char(0x80 | (c & 0x3F))};
            }
        }
    }
};

class CsvWriter {
public:
    CsvWriter(const DbfFile& file, const std::function<void(const char*, size_t)>& out, bool records)
        : m_file(file), m_fields(file.fields()), m_utf8(file.codePage()), m_out(out), m_records(records) {}

    void run() {
        QStringList names;
        for (const DbfField& f : m_fields)
            names << csvField(f.name);
        m_buf.append(names.join(QLatin1Char(',')).toUtf8());
        m_buf.push('\n');
        const int n = static_cast<int>(m_fields.size());
        m_file.readRecords([&](quint32 recno, const unsigned char* rec) {
            for (int k = 0; k < n; ++k) {
                if (k) m_buf.push(',');
                field(rec, recno, k);
            }
            m_buf.push('\n');
            if (m_buf.size() > kFlushAt) flush();
        });
        flush();
    }

private:
    static constexpr size_t kFlushAt = size_t(768) << 10; // the buffer stays in the cache

    void flush() {
        if (m_buf.size() > 0) m_out(m_buf.data(), m_buf.size());
        m_buf.clear();
    }

    // The codec's value of the field, formatted.
    void general(const unsigned char* rec, quint32 recno, int k) {
        appendValue(m_buf, m_fields[k], m_file.decodeField(rec, recno, k));
    }

    void field(const unsigned char* rec, quint32 recno, int k) {
        const DbfField& f = m_fields[k];
        const unsigned char* p = rec + f.offset;
        if (!m_records) return general(rec, recno, k);
        switch (f.type) {
        case 'C':
            return text(p, f.length) ? void() : general(rec, recno, k);
        case 'N':
        case 'F':
            return f.decimals == 0 && integer(p, f.length) ? void() : general(rec, recno, k);
        case 'D':
            return date(p) ? void() : general(rec, recno, k);
        case 'I':
            if (!m_file.isLevel7()) {
                qint32 v;
                std::memcpy(&v, p, 4); // little-endian, as the machine
                return appendNumber(m_buf, qFromLittleEndian(v));
            }
            return general(rec, recno, k);
        default:
            return general(rec, recno, k);
        }
    }

    // Text without quotes; false when it needs them (nothing written then).
    bool text(const unsigned char* p, int length) {
        const int e = lengthWithoutTrailingBlanks(p, length);
        char* o = m_buf.room(size_t(e) * 3);
        int i = 0;
        if (m_utf8.asciiItself) {
            // Eight plain ASCII characters at a time are their own UTF-8.
            for (; i + 8 <= e; i += 8) {
                const quint64 w = word(p + i);
                if (w & kHighBits) {
                    if (!convert(p + i, 8, o)) return false;
                    continue;
                }
                if (hasByte(w, ',') || hasByte(w, '"') || hasByte(w, '\n') || hasByte(w, '\r')) return false;
                std::memcpy(o, p + i, 8);
                o += 8;
            }
        }
        if (!convert(p + i, e - i, o)) return false;
        m_buf.commit(o);
        return true;
    }

    // Bytes of the code page as UTF-8 at o, o moved past them; false at a
    // byte that makes the field need quotes.
    bool convert(const unsigned char* p, int n, char*& o) const {
        for (int i = 0; i < n; ++i) {
            if (m_utf8.special[p[i]]) [[unlikely]]
                return false;
            const auto& u = m_utf8.bytes[p[i]];
            std::memcpy(o, u.data() + 1, 3);
            o += u[0];
        }
        return true;
    }

    static constexpr quint64 kOnes = 0x0101010101010101ull;
    static constexpr quint64 kHighBits = 0x8080808080808080ull;

    static quint64 word(const unsigned char* p) {
        quint64 w;
        std::memcpy(&w, p, 8);
        return w;
    }

    // Whether one of the eight bytes of w (each below 0x80) is c.
    static bool hasByte(quint64 w, unsigned char c) {
        const quint64 x = w ^ (kOnes * c);
        return ((x - kOnes) & ~x & kHighBits) != 0;
    }

    // An integer of an optional sign and up to 18 digits, blanks around it;
    // blanks or stars alone are null. False for any other form.
    bool integer(const unsigned char* p, int length) {
        int b = 0, e = length;
        trimBlanks(p, b, e);
        if (b == e) return true;
        bool stars = true;
        for (int i = b; i < e && stars; ++i)
            stars = p[i] == '*';
        if (stars) return true;
        int i = b;
        bool negative = false;
        if (p[i] == '-' || p[i] == '+') negative = p[i++] == '-';
        if (i >= e || e - i > 18) return false;
        qint64 v = 0;
        for (; i < e; ++i) {
            if (p[i] < '0' || p[i] > '9') return false;
            v = v * 10 + (p[i] - '0');
        }
        appendNumber(m_buf, negative ? -v : v);
        return true;
    }

    // A valid date, or blanks or zeros (null); false for anything else.
    bool date(const unsigned char* p) {
        int y = 0, m = 0, day = 0;
        switch (readDateBytes(p, y, m, day)) {
        case DateBytes::Null:
            return true;
        case DateBytes::Other:
            return false;
        case DateBytes::Digits:
            break;
        }
        if (y < 1 || !QDate::isValid(y, m, day)) return false;
        appendDate(m_buf, y, m, day);
        return true;
    }

    const DbfFile& m_file;
    const QVector<DbfField>& m_fields;
    const Utf8Table m_utf8;
    const std::function<void(const char*, size_t)>& m_out;
    const bool m_records;
    CsvBuffer m_buf;
};

} // namespace

void writeCsv(const DbfFile& file, const std::function<void(const char* data, size_t size)>& out,
              CsvPath path) {
    CsvWriter(file, out, path == CsvPath::Records).run();
}

} // namespace varek
