#pragma once
// Builds dBASE files byte by byte, the way other programs write them, so the
// tests can show what the codec makes of layouts it never writes itself.

#include <QByteArray>
#include <QFile>
#include <QString>
#include <QVector>

namespace varek::test {

struct RawField {
    QByteArray name;
    char type;
    int length;
    int decimals = 0;
};

struct RawTable {
    quint8 version = 0x03;
    quint8 languageDriver = 0x65;
    bool level7 = false;
    QByteArray languageDriverName; // level 7
    QVector<RawField> fields;
    QVector<QByteArray> records; // whole records, deletion flag first
    QByteArray afterTerminator;  // room the header length leaves after 0x0D

    QByteArray bytes() const {
        const int base = level7 ? 68 : 32;
        const int desc = level7 ? 48 : 32;
        const int headerLength = base + desc * int(fields.size()) + 1 + int(afterTerminator.size());
        int recordLength = 1;
        for (const RawField& f : fields)
            recordLength += f.length;
        QByteArray h(base, '\0');
        h[0] = char(version);
        h[1] = char(124);
        h[2] = 3;
        h[3] = 15;
        const quint32 n = quint32(records.size());
        for (int i = 0; i < 4; ++i)
            h[4 + i] = char(n >> (8 * i));
        h[8] = char(headerLength), h[9] = char(headerLength >> 8);
        h[10] = char(recordLength), h[11] = char(recordLength >> 8);
        h[29] = char(languageDriver);
        if (level7) h.replace(32, languageDriverName.size(), languageDriverName);
        for (const RawField& f : fields) {
            QByteArray d(desc, '\0');
            d.replace(0, f.name.size(), f.name);
            const int t = level7 ? 32 : 11;
            d[t] = f.type;
            d[t + (level7 ? 1 : 5)] = char(f.length);
            d[t + (level7 ? 2 : 6)] = char(f.decimals);
            h += d;
        }
        h += '\r';
        h += afterTerminator;
        for (const QByteArray& r : records)
            h += r;
        h += '\x1a';
        return h;
    }

    bool write(const QString& path) const {
        QFile f(path);
        return f.open(QIODevice::WriteOnly | QIODevice::Truncate) && f.write(bytes()) >= 0;
    }
};

} // namespace varek::test
