#include "transfer/csv.h"

#include "core/errors.h"

#include <QStringDecoder>

namespace varek {

namespace {

bool needsQuotes(const QString& cell) {
    if (cell.isEmpty()) return false;
    if (cell.front().isSpace() || cell.back().isSpace()) return true;
    for (const QChar c : cell)
        if (c == u',' || c == u'"' || c == u'\n' || c == u'\r') return true;
    return false;
}

} // namespace

QString csvRecord(const QStringList& cells) {
    QString out;
    for (qsizetype i = 0; i < cells.size(); ++i) {
        if (i > 0) out += u',';
        const QString& cell = cells.at(i);
        if (needsQuotes(cell)) {
            out += u'"';
            out += QString(cell).replace(u'"', QStringLiteral("\"\""));
            out += u'"';
        } else {
            out += cell;
        }
    }
    out += QStringLiteral("\r\n");
    return out;
}

QByteArray csvFile(const QList<QStringList>& records) {
    QString text;
    for (const QStringList& r : records)
        text += csvRecord(r);
    return QByteArray("\xEF\xBB\xBF") + text.toUtf8();
}

QList<CsvRecord> parseCsv(const QByteArray& bytes) {
    QByteArrayView body(bytes);
    if (body.startsWith("\xEF\xBB\xBF")) body = body.sliced(3);

    // The file's own byte order mark is gone; a second one is text of the
    // first cell and stays (the decoder would drop it otherwise).
    QStringDecoder decoder(QStringDecoder::Utf8,
                           QStringDecoder::Flag::Stateless | QStringDecoder::Flag::ConvertInitialBom);
    const QString text = decoder.decode(body);
    if (decoder.hasError()) {
        // The line of the first byte that is not UTF-8, for the message.
        int line = 1;
        for (qsizetype start = 0; start < body.size();) {
            qsizetype end = body.indexOf('\n', start);
            if (end < 0) end = body.size();
            QStringDecoder probe(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
            const QString piece = probe.decode(body.sliced(start, end - start));
            if (probe.hasError()) break;
            ++line;
            start = end + 1;
        }
        throw EFileError(QStringLiteral("Файл не в кодировке UTF-8 (строка %1). Сохраните его в "
                                        "электронной таблице как CSV в кодировке UTF-8.")
                             .arg(line));
    }

    QList<CsvRecord> records;
    CsvRecord record;
    QString cell;
    int line = 1;
    record.line = 1;
    bool quoted = false;     // inside a quoted cell
    bool afterQuote = false; // a quoted cell has just closed
    bool cellStarted = false;
    int quoteLine = 0;

    auto endCell = [&] {
        record.cells.append(cell);
        cell.clear();
        afterQuote = false;
        cellStarted = false;
    };
    auto endRecord = [&] {
        endCell();
        if (!(record.cells.size() == 1 && record.cells.constFirst().isEmpty())) records.append(record);
        record = CsvRecord();
        record.line = line;
    };

    const qsizetype n = text.size();
    for (qsizetype i = 0; i < n; ++i) {
        const QChar c = text.at(i);
        if (quoted) {
            if (c == u'"') {
                if (i + 1 < n && text.at(i + 1) == u'"') {
                    cell += u'"';
                    ++i;
                } else {
                    quoted = false;
                    afterQuote = true;
                }
            } else {
                if (c == u'\n') ++line;
                cell += c;
            }
            continue;
        }
        if (c == u',') {
            endCell();
        } else if (c == u'\r' && i + 1 < n && text.at(i + 1) == u'\n') {
            // CR LF: the LF ends the record.
        } else if (c == u'\n') {
            ++line;
            endRecord();
        } else if (afterQuote) {
            throw EFileError(QStringLiteral("Строка %1: после закрывающей кавычки должна идти запятая или "
                                            "конец строки.")
                                 .arg(line));
        } else if (c == u'"' && !cellStarted) {
            quoted = true;
            cellStarted = true;
            quoteLine = line;
        } else {
            cell += c;
            cellStarted = true;
        }
    }
    if (quoted)
        throw EFileError(
            QStringLiteral("Строка %1: кавычка открыта и не закрыта до конца файла.").arg(quoteLine));
    endRecord();
    return records;
}

} // namespace varek
