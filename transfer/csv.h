#pragma once

#include <QByteArray>
#include <QList>
#include <QString>
#include <QStringList>

namespace varek {

// Comma-separated text as spreadsheet programs read and write it (RFC 4180):
// a cell holding a comma, a quote, a line break or blanks at its ends is put in
// quotes, quotes inside doubled; records end with CR LF.

// One record: the cells joined by commas, quoted where needed, CR LF at the end.
QString csvRecord(const QStringList& cells);

// A whole file: the UTF-8 byte order mark (so spreadsheet programs take the
// text for UTF-8) and the records.
QByteArray csvFile(const QList<QStringList>& records);

struct CsvRecord {
    int line = 0; // the file's line (from 1) on which the record begins
    QStringList cells;
};

// Reads a file written as above, or by a spreadsheet program: with or without
// the byte order mark, CR LF or LF line ends, quoted cells across lines.
// Records of one empty cell (blank lines) are left out. Throws EFileError with
// a Russian reason naming the line for text that is not UTF-8, a quote left
// open, or text after a closing quote.
QList<CsvRecord> parseCsv(const QByteArray& bytes);

} // namespace varek
