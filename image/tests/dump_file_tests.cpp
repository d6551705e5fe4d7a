#include "core/errors.h"
#include "image/controller_dump.h"
#include "image/dump_file.h"

#include <QFile>
#include <QTemporaryDir>
#include <chrono>
#include <fcntl.h>
#include <future>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

using namespace varek;

// Readable failures.
static void PrintTo(const QString& s, std::ostream* os) {
    *os << '"' << s.toStdString() << '"';
}

namespace {

QByteArray readAll(const QString& path) {
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly)) return {};
    return f.readAll();
}

void writeAll(const QString& path, const QByteArray& bytes) {
    QFile f(path);
    ASSERT_TRUE(f.open(QIODevice::WriteOnly));
    f.write(bytes);
}

} // namespace

TEST(DumpFile, SaveThenLoadGivesTheSameLines) {
    QTemporaryDir dir;
    const QStringList lines =
        buildControllerImage(QString(), 5, {{1, QStringLiteral("01B2F5107C3A0086"), {}, {}}}).lines;
    const EncodedDump encoded = encodeDumpFile(lines);
    ASSERT_EQ(encoded.badLine, -1);
    const QString path = dir.filePath(QStringLiteral("dump.txt"));
    writeDumpFile(path, encoded.bytes);
    const QByteArray bytes = readAll(path);
    EXPECT_EQ(bytes.size(), 256 * 73);
    EXPECT_TRUE(bytes.endsWith("FFFF\r\n"));
    EXPECT_EQ(bytes.left(73), QByteArrayLiteral("00000: 86") + QByteArray(62, 'F') + "\r\n");
    const LoadedDump loaded = readDumpFile(path);
    EXPECT_EQ(loaded.problem, LoadedDump::None);
    EXPECT_EQ(loaded.lines, lines);
}

TEST(DumpFile, LineEndVariantsLoadTheSameLines) {
    const QStringList abc{QStringLiteral("AB"), QStringLiteral("C"), QString(), QStringLiteral("D")};
    struct Case {
        const char* name;
        QByteArray bytes;
        QStringList lines;
    };
    const Case cases[] = {
        {"CR LF", QByteArray("AB\r\nC\r\n\r\nD\r\n"), abc},
        {"LF", QByteArray("AB\nC\n\nD\n"), abc},
        {"CR", QByteArray("AB\rC\r\rD\r"), abc},
        {"mixed", QByteArray("AB\nC\r\rD\r\n"), abc},
        {"no final line end", QByteArray("AB\r\nC\r\n\r\nD"), abc},
        {"NUL ends the text", QByteArray("AB\r\nC\r\n\r\nD\r\n\0\0E\r\n", 17), abc},
        {"NUL in a line", QByteArray("AB\r\nC\r\n\r\nD\0E", 12), abc},
        {"empty", QByteArray(), {}},
        {"one empty line", QByteArray("\r\n"), {QString()}},
        {"Latin-1 bytes", QByteArray("\xE9t\xE9"), {QStringLiteral("été")}},
    };
    for (const Case& c : cases) {
        EXPECT_FALSE(holdsBinaryBytes(c.bytes)) << c.name;
        EXPECT_EQ(decodeDumpFile(c.bytes), c.lines) << c.name;
    }
}

TEST(DumpFile, ReadRefusesOversizeAndBinaryFiles) {
    QTemporaryDir dir;
    const QString big = dir.filePath(QStringLiteral("big.txt"));
    writeAll(big, QByteArray(kMaxDumpFileBytes + 1, 'F'));
    EXPECT_EQ(readDumpFile(big).problem, LoadedDump::TooLarge);
    EXPECT_TRUE(readDumpFile(big).lines.isEmpty());
    const QString justFits = dir.filePath(QStringLiteral("fits.txt"));
    writeAll(justFits, QByteArray(kMaxDumpFileBytes, 'F'));
    EXPECT_EQ(readDumpFile(justFits).problem, LoadedDump::None);

    const char* binaries[] = {"\x7F"
                              "ELF\x02\x01",
                              "00000: FF\r\n\x1A", "AB\0\x01", "A\x7F"};
    const int sizes[] = {6, 12, 4, 2};
    for (int i = 0; i < 4; ++i) {
        const QString path = dir.filePath(QStringLiteral("bin%1").arg(i));
        writeAll(path, QByteArray(binaries[i], sizes[i]));
        EXPECT_EQ(readDumpFile(path).problem, LoadedDump::Binary) << i;
    }
    // Tabs count as text.
    EXPECT_FALSE(holdsBinaryBytes("A\tB"));
}

TEST(DumpFile, CharactersBeyondOneByteAreNotWritten) {
    const EncodedDump encoded = encodeDumpFile({QStringLiteral("00000: FF"), QStringLiteral("Ключ")});
    EXPECT_EQ(encoded.badLine, 1);
    EXPECT_EQ(encoded.badChar, QChar(u'К'));
    EXPECT_TRUE(encoded.bytes.isEmpty());
    EXPECT_EQ(encodeDumpFile({QStringLiteral("été")}).bytes, QByteArray("\xE9t\xE9\r\n"));
}

TEST(DumpFile, FileErrorsCarryTheSystemReason) {
    QTemporaryDir dir;
    const QString missing = dir.filePath(QStringLiteral("missing.txt"));
    try {
        readDumpFile(missing);
        FAIL();
    } catch (const EFileError& e) {
        EXPECT_EQ(e.message(),
                  QStringLiteral("Cannot open file \"%1\". No such file or directory").arg(missing));
    }
    const QString inMissingDir = dir.filePath(QStringLiteral("no/such/dump.txt"));
    try {
        writeDumpFile(inMissingDir, "x\r\n");
        FAIL();
    } catch (const EFileError& e) {
        EXPECT_EQ(e.message(),
                  QStringLiteral("Cannot create file \"%1\". No such file or directory").arg(inMissingDir));
    }
    // A directory is not a file.
    try {
        readDumpFile(dir.path());
        FAIL();
    } catch (const EFileError& e) {
        EXPECT_TRUE(e.message().startsWith(QStringLiteral("Cannot open file \"%1\". ").arg(dir.path())))
            << e.message().toStdString();
    }
    // Replacing an existing file.
    const QString path = dir.filePath(QStringLiteral("old.txt"));
    writeAll(path, "a much longer old content\r\n");
    writeDumpFile(path, "new\r\n");
    EXPECT_EQ(readAll(path), QByteArray("new\r\n"));
}

// Only regular files are read: a FIFO without a writer would otherwise keep
// the window waiting for ever, and a device has no end.
TEST(DumpFile, OnlyRegularFilesAreRead) {
    QTemporaryDir dir;
    const QString fifo = dir.filePath(QStringLiteral("dump.fifo"));
    ASSERT_EQ(::mkfifo(QFile::encodeName(fifo).constData(), 0600), 0);
    const QString linkToFifo = dir.filePath(QStringLiteral("link.txt"));
    ASSERT_TRUE(QFile::link(fifo, linkToFifo));
    for (const QString& path : {fifo, linkToFifo, QStringLiteral("/dev/zero")}) {
        auto reading = std::async(std::launch::async, [path]() -> QString {
            try {
                readDumpFile(path);
                return QStringLiteral("read");
            } catch (const EFileError& e) {
                return e.message();
            }
        });
        if (reading.wait_for(std::chrono::seconds(5)) != std::future_status::ready) {
            // Let the blocked reader go (each writer that comes and leaves ends
            // one wait) before failing.
            while (reading.wait_for(std::chrono::milliseconds(50)) != std::future_status::ready) {
                const int w = ::open(QFile::encodeName(fifo).constData(), O_WRONLY | O_NONBLOCK);
                if (w >= 0) ::close(w);
            }
            FAIL() << "reading " << path.toStdString() << " waits";
        }
        EXPECT_EQ(reading.get(), QStringLiteral("Cannot open file \"%1\". Это не обычный файл.").arg(path));
    }
}
