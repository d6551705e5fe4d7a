#include "image/dump_file.h"

#include "core/errors.h"

#include <QFile>

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace varek {

EncodedDump encodeDumpFile(const QStringList& lines) {
    EncodedDump out;
    qsizetype size = 0;
    for (const QString& line : lines)
        size += line.size() + 2;
    out.bytes.reserve(size);
    for (int i = 0; i < lines.size(); ++i) {
        for (const QChar c : lines[i]) {
            if (c.unicode() > 0xFF) {
                out.badLine = i;
                out.badChar = c;
                out.bytes.clear();
                return out;
            }
            out.bytes.append(static_cast<char>(c.unicode()));
        }
        out.bytes.append("\r\n", 2);
    }
    return out;
}

QStringList decodeDumpFile(const QByteArray& bytes) {
    qsizetype end = bytes.indexOf('\0');
    if (end < 0) end = bytes.size();
    QStringList lines;
    qsizetype start = 0;
    qsizetype i = 0;
    while (i < end) {
        const char c = bytes[i];
        if (c == '\r' || c == '\n') {
            lines.append(QString::fromLatin1(bytes.constData() + start, i - start));
            i += (c == '\r' && i + 1 < end && bytes[i + 1] == '\n') ? 2 : 1;
            start = i;
        } else {
            ++i;
        }
    }
    if (start < end) lines.append(QString::fromLatin1(bytes.constData() + start, end - start));
    return lines;
}

bool holdsBinaryBytes(const QByteArray& bytes) {
    for (const char ch : bytes) {
        const auto c = static_cast<unsigned char>(ch);
        if ((c < 0x20 && c != '\t' && c != '\n' && c != '\r' && c != '\0') || c == 0x7F) return true;
    }
    return false;
}

void writeDumpFile(const QString& path, const QByteArray& bytes) {
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate))
        throw EFileError(QStringLiteral("Cannot create file \"%1\". %2").arg(path, file.errorString()));
    if (file.write(bytes) != bytes.size() || !file.flush())
        throw EFileError(QStringLiteral("Не удалось записать файл \"%1\". %2").arg(path, file.errorString()));
    file.close();
    if (file.error() != QFileDevice::NoError)
        throw EFileError(QStringLiteral("Не удалось записать файл \"%1\". %2").arg(path, file.errorString()));
}

namespace {

[[noreturn]] void cannotOpen(const QString& path, const QString& reason) {
    throw EFileError(QStringLiteral("Cannot open file \"%1\". %2").arg(path, reason));
}

// Opens a regular file for reading. Anything else (a FIFO, which would wait
// for a writer; a device; a directory) is refused before it is read, and the
// opening itself never waits.
int openRegularFile(const QString& path) {
    const QByteArray native = QFile::encodeName(path);
    const QString notAFile = QStringLiteral("Это не обычный файл.");
    struct stat st {};
    if (::stat(native.constData(), &st) != 0) cannotOpen(path, qt_error_string(errno));
    if (!S_ISREG(st.st_mode)) cannotOpen(path, notAFile);
    const int fd = ::open(native.constData(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) cannotOpen(path, qt_error_string(errno));
    // The name may have been replaced between the two looks.
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        ::close(fd);
        cannotOpen(path, notAFile);
    }
    const int flags = ::fcntl(fd, F_GETFL);
    if (flags >= 0) ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK);
    return fd;
}

} // namespace

LoadedDump readDumpFile(const QString& path) {
    const int fd = openRegularFile(path);
    QFile file;
    if (!file.open(fd, QIODevice::ReadOnly, QFileDevice::AutoCloseHandle)) {
        ::close(fd);
        cannotOpen(path, file.errorString());
    }
    // Read one byte more than allowed, so that a file growing while it is
    // read cannot make the read endless.
    const QByteArray bytes = file.read(kMaxDumpFileBytes + 1);
    if (file.error() != QFileDevice::NoError) cannotOpen(path, file.errorString());
    LoadedDump out;
    if (bytes.size() > kMaxDumpFileBytes)
        out.problem = LoadedDump::TooLarge;
    else if (holdsBinaryBytes(bytes))
        out.problem = LoadedDump::Binary;
    else
        out.lines = decodeDumpFile(bytes);
    return out;
}

} // namespace varek
