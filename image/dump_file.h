#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>

namespace varek {

// Dump files: plain text, one list line per file line, each followed by CR LF,
// one byte per character (Latin-1). Read back, lines end at CR LF, LF or CR, a
// NUL ends the text and a last line without a line end counts.

// Files larger than this are not dumps and are not loaded.
constexpr qint64 kMaxDumpFileBytes = 1024 * 1024;

struct EncodedDump {
    QByteArray bytes;
    // The first line holding a character that does not fit in one byte, or -1.
    int badLine = -1;
    QChar badChar;
};
EncodedDump encodeDumpFile(const QStringList& lines);

// The lines of a file's bytes (see above).
QStringList decodeDumpFile(const QByteArray& bytes);

// True when the bytes hold a control character other than TAB, LF, CR and NUL
// (which ends the text): the file is not a text file.
bool holdsBinaryBytes(const QByteArray& bytes);

// Writes the lines to path, replacing the file; the lines must fit in one byte
// per character (see encodeDumpFile). A file that cannot be created throws
// EFileError "Cannot create file "<path>". <reason>"; a failed write throws
// EFileError as well.
void writeDumpFile(const QString& path, const QByteArray& bytes);

struct LoadedDump {
    enum Problem { None, TooLarge, Binary } problem = None;
    QStringList lines;
};
// Reads a dump file. Only regular files are read: a FIFO, a device or a
// directory, like a file that cannot be opened, throws EFileError
// "Cannot open file "<path>". <reason>" at once; a file over kMaxDumpFileBytes or
// holding binary bytes gives its problem and no lines.
LoadedDump readDumpFile(const QString& path);

} // namespace varek
