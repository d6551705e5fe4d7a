#include "dbase/dbf.h"
#include "dbase/write_batch.h"

#include "core/errors.h"
#include "dbase/codepage.h"
#include "dbase/field_bytes.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QHash>
#include <QRandomGenerator>
#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <fcntl.h>
#include <limits>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

// File layout, as this codec reads and writes it.
//
// Header, little-endian: byte 0 version; 1..3 date of last update (year - 1900,
// month, day); 4..7 record count; 8..9 header length; 10..11 record length;
// 29 language driver id. dBASE III+, IV and 5 files (and the FoxPro family,
// which share the layout) have 32-byte field descriptors from byte 32; level 7
// files keep a 32-byte language driver name at 32 and 48-byte descriptors from
// byte 68. The descriptors end with 0x0D; the header length may leave room
// after it (level 7 field properties, FoxPro's back link), which is kept as is.
// Records follow the header, each a deletion flag (' ' live, '*' deleted) and
// the fields in order, and the file ends with 0x1A.
//
// Durability: every write is followed by fdatasync. An append writes the
// record and the end marker first, syncs, and only then raises the count in
// the header and syncs again. So the count never exceeds the records on
// disk, and a file that claims more records than it holds is refused as
// damaged. An append that fails (disk full) puts back the bytes it
// overwrote and the file's length, so the end marker sits right after the
// counted records again. A crash between the two steps leaves a record
// beyond the count, over the end marker, which readers that go by the end
// marker rather than the count would list: opening a file for writing cuts
// such bytes off and puts the end marker back after the counted records.

namespace varek {

namespace {

constexpr int kBaseHeader = 32;
constexpr int kLevel7Header = 68;
constexpr int kDescriptor = 32;
constexpr int kLevel7Descriptor = 48;
constexpr qint64 kReadChunk = 1 << 20;
constexpr qint64 kDetectLimit = 4 << 20;
// A memo longer than this is taken for a damaged memo file (a note of the
// register is a few lines).
constexpr qint64 kMaxMemo = 16 << 20;

quint16 le16(const unsigned char* p) {
    return quint16(p[0] | p[1] << 8);
}
quint32 le32(const unsigned char* p) {
    return quint32(p[0]) | quint32(p[1]) << 8 | quint32(p[2]) << 16 | quint32(p[3]) << 24;
}
void putLe32(unsigned char* p, quint32 v) {
    p[0] = uchar(v);
    p[1] = uchar(v >> 8);
    p[2] = uchar(v >> 16);
    p[3] = uchar(v >> 24);
}

// A step of putting a file back after a failure: its own failure is not
// reported, the first error is.
template <class T> void bestEffort(T) {}

QString sysError(int err) {
    return QString::fromLocal8Bit(std::strerror(err));
}

// A field type this codec reads and writes; the others are carried over untouched.
bool isKnownType(char t, bool level7) {
    switch (t) {
    case 'C':
    case 'N':
    case 'F':
    case 'D':
    case 'L':
    case 'I':
        return true;
    case '+':
    case 'O':
        return level7;
    default:
        return false;
    }
}

} // namespace

struct DbfFile::Impl {
    QString path;
    int fd = -1;
    bool readOnly = false;
    quint8 version = 0;
    quint8 languageDriver = 0;
    QString languageDriverName;
    bool level7 = false;
    quint32 headerLength = 0;
    quint32 recordLength = 0;
    quint32 recordCount = 0;
    QDate lastUpdate;
    QVector<DbfField> fields;
    QVector<bool> known;
    QHash<QString, int> byName;
    const CodePage* codePage = nullptr;
    WriteBatch* batch = nullptr; // while set, writes wait in it (see DbfFile::setBatch)

    // The memo file, when the table has memo fields and it was found.
    QString memoPath;
    int memoFd = -1;
    bool memoReadOnly = false;
    bool memoBlockForm = false; // dBASE IV: FF FF 08 00, 32-bit length, text
    qint64 memoBlockSize = 512;

    // A memo that a write puts into new blocks of the memo file; its
    // record's pointer is filled in once the blocks are known.
    struct PendingMemo {
        unsigned char* slot; // the field's 10 bytes in the record being written
        QByteArray text;     // encoded
    };
    // The memo file's length and next-block number before a write, to put back on failure.
    struct MemoCheckpoint {
        qint64 size = -1;
        unsigned char head[4] = {};
    };

    ~Impl() {
        if (fd >= 0) ::close(fd);
        if (memoFd >= 0) ::close(memoFd);
    }

    bool isMemoField(int k) const { return fields[k].type == 'M' && memoFd >= 0; }

    void openMemo(DbfFile::Memos policy);
    [[noreturn]] void memoFailure(const QString& what) const {
        throw EDatabaseError(
            QStringLiteral("Memo file \"%1\" of table file \"%2\" is damaged: %3").arg(memoPath, path, what));
    }
    [[noreturn]] void memoWriteFailure(const QString& what) const {
        throw EDatabaseError(QStringLiteral("Cannot write memo file \"%1\": %2").arg(memoPath, what));
    }
    qint64 memoFileSize() const {
        struct stat st;
        if (::fstat(memoFd, &st) != 0)
            throw EDatabaseError(
                QStringLiteral("Cannot read memo file \"%1\": %2").arg(memoPath, sysError(errno)));
        return st.st_size;
    }
    // Reads exactly size bytes at offset, or as many as the file has when
    // upTo is set; a read error fails naming the memo file.
    qint64 memoPread(void* buf, qint64 size, qint64 offset, bool upTo) const;
    QVariant readMemo(const unsigned char* p, quint32 recno, int k) const;
    void encodeMemo(int k, const QVariant& value, unsigned char* p, QVector<PendingMemo>* memos,
                    const unsigned char* oldRec) const;
    MemoCheckpoint storeMemos(QVector<PendingMemo>& memos) const;
    void restoreMemos(const MemoCheckpoint& c) const;

    [[noreturn]] void openFailure(const QString& what) const {
        throw EDatabaseError(QStringLiteral("Cannot open table file \"%1\": %2").arg(path, what));
    }
    [[noreturn]] void writeFailure(const QString& what) const {
        throw EDatabaseError(QStringLiteral("Cannot write table file \"%1\": %2").arg(path, what));
    }
    [[noreturn]] void fieldFailure(int index, const QString& what) const {
        throw EDatabaseError(QStringLiteral("Value of field %1 of table file \"%2\" is refused: %3")
                                 .arg(fields[index].name, path, what));
    }
    [[noreturn]] void readFailure(quint32 recno, int index, const QByteArray& raw,
                                  const QString& what) const {
        throw EDatabaseError(
            QStringLiteral("Table file \"%1\" is damaged: record %2, field %3 holds \"%4\", %5")
                .arg(path)
                .arg(recno + 1)
                .arg(fields[index].name, QString::fromLatin1(raw), what));
    }

    void preadAll(void* buf, qint64 size, qint64 offset) const {
        if (batch) {
            if (!batch->read(fd, offset, buf, size))
                throw EDatabaseError(
                    QStringLiteral("Cannot read table file \"%1\": the file was cut short").arg(path));
            return;
        }
        auto* p = static_cast<char*>(buf);
        while (size > 0) {
            const ssize_t n = ::pread(fd, p, size_t(size), offset);
            if (n < 0) {
                if (errno == EINTR) continue;
                throw EDatabaseError(
                    QStringLiteral("Cannot read table file \"%1\": %2").arg(path, sysError(errno)));
            }
            if (n == 0)
                throw EDatabaseError(
                    QStringLiteral("Cannot read table file \"%1\": the file was cut short").arg(path));
            p += n;
            size -= n;
            offset += n;
        }
    }

    void pwriteAll(const void* buf, qint64 size, qint64 offset) const {
        if (batch) {
            batch->write(fd, path, offset, buf, size);
            return;
        }
        const auto* p = static_cast<const char*>(buf);
        while (size > 0) {
            const ssize_t n = ::pwrite(fd, p, size_t(size), offset);
            if (n < 0) {
                if (errno == EINTR) continue;
                writeFailure(sysError(errno));
            }
            p += n;
            size -= n;
            offset += n;
        }
    }

    void sync() const {
        if (batch) return; // the batch syncs the file once, at its commit
        while (::fdatasync(fd) != 0) {
            if (errno != EINTR) writeFailure(sysError(errno));
        }
    }

    void requireWritable() const {
        if (readOnly) writeFailure(QStringLiteral("the file is open for reading only"));
    }

    qint64 recordOffset(quint32 recno) const { return qint64(headerLength) + qint64(recno) * recordLength; }

    void parseHeader(qint64 fileSize);
    // Cuts what an unfinished append left past the counted records (bytes
    // not behind an end marker) and puts the end marker back. A file that
    // ends right after its records, or whose records are followed by the
    // end marker, is left as it is.
    void cutUnfinishedAppend(qint64 fileSize);
    void chooseCodePage();
    // Decodes a record into out, one value per field; every slot is set.
    // prev, when given, is the record decoded before and lastText its text
    // values (null where blank): text equal to its text shares its string
    // instead of decoding it again (the access table repeats each key's code
    // on consecutive rows). lastText is updated for the next record.
    void decodeRecord(const unsigned char* rec, quint32 recno, QVariant* out, const unsigned char* prev,
                      QString* lastText) const;
    // Decodes field k of a record into value; prev (may be null) and
    // lastText as above.
    void decodeValue(const unsigned char* rec, quint32 recno, int k, QVariant& value,
                     const unsigned char* prev, QString* lastText) const;
    // Sets out to the number (in place when out holds one of its type already).
    void decodeNumber(const unsigned char* p, int index, quint32 recno, QVariant& out) const;
    // memos collects the memo texts to store (nullptr: checked only);
    // oldRec, when given, is the record as stored, whose memos are kept
    // where the text did not change.
    void encodeRecord(const QVector<QVariant>& values, unsigned char* rec,
                      QVector<PendingMemo>* memos = nullptr, const unsigned char* oldRec = nullptr) const;
    void encodeField(int index, const QVariant& value, unsigned char* p) const;
    void writeHeaderDateAndCount(quint32 count) const;
    // Sets the header's date of last update to today after a rewrite or a
    // delete; the record itself is on disk already.
    void touchDate() {
        const QDate today = QDate::currentDate();
        if (lastUpdate == today) return;
        const unsigned char buf[3] = {uchar(today.year() - 1900), uchar(today.month()), uchar(today.day())};
        pwriteAll(buf, 3, 1);
        sync();
        lastUpdate = today;
    }
};

void DbfFile::Impl::parseHeader(qint64 fileSize) {
    if (fileSize < kBaseHeader)
        openFailure(QStringLiteral("the file is %1 bytes long, shorter than a dBASE header").arg(fileSize));
    unsigned char head[kBaseHeader];
    preadAll(head, kBaseHeader, 0);
    version = head[0];
    const int family = version & 0x07;
    if (family == 4)
        level7 = true;
    else if (family != 3 && version != 0x30 && version != 0x31 && version != 0x32 && version != 0xF5)
        openFailure(
            QStringLiteral("version byte 0x%1 is not a dBASE table").arg(version, 2, 16, QLatin1Char('0')));
    recordCount = le32(head + 4);
    headerLength = le16(head + 8);
    recordLength = le16(head + 10);
    languageDriver = head[29];
    // Years since 1900; some writers keep only the last two digits, which
    // read as 2000-2079 then.
    lastUpdate = QDate(head[1] < 80 ? 2000 + head[1] : 1900 + head[1], head[2], head[3]);

    const int base = level7 ? kLevel7Header : kBaseHeader;
    const int descSize = level7 ? kLevel7Descriptor : kDescriptor;
    if (headerLength < quint32(base + 1))
        openFailure(QStringLiteral("the header length %1 is too small for any field").arg(headerLength));
    if (headerLength > fileSize)
        openFailure(
            QStringLiteral("the header length %1 exceeds the file size %2").arg(headerLength).arg(fileSize));
    QByteArray header(headerLength, Qt::Uninitialized);
    preadAll(header.data(), headerLength, 0);
    const auto* h = reinterpret_cast<const unsigned char*>(header.constData());
    if (level7) {
        const char* name = header.constData() + 32;
        languageDriverName = QString::fromLatin1(name, qstrnlen(name, 32)).trimmed();
    }

    quint32 pos = base;
    quint32 offset = 0;
    bool terminated = false;
    while (pos < headerLength) {
        if (h[pos] == 0x0D) {
            terminated = true;
            break;
        }
        if (pos + descSize > headerLength)
            openFailure(
                QStringLiteral("the header length %1 cuts a field descriptor short").arg(headerLength));
        const unsigned char* d = h + pos;
        const int nameMax = level7 ? 32 : 11;
        const int typeAt = level7 ? 32 : 11;
        DbfField f;
        f.name = QString::fromLatin1(reinterpret_cast<const char*>(d),
                                     qstrnlen(reinterpret_cast<const char*>(d), nameMax))
                     .trimmed();
        f.type = char(d[typeAt]);
        f.length = d[typeAt + (level7 ? 1 : 5)];
        f.decimals = d[typeAt + (level7 ? 2 : 6)];
        if (!level7 && f.type == 'C' && f.decimals != 0) {
            // Long text fields keep the high byte of their length in the decimals byte.
            f.length |= f.decimals << 8;
            f.decimals = 0;
        }
        if (f.name.isEmpty()) openFailure(QStringLiteral("field %1 has no name").arg(fields.size() + 1));
        if (f.length == 0) openFailure(QStringLiteral("field %1 has length 0").arg(f.name));
        const bool isKnown = isKnownType(f.type, level7);
        if (isKnown) {
            if (f.type == 'D' && f.length != 8)
                openFailure(
                    QStringLiteral("date field %1 has length %2 instead of 8").arg(f.name).arg(f.length));
            if ((f.type == 'I' || f.type == '+') && f.length != 4)
                openFailure(
                    QStringLiteral("integer field %1 has length %2 instead of 4").arg(f.name).arg(f.length));
            if (f.type == 'O' && f.length != 8)
                openFailure(
                    QStringLiteral("double field %1 has length %2 instead of 8").arg(f.name).arg(f.length));
            if ((f.type == 'N' || f.type == 'F') && f.decimals >= f.length && f.decimals != 0)
                openFailure(QStringLiteral("numeric field %1 has %2 decimals in %3 places")
                                .arg(f.name)
                                .arg(f.decimals)
                                .arg(f.length));
        }
        f.offset = int(offset) + 1;
        offset += f.length;
        fields.append(f);
        known.append(isKnown);
        pos += descSize;
    }
    if (!terminated && pos != headerLength) openFailure(QStringLiteral("the field descriptors do not end"));
    if (fields.isEmpty()) openFailure(QStringLiteral("the table has no fields"));
    // The first field of a name wins, as in lookups by name everywhere.
    byName.clear();
    for (int i = fields.size() - 1; i >= 0; --i)
        byName.insert(fields[i].name.toLower(), i);
    if (recordLength < offset + 1)
        openFailure(QStringLiteral("the record length %1 is shorter than its fields need (%2)")
                        .arg(recordLength)
                        .arg(offset + 1));
    const qint64 dataSize = qint64(recordCount) * recordLength;
    const qint64 available = fileSize - headerLength;
    if (dataSize > available) {
        if (dataSize - available < recordLength) openFailure(QStringLiteral("the last record is cut short"));
        openFailure(QStringLiteral("the header counts %1 records, the file holds %2")
                        .arg(recordCount)
                        .arg(available / recordLength));
    }
}

// Memo file layout. Block 0 is the header: bytes 0..3 the number of the
// next free block; dBASE IV files keep the block size in bytes 20..21 (0
// meaning 512), dBASE III+ files always use 512. A record's memo field holds
// the number of the memo's first block in ASCII, blank when it has none. A
// dBASE III+ memo is its text ended by 0x1A (two of them, as written); a
// dBASE IV memo starts with FF FF 08 00 and the memo's length in bytes,
// these 8 included. A changed memo goes to new blocks at the end; the old
// ones are left unused, as other dBASE programs do until the file is packed.
void DbfFile::Impl::openMemo(DbfFile::Memos policy) {
    const bool memoFamily = level7 || (version & 0x07) == 3;
    bool any = false;
    for (int k = 0; k < fields.size(); ++k)
        any = any || (fields[k].type == 'M' && fields[k].length == 10);
    if (!memoFamily || !any) return;
    const QFileInfo info(path);
    const QString wanted = info.completeBaseName() + QStringLiteral(".dbt");
    QString found;
    const QDir dir = info.absoluteDir();
    if (QFileInfo::exists(dir.filePath(wanted)))
        found = dir.filePath(wanted);
    else
        for (const QString& e : dir.entryList(QDir::Files | QDir::Hidden))
            if (e.compare(wanted, Qt::CaseInsensitive) == 0) {
                found = dir.filePath(e);
                break;
            }
    memoPath = found.isEmpty() ? dir.filePath(wanted) : found;
    if (found.isEmpty()) {
        if (policy == DbfFile::Memos::IfPresent) {
            memoPath.clear();
            return;
        }
        throw EDatabaseError(QStringLiteral("Cannot open memo file \"%1\" of table file \"%2\": %3")
                                 .arg(memoPath, path, sysError(ENOENT)));
    }
    const QByteArray native = QFile::encodeName(memoPath);
    memoFd = readOnly ? -1 : ::open(native.constData(), O_RDWR | O_CLOEXEC);
    memoReadOnly = readOnly;
    if (memoFd < 0 && (readOnly || errno == EACCES || errno == EROFS || errno == EPERM)) {
        memoFd = ::open(native.constData(), O_RDONLY | O_CLOEXEC);
        memoReadOnly = true;
    }
    if (memoFd < 0)
        throw EDatabaseError(QStringLiteral("Cannot open memo file \"%1\" of table file \"%2\": %3")
                                 .arg(memoPath, path, sysError(errno)));
    struct stat st;
    if (::fstat(memoFd, &st) != 0 || !S_ISREG(st.st_mode)) {
        ::close(memoFd);
        memoFd = -1;
        throw EDatabaseError(
            QStringLiteral("Cannot open memo file \"%1\" of table file \"%2\": not a regular file")
                .arg(memoPath, path));
    }
    memoBlockForm = level7 || (version & 0x08);
    unsigned char head[22] = {};
    if (st.st_size < qint64(sizeof head))
        memoFailure(QStringLiteral("the file is %1 bytes long, shorter than a memo header").arg(st.st_size));
    memoPread(head, sizeof head, 0, false);
    if (memoBlockForm) {
        memoBlockSize = le16(head + 20);
        if (memoBlockSize == 0) memoBlockSize = 512;
        if (memoBlockSize < 16)
            memoFailure(QStringLiteral("the block size %1 is too small").arg(memoBlockSize));
    }
    for (int k = 0; k < fields.size(); ++k)
        if (fields[k].type == 'M' && fields[k].length == 10) known[k] = true;
}

qint64 DbfFile::Impl::memoPread(void* buf, qint64 size, qint64 offset, bool upTo) const {
    auto* p = static_cast<char*>(buf);
    qint64 done = 0;
    while (done < size) {
        const ssize_t n = ::pread(memoFd, p + done, size_t(size - done), offset + done);
        if (n < 0) {
            if (errno == EINTR) continue;
            throw EDatabaseError(
                QStringLiteral("Cannot read memo file \"%1\": %2").arg(memoPath, sysError(errno)));
        }
        if (n == 0) {
            if (upTo) break;
            memoFailure(QStringLiteral("the file was cut short"));
        }
        done += n;
    }
    return done;
}

QVariant DbfFile::Impl::readMemo(const unsigned char* p, quint32 recno, int k) const {
    int b = 0, e = 10;
    trimBlanks(p, b, e);
    if (b == e) return QVariant();
    qint64 block = 0;
    for (int i = b; i < e; ++i) {
        if (p[i] < '0' || p[i] > '9')
            readFailure(recno, k, QByteArray(reinterpret_cast<const char*>(p), 10),
                        QStringLiteral("which is not a memo block number"));
        block = block * 10 + (p[i] - '0');
    }
    if (block == 0) return QVariant();
    auto damaged = [&](const QString& what) {
        memoFailure(QStringLiteral("the memo of record %1, field %2, at block %3 %4")
                        .arg(recno + 1)
                        .arg(fields[k].name)
                        .arg(block)
                        .arg(what));
    };
    const qint64 size = memoFileSize();
    const qint64 at = block * memoBlockSize;
    if (at >= size) damaged(QStringLiteral("lies past the end of the file"));
    QByteArray text;
    unsigned char head[8];
    if (memoBlockForm && size - at >= 8 && (memoPread(head, 8, at, false), true) && head[0] == 0xFF &&
        head[1] == 0xFF && head[2] == 0x08 && head[3] == 0x00) {
        const qint64 length = le32(head + 4);
        if (length - 8 > kMaxMemo) damaged(QStringLiteral("is longer than %1 bytes").arg(kMaxMemo));
        if (length < 8 || length > size - at)
            damaged(
                QStringLiteral("claims %1 bytes, the file holds %2 from there").arg(length).arg(size - at));
        text.resize(length - 8);
        memoPread(text.data(), text.size(), at + 8, false);
    } else {
        // Up to the first end marker, read a block at a time.
        qint64 pos = at;
        for (;;) {
            QByteArray chunk(std::min<qint64>(memoBlockSize, size - pos), Qt::Uninitialized);
            if (chunk.isEmpty()) damaged(QStringLiteral("has no end marker"));
            memoPread(chunk.data(), chunk.size(), pos, false);
            const qsizetype end = chunk.indexOf('\x1a');
            if (end >= 0) {
                text += chunk.left(end);
                break;
            }
            text += chunk;
            pos += chunk.size();
            if (text.size() > kMaxMemo)
                damaged(QStringLiteral("has no end marker in %1 bytes").arg(kMaxMemo));
        }
    }
    if (text.isEmpty()) return QVariant();
    return codePage->decode(text.constData(), text.size());
}

void DbfFile::Impl::encodeMemo(int k, const QVariant& value, unsigned char* p, QVector<PendingMemo>* memos,
                               const unsigned char* oldRec) const {
    const QString text = !value.isValid() || value.isNull() ? QString() : value.toString();
    if (text.isEmpty()) {
        std::memset(p, ' ', 10);
        return;
    }
    QByteArray bytes;
    QChar bad;
    if (!codePage->encode(text, bytes, &bad))
        fieldFailure(k, QStringLiteral("the character '%1' (U+%2) cannot be stored in code page %3")
                            .arg(bad)
                            .arg(bad.unicode(), 4, 16, QLatin1Char('0'))
                            .arg(codePage->name()));
    if (!memoBlockForm && bytes.contains('\x1a'))
        fieldFailure(k, QStringLiteral("the character U+001A cannot be stored in a memo of this file"));
    if (oldRec) {
        // An unchanged memo keeps its blocks: a record rewritten for another
        // field leaves the memo file as it is.
        QVariant old;
        try {
            old = readMemo(oldRec + fields[k].offset, 0, k);
        } catch (const VarekError&) {
        }
        if (old.toString() == text) {
            std::memcpy(p, oldRec + fields[k].offset, 10);
            return;
        }
    }
    std::memset(p, ' ', 10);
    if (memos) memos->append({p, bytes});
}

DbfFile::Impl::MemoCheckpoint DbfFile::Impl::storeMemos(QVector<PendingMemo>& memos) const {
    MemoCheckpoint c;
    if (memos.isEmpty()) return c;
    if (memoReadOnly) memoWriteFailure(QStringLiteral("the file is open for reading only"));
    c.size = memoFileSize();
    memoPread(c.head, 4, 0, false);
    // New memos go after the last block the file holds. A next-block number
    // in the header beyond that (a damaged header) is not followed: it would
    // make the file as large as the number says, with nothing in between.
    qint64 next = std::max<qint64>(1, (c.size + memoBlockSize - 1) / memoBlockSize);
    QVector<std::pair<qint64, QByteArray>> writes;
    for (PendingMemo& m : memos) {
        QByteArray data;
        if (memoBlockForm) {
            unsigned char head[8] = {0xFF, 0xFF, 0x08, 0x00};
            putLe32(head + 4, quint32(m.text.size() + 8));
            data = QByteArray(reinterpret_cast<const char*>(head), 8) + m.text;
        } else {
            data = m.text + "\x1a\x1a";
        }
        if (next > 9999999999LL) memoWriteFailure(QStringLiteral("the memo file is full"));
        const QByteArray number = QByteArray::number(next).rightJustified(10, ' ');
        std::memcpy(m.slot, number.constData(), 10);
        writes.append({next * memoBlockSize, data});
        next += (data.size() + memoBlockSize - 1) / memoBlockSize;
    }
    if (next > 0xFFFFFFFFLL) memoWriteFailure(QStringLiteral("the memo file is full"));
    unsigned char head[4];
    putLe32(head, quint32(next));
    auto writeAll = [&](const char* p, qint64 size, qint64 offset) {
        while (size > 0) {
            const ssize_t n = ::pwrite(memoFd, p, size_t(size), offset);
            if (n < 0) {
                if (errno == EINTR) continue;
                memoWriteFailure(sysError(errno));
            }
            p += n, size -= n, offset += n;
        }
    };
    try {
        for (const auto& [offset, data] : writes)
            writeAll(data.constData(), data.size(), offset);
        writeAll(reinterpret_cast<const char*>(head), 4, 0);
        while (::fdatasync(memoFd) != 0)
            if (errno != EINTR) memoWriteFailure(sysError(errno));
    } catch (...) {
        restoreMemos(c);
        throw;
    }
    return c;
}

void DbfFile::Impl::restoreMemos(const MemoCheckpoint& c) const {
    if (c.size < 0) return;
    bestEffort(::pwrite(memoFd, c.head, 4, 0));
    bestEffort(::ftruncate(memoFd, c.size));
    bestEffort(::fdatasync(memoFd));
}

void DbfFile::Impl::cutUnfinishedAppend(qint64 fileSize) {
    const qint64 end = recordOffset(recordCount);
    if (fileSize <= end) return;
    unsigned char marker = 0;
    preadAll(&marker, 1, end);
    if (marker == 0x1A) return;
    // The marker first, so that no reader lists the leftover bytes even if
    // the cut below does not happen; neither step needs free space.
    const unsigned char eof = 0x1A;
    pwriteAll(&eof, 1, end);
    while (::ftruncate(fd, end + 1) != 0) {
        if (errno != EINTR) writeFailure(sysError(errno));
    }
    sync();
}

void DbfFile::Impl::chooseCodePage() {
    codePage = codePageForLanguageDriver(languageDriver);
    if (!codePage && level7) codePage = codePageForLanguageDriverName(languageDriverName);
    if (codePage) return;
    // Id 0 or one this codec does not know: tell cp866 from cp1251 by the
    // text fields of the first few megabytes of records.
    CyrillicDetector detector;
    const qint64 total = std::min<qint64>(qint64(recordCount) * recordLength, kDetectLimit);
    const qint64 records = total / recordLength;
    QByteArray buf(std::min<qint64>(total, kReadChunk) / recordLength * recordLength + recordLength,
                   Qt::Uninitialized);
    const qint64 perChunk = buf.size() / recordLength;
    for (qint64 r = 0; r < records; r += perChunk) {
        const qint64 n = std::min(perChunk, records - r);
        preadAll(buf.data(), n * recordLength, recordOffset(quint32(r)));
        for (qint64 i = 0; i < n; ++i) {
            const char* rec = buf.constData() + i * recordLength;
            if (rec[0] == '*') continue;
            for (const DbfField& f : fields)
                if (f.type == 'C') detector.add(rec + f.offset, f.length);
        }
    }
    codePage = &detector.result();
}

void DbfFile::Impl::decodeNumber(const unsigned char* p, int index, quint32 recno, QVariant& out) const {
    const DbfField& f = fields[index];
    int b = 0, e = f.length;
    trimBlanks(p, b, e);
    if (b == e) {
        out = QVariant();
        return;
    }
    bool stars = true;
    for (int i = b; i < e && stars; ++i)
        stars = p[i] == '*';
    if (stars) {
        out = QVariant();
        return;
    }
    // Fast path: an optional sign and up to 18 digits.
    int i = b;
    bool negative = false;
    if (p[i] == '-' || p[i] == '+') {
        negative = p[i] == '-';
        ++i;
    }
    if (i < e && e - i <= 18) {
        qint64 v = 0;
        int j = i;
        while (j < e && p[j] >= '0' && p[j] <= '9')
            v = v * 10 + (p[j++] - '0');
        if (j == e) {
            if (f.decimals == 0)
                out.setValue(negative ? -v : v);
            else
                out.setValue(double(negative ? -v : v));
            return;
        }
    }
    const QByteArray raw(reinterpret_cast<const char*>(p + b), e - b);
    // General form: digits with one point, an exponent in F fields.
    bool digits = false, point = false, exponent = false;
    for (int k = i; k < e; ++k) {
        const unsigned char c = p[k];
        if (c >= '0' && c <= '9')
            digits = true;
        else if (c == '.' && !point && !exponent)
            point = true;
        else if ((c == 'e' || c == 'E') && digits && !exponent && k + 1 < e) {
            exponent = true;
            if (p[k + 1] == '+' || p[k + 1] == '-') ++k;
        } else
            readFailure(recno, index, QByteArray(reinterpret_cast<const char*>(p), f.length),
                        QStringLiteral("which is not a number"));
    }
    if (!digits)
        readFailure(recno, index, QByteArray(reinterpret_cast<const char*>(p), f.length),
                    QStringLiteral("which is not a number"));
    bool ok = false;
    const double d = raw.toDouble(&ok);
    if (!ok) readFailure(recno, index, raw, QStringLiteral("which is not a number"));
    if (f.decimals == 0 && !point && !exponent) {
        const qint64 whole = raw.toLongLong(&ok);
        if (ok) {
            out.setValue(whole);
            return;
        }
    }
    out.setValue(d);
}

[[gnu::always_inline]] inline void DbfFile::Impl::decodeValue(const unsigned char* rec, quint32 recno, int k,
                                                              QVariant& value, const unsigned char* prev,
                                                              QString* lastText) const {
    const DbfField& f = fields[k];
    const unsigned char* p = rec + f.offset;
    if (!known[k]) {
        value = QVariant();
        return;
    }
    switch (f.type) {
    case 'C': {
        QString& text = lastText[k];
        if (!prev || std::memcmp(p, prev + f.offset, f.length) != 0) {
            const int e = lengthWithoutTrailingBlanks(p, f.length);
            // An all-blank text reads as null, like a blank number or date.
            text = e > 0 ? codePage->decode(reinterpret_cast<const char*>(p), e) : QString();
        }
        if (text.isNull())
            value = QVariant();
        else
            value.setValue(text);
        break;
    }
    case 'N':
    case 'F':
        decodeNumber(p, k, recno, value);
        break;
    case 'D': {
        int y = 0, m = 0, day = 0;
        const DateBytes form = readDateBytes(p, y, m, day);
        if (form == DateBytes::Null) {
            value = QVariant();
            break;
        }
        QDate date;
        if (form == DateBytes::Digits) date = QDate(y, m, day);
        if (!date.isValid())
            readFailure(recno, k, QByteArray(reinterpret_cast<const char*>(p), 8),
                        QStringLiteral("which is not a date"));
        value.setValue(date);
        break;
    }
    case 'L':
        switch (p[0]) {
        case 'T':
        case 't':
        case 'Y':
        case 'y':
            value = true;
            break;
        case 'F':
        case 'f':
        case 'N':
        case 'n':
            value = false;
            break;
        default:
            value = QVariant();
            break;
        }
        break;
    case 'I':
    case '+':
        if (level7) {
            const quint32 raw = quint32(p[0]) << 24 | quint32(p[1]) << 16 | quint32(p[2]) << 8 | p[3];
            value = raw != 0 ? QVariant(qint32(raw ^ 0x80000000u)) : QVariant();
        } else {
            value = qint32(le32(p));
        }
        break;
    case 'M':
        value = readMemo(p, recno, k);
        break;
    case 'O': {
        quint64 raw = 0;
        for (int i = 0; i < 8; ++i)
            raw = raw << 8 | p[i];
        if (raw == 0) {
            value = QVariant();
            break;
        }
        raw = (raw & 0x8000000000000000ull) ? raw ^ 0x8000000000000000ull : ~raw;
        double d;
        std::memcpy(&d, &raw, 8);
        value = d;
        break;
    }
    default:
        value = QVariant();
        break;
    }
}

void DbfFile::Impl::decodeRecord(const unsigned char* rec, quint32 recno, QVariant* out,
                                 const unsigned char* prev, QString* lastText) const {
    const int n = fields.size();
    for (int k = 0; k < n; ++k)
        decodeValue(rec, recno, k, out[k], prev, lastText);
}

void DbfFile::Impl::encodeField(int index, const QVariant& value, unsigned char* p) const {
    const DbfField& f = fields[index];
    const bool null = !value.isValid() || value.isNull();
    switch (f.type) {
    case 'C': {
        std::memset(p, ' ', f.length);
        if (null) return;
        QString text = value.toString();
        qsizetype e = text.size();
        while (e > 0 && text.at(e - 1) == QLatin1Char(' '))
            --e;
        text.truncate(e);
        QByteArray bytes;
        QChar bad;
        if (!codePage->encode(text, bytes, &bad))
            fieldFailure(index, QStringLiteral("the character '%1' (U+%2) cannot be stored in code page %3")
                                    .arg(bad)
                                    .arg(bad.unicode(), 4, 16, QLatin1Char('0'))
                                    .arg(codePage->name()));
        if (bytes.size() > f.length)
            fieldFailure(index, QStringLiteral("the text of %1 characters is longer than the field's %2")
                                    .arg(bytes.size())
                                    .arg(f.length));
        std::memcpy(p, bytes.constData(), bytes.size());
        return;
    }
    case 'N':
    case 'F': {
        std::memset(p, ' ', f.length);
        if (null) return;
        QByteArray text;
        const int t = value.typeId();
        const bool integral = t == QMetaType::Int || t == QMetaType::UInt || t == QMetaType::LongLong ||
                              t == QMetaType::ULongLong || t == QMetaType::Short || t == QMetaType::UShort ||
                              t == QMetaType::Long || t == QMetaType::ULong || t == QMetaType::Char ||
                              t == QMetaType::SChar || t == QMetaType::UChar;
        if (integral) {
            if (t == QMetaType::ULongLong || t == QMetaType::ULong)
                text = QByteArray::number(value.toULongLong());
            else
                text = QByteArray::number(value.toLongLong());
            if (f.decimals > 0) text += '.' + QByteArray(f.decimals, '0');
        } else {
            double d = 0;
            bool ok = false;
            if (t == QMetaType::Double || t == QMetaType::Float) {
                d = value.toDouble();
                ok = true;
            } else if (t == QMetaType::QString || t == QMetaType::QByteArray) {
                const QString s = value.toString().trimmed();
                if (s.isEmpty()) return;
                bool isInt = false;
                const qint64 v = s.toLongLong(&isInt);
                if (isInt) return encodeField(index, QVariant(v), p);
                d = s.toDouble(&ok);
            }
            if (!ok) fieldFailure(index, QStringLiteral("\"%1\" is not a number").arg(value.toString()));
            if (!std::isfinite(d)) fieldFailure(index, QStringLiteral("%1 is not a finite number").arg(d));
            if (f.decimals == 0 && d != std::floor(d))
                fieldFailure(
                    index, QStringLiteral("%1 has a fractional part, the field holds whole numbers").arg(d));
            text = QByteArray::number(d, 'f', f.decimals);
            if (text.startsWith("-") && text.count('0') + 1 + (f.decimals ? 1 : 0) == text.size())
                text.remove(0, 1); // no "-0"
        }
        if (text.size() > f.length)
            fieldFailure(index, QStringLiteral("%1 needs %2 places, the field has %3")
                                    .arg(QString::fromLatin1(text))
                                    .arg(text.size())
                                    .arg(f.length));
        std::memcpy(p + f.length - text.size(), text.constData(), text.size());
        return;
    }
    case 'D': {
        std::memset(p, ' ', 8);
        if (null) return;
        QDate date;
        if (value.typeId() == QMetaType::QDateTime)
            date = value.toDateTime().date();
        else if (value.typeId() == QMetaType::QDate)
            date = value.toDate();
        else if (value.typeId() == QMetaType::QString) {
            const QString s = value.toString().trimmed();
            if (s.isEmpty()) return;
            date = QDate::fromString(s, Qt::ISODate);
            if (!date.isValid()) date = QDate::fromString(s, QStringLiteral("yyyyMMdd"));
            if (!date.isValid()) fieldFailure(index, QStringLiteral("\"%1\" is not a date").arg(s));
        } else
            fieldFailure(index, QStringLiteral("a value of type %1 is not a date")
                                    .arg(QString::fromLatin1(value.typeName())));
        if (!date.isValid()) return;
        if (date.year() < 1 || date.year() > 9999)
            fieldFailure(index, QStringLiteral("the year %1 cannot be stored").arg(date.year()));
        const QByteArray text = date.toString(QStringLiteral("yyyyMMdd")).toLatin1();
        std::memcpy(p, text.constData(), 8);
        return;
    }
    case 'L':
        std::memset(p, ' ', f.length);
        p[0] = null ? '?' : (value.toBool() ? 'T' : 'F');
        return;
    case 'I':
    case '+': {
        if (null) {
            std::memset(p, 0, 4);
            return;
        }
        bool ok = false;
        const qint64 v = value.toLongLong(&ok);
        if (!ok) fieldFailure(index, QStringLiteral("\"%1\" is not an integer").arg(value.toString()));
        if (v < std::numeric_limits<qint32>::min() || v > std::numeric_limits<qint32>::max())
            fieldFailure(index, QStringLiteral("%1 does not fit a 32-bit integer").arg(v));
        if (level7) {
            const quint32 raw = quint32(qint32(v)) ^ 0x80000000u;
            p[0] = uchar(raw >> 24);
            p[1] = uchar(raw >> 16);
            p[2] = uchar(raw >> 8);
            p[3] = uchar(raw);
        } else {
            putLe32(p, quint32(qint32(v)));
        }
        return;
    }
    case 'O': {
        if (null) {
            std::memset(p, 0, 8);
            return;
        }
        bool ok = false;
        const double d = value.toDouble(&ok);
        if (!ok) fieldFailure(index, QStringLiteral("\"%1\" is not a number").arg(value.toString()));
        quint64 raw;
        std::memcpy(&raw, &d, 8);
        raw = (raw & 0x8000000000000000ull) ? ~raw : raw ^ 0x8000000000000000ull;
        for (int i = 7; i >= 0; --i, raw >>= 8)
            p[i] = uchar(raw);
        return;
    }
    default:
        return;
    }
}

void DbfFile::Impl::encodeRecord(const QVector<QVariant>& values, unsigned char* rec,
                                 QVector<PendingMemo>* memos, const unsigned char* oldRec) const {
    if (values.size() != fields.size())
        throw EDatabaseError(
            QStringLiteral("Table file \"%1\" has %2 fields, a record of %3 values cannot be written")
                .arg(path)
                .arg(fields.size())
                .arg(values.size()));
    for (int k = 0; k < fields.size(); ++k) {
        if (!known[k]) continue;
        if (isMemoField(k))
            encodeMemo(k, values[k], rec + fields[k].offset, memos, oldRec);
        else
            encodeField(k, values[k], rec + fields[k].offset);
    }
}

void DbfFile::Impl::writeHeaderDateAndCount(quint32 count) const {
    unsigned char buf[7];
    const QDate today = QDate::currentDate();
    buf[0] = uchar(today.year() - 1900);
    buf[1] = uchar(today.month());
    buf[2] = uchar(today.day());
    putLe32(buf + 3, count);
    pwriteAll(buf, 7, 1);
}

DbfFile::DbfFile() : d(new Impl) {}
DbfFile::~DbfFile() = default;

std::unique_ptr<DbfFile> DbfFile::open(const QString& path, Memos memos) {
    std::unique_ptr<DbfFile> file(new DbfFile);
    Impl& d = *file->d;
    d.path = path;
    const QByteArray native = QFile::encodeName(path);
    d.fd = ::open(native.constData(), O_RDWR | O_CLOEXEC);
    if (d.fd < 0 && (errno == EACCES || errno == EROFS || errno == EPERM)) {
        d.fd = ::open(native.constData(), O_RDONLY | O_CLOEXEC);
        d.readOnly = true;
    }
    if (d.fd < 0) d.openFailure(sysError(errno));
    struct stat st;
    if (::fstat(d.fd, &st) != 0) d.openFailure(sysError(errno));
    if (!S_ISREG(st.st_mode)) d.openFailure(QStringLiteral("not a regular file"));
    d.parseHeader(st.st_size);
    d.openMemo(memos);
    if (!d.readOnly) d.cutUnfinishedAppend(st.st_size);
    d.chooseCodePage();
    return file;
}

void DbfFile::create(const QString& path, const QVector<DbfField>& fields, quint8 languageDriver) {
    auto failure = [&](const QString& what) {
        throw EDatabaseError(QStringLiteral("Cannot create table file \"%1\": %2").arg(path, what));
    };
    if (fields.isEmpty()) failure(QStringLiteral("a table needs at least one field"));
    const int headerLength = kBaseHeader + kDescriptor * fields.size() + 1;
    if (headerLength > 0xFFFF) failure(QStringLiteral("too many fields"));
    QByteArray header(headerLength + 1, '\0');
    auto* h = reinterpret_cast<unsigned char*>(header.data());
    int recordLength = 1;
    for (int i = 0; i < fields.size(); ++i) {
        const DbfField& f = fields[i];
        const QByteArray name = f.name.toUpper().toLatin1();
        if (name.isEmpty() || name.size() > 10 || f.name.toUpper() != QString::fromLatin1(name))
            failure(QStringLiteral("\"%1\" is not a field name of up to 10 letters").arg(f.name));
        int length = f.length, decimals = f.decimals;
        switch (f.type) {
        case 'C':
            if (length < 1 || length > 254)
                failure(QStringLiteral("text field %1 must hold 1 to 254 characters").arg(f.name));
            decimals = 0;
            break;
        case 'N':
        case 'F':
            if (length < 1 || length > 20 || decimals < 0 || (decimals > 0 && decimals > length - 2))
                failure(QStringLiteral("numeric field %1 has an impossible size %2.%3")
                            .arg(f.name)
                            .arg(length)
                            .arg(decimals));
            break;
        case 'D':
            length = 8, decimals = 0;
            break;
        case 'L':
            length = 1, decimals = 0;
            break;
        case 'I':
            length = 4, decimals = 0;
            break;
        default:
            failure(QStringLiteral("field %1 has type '%2', which this program does not write")
                        .arg(f.name)
                        .arg(QLatin1Char(f.type)));
        }
        unsigned char* desc = h + kBaseHeader + kDescriptor * i;
        std::memcpy(desc, name.constData(), name.size());
        desc[11] = uchar(f.type);
        desc[16] = uchar(length);
        desc[17] = uchar(decimals);
        recordLength += length;
    }
    if (recordLength > 0xFFFF) failure(QStringLiteral("the record is too long"));
    const QDate today = QDate::currentDate();
    h[0] = 0x03;
    h[1] = uchar(today.year() - 1900);
    h[2] = uchar(today.month());
    h[3] = uchar(today.day());
    h[8] = uchar(headerLength);
    h[9] = uchar(headerLength >> 8);
    h[10] = uchar(recordLength);
    h[11] = uchar(recordLength >> 8);
    h[29] = languageDriver;
    h[headerLength - 1] = 0x0D;
    h[headerLength] = 0x1A;

    // Written beside its place, synced, then linked in: the file appears whole or not at all.
    const QByteArray native = QFile::encodeName(path);
    const QByteArray temp = native + ".tmp" + QByteArray::number(::getpid()) + "." +
                            QByteArray::number(QRandomGenerator::global()->generate());
    const int fd = ::open(temp.constData(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
    if (fd < 0) failure(sysError(errno));
    int err = 0;
    qint64 done = 0;
    while (done < header.size() && !err) {
        const ssize_t n = ::write(fd, header.constData() + done, size_t(header.size() - done));
        if (n < 0 && errno != EINTR)
            err = errno;
        else if (n > 0)
            done += n;
    }
    if (!err && ::fsync(fd) != 0) err = errno;
    ::close(fd);
    if (!err && ::link(temp.constData(), native.constData()) != 0) err = errno;
    ::unlink(temp.constData());
    if (err == EEXIST) failure(QStringLiteral("the file exists already"));
    if (err) failure(sysError(err));
    const QByteArray dir = QFile::encodeName(QFileInfo(path).absolutePath());
    const int dirFd = ::open(dir.constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dirFd >= 0) {
        ::fsync(dirFd);
        ::close(dirFd);
    }
}

const QString& DbfFile::path() const {
    return d->path;
}
quint8 DbfFile::version() const {
    return d->version;
}
quint8 DbfFile::languageDriver() const {
    return d->languageDriver;
}
QString DbfFile::codePageName() const {
    return d->codePage->name();
}
const QVector<DbfField>& DbfFile::fields() const {
    return d->fields;
}
int DbfFile::fieldIndex(const QString& name) const {
    return d->byName.value(name.toLower(), -1);
}
quint32 DbfFile::recordCount() const {
    return d->recordCount;
}
QDate DbfFile::lastUpdate() const {
    return d->lastUpdate;
}
int DbfFile::headerLength() const {
    return int(d->headerLength);
}
int DbfFile::recordLength() const {
    return int(d->recordLength);
}
QString DbfFile::languageDriverName() const {
    return d->languageDriverName;
}
bool DbfFile::isLevel7() const {
    return d->level7;
}
bool DbfFile::isReadOnly() const {
    return d->readOnly;
}
QString DbfFile::memoPath() const {
    return d->memoFd >= 0 ? d->memoPath : QString();
}

void DbfFile::readAll(const std::function<void(quint32 recno, QVector<QVariant>&& values)>& sink) const {
    const quint32 count = d->recordCount;
    const qint64 recLen = d->recordLength;
    if (count == 0) return;
    const int n = d->fields.size();
    // Chunks small enough to stay in the cache while they are decoded.
    const qint64 perChunk = std::max<qint64>(1, (256 << 10) / recLen);
    QByteArray buf(std::min<qint64>(perChunk, count) * recLen, Qt::Uninitialized);
    // The values vector goes to the sink; one the sink leaves where it was
    // (not moved away, not shared) is filled again for the next record.
    QVector<QVariant> values;
    std::vector<QString> lastText(static_cast<size_t>(n));
    for (quint32 r = 0; r < count;) {
        const qint64 chunk = std::min<qint64>(perChunk, count - r);
        d->preadAll(buf.data(), chunk * recLen, d->recordOffset(r));
        const auto* base = reinterpret_cast<const unsigned char*>(buf.constData());
        const unsigned char* prev = nullptr;
        for (qint64 i = 0; i < chunk; ++i, ++r) {
            const unsigned char* rec = base + i * recLen;
            if (rec[0] == '*') continue;
            if (values.size() != n || !values.isDetached()) values = QVector<QVariant>(n);
            d->decodeRecord(rec, r, values.data(), prev, lastText.data());
            prev = rec;
            sink(r, std::move(values));
        }
    }
}

void DbfFile::readRecords(const std::function<void(quint32 recno, const unsigned char* record)>& sink) const {
    const quint32 count = d->recordCount;
    const qint64 recLen = d->recordLength;
    if (count == 0) return;
    // Chunks small enough to stay in the cache while they are used.
    const qint64 perChunk = std::max<qint64>(1, (256 << 10) / recLen);
    QByteArray buf(std::min<qint64>(perChunk, count) * recLen, Qt::Uninitialized);
    for (quint32 r = 0; r < count;) {
        const qint64 chunk = std::min<qint64>(perChunk, count - r);
        d->preadAll(buf.data(), chunk * recLen, d->recordOffset(r));
        const auto* base = reinterpret_cast<const unsigned char*>(buf.constData());
        for (qint64 i = 0; i < chunk; ++i, ++r) {
            const unsigned char* rec = base + i * recLen;
            if (rec[0] != '*') sink(r, rec);
        }
    }
}

QVariant DbfFile::decodeField(const unsigned char* record, quint32 recno, int index) const {
    QVariant v;
    if (index < 0 || index >= d->fields.size()) return v;
    std::vector<QString> lastText(static_cast<size_t>(d->fields.size()));
    d->decodeValue(record, recno, index, v, nullptr, lastText.data());
    return v;
}

const CodePage& DbfFile::codePage() const {
    return *d->codePage;
}

void DbfFile::checkFits(const QVector<QVariant>& values) const {
    QByteArray rec(d->recordLength, ' ');
    d->encodeRecord(values, reinterpret_cast<unsigned char*>(rec.data()));
}

void DbfFile::writeRecord(quint32 recno, const QVector<QVariant>& values) {
    d->requireWritable();
    if (recno >= d->recordCount)
        d->writeFailure(
            QStringLiteral("record %1 does not exist (the table has %2)").arg(recno + 1).arg(d->recordCount));
    QByteArray rec(d->recordLength, Qt::Uninitialized);
    d->preadAll(rec.data(), rec.size(), d->recordOffset(recno));
    const QByteArray stored = rec;
    QVector<Impl::PendingMemo> memos;
    d->encodeRecord(values, reinterpret_cast<unsigned char*>(rec.data()), &memos,
                    reinterpret_cast<const unsigned char*>(stored.constData()));
    // New memo blocks are on disk before the record points at them; if the
    // record is not written after all, they are merely unused.
    d->storeMemos(memos);
    d->pwriteAll(rec.constData(), rec.size(), d->recordOffset(recno));
    d->sync();
    d->touchDate();
}

quint32 DbfFile::appendRecord(const QVector<QVariant>& values) {
    return appendRecords({values});
}

quint32 DbfFile::appendRecords(const QVector<QVector<QVariant>>& rows) {
    d->requireWritable();
    const quint32 first = d->recordCount;
    if (rows.isEmpty()) return first;
    if (quint64(first) + quint64(rows.size()) > std::numeric_limits<quint32>::max())
        d->writeFailure(QStringLiteral("the table is full"));
    const qint64 recLen = d->recordLength;
    // A blank record: fields this codec does not write start empty, blanks
    // for memo pointers, zeros for binary values.
    QByteArray blank(recLen, ' ');
    for (int k = 0; k < d->fields.size(); ++k) {
        const DbfField& f = d->fields[k];
        if (!d->known[k] && !(f.length == 10 && QByteArrayView("MGBP").contains(f.type)))
            std::memset(blank.data() + f.offset, 0, f.length);
    }
    QByteArray data(rows.size() * recLen + 1, Qt::Uninitialized);
    QVector<Impl::PendingMemo> memos;
    for (qsizetype i = 0; i < rows.size(); ++i) {
        auto* p = reinterpret_cast<unsigned char*>(data.data() + i * recLen);
        std::memcpy(p, blank.constData(), recLen);
        d->encodeRecord(rows[i], p, &memos);
    }
    data[data.size() - 1] = 0x1A;
    // The records and the end marker first, the count after (see the top of
    // this file). What the append overwrites is kept, so that a failure
    // leaves the file as it was: its length, its end marker, its header.
    const qint64 at = d->recordOffset(first);
    struct stat st;
    if (::fstat(d->fd, &st) != 0) d->writeFailure(sysError(errno));
    const qint64 oldSize = st.st_size;
    QByteArray oldTail(std::clamp<qint64>(oldSize - at, 0, data.size()), Qt::Uninitialized);
    d->preadAll(oldTail.data(), oldTail.size(), at);
    unsigned char oldHeader[7];
    d->preadAll(oldHeader, 7, 1);
    // The memos before the records that point at them; a failure there
    // leaves the memo file as it was and the table untouched.
    const Impl::MemoCheckpoint memoCheckpoint = d->storeMemos(memos);
    bool headerWritten = false;
    try {
        d->pwriteAll(data.constData(), data.size(), at);
        d->sync();
        headerWritten = true;
        d->writeHeaderDateAndCount(first + quint32(rows.size()));
        d->sync();
    } catch (...) {
        // Best effort: each step rewrites bytes the file had or shortens
        // it, so none needs free space. The first error is the one reported.
        if (headerWritten) bestEffort(::pwrite(d->fd, oldHeader, 7, 1));
        if (!oldTail.isEmpty()) bestEffort(::pwrite(d->fd, oldTail.constData(), size_t(oldTail.size()), at));
        bestEffort(::ftruncate(d->fd, oldSize));
        bestEffort(::fdatasync(d->fd));
        d->restoreMemos(memoCheckpoint); // no record points at the new memos
        throw;
    }
    d->recordCount = first + quint32(rows.size());
    d->lastUpdate = QDate::currentDate();
    return first;
}

void DbfFile::setBatch(WriteBatch* batch) {
    d->batch = batch;
}

void DbfFile::deleteRecord(quint32 recno) {
    d->requireWritable();
    if (recno >= d->recordCount)
        d->writeFailure(
            QStringLiteral("record %1 does not exist (the table has %2)").arg(recno + 1).arg(d->recordCount));
    const char flag = '*';
    d->pwriteAll(&flag, 1, d->recordOffset(recno));
    d->sync();
    d->touchDate();
}

int DbfFile::fieldWidth(int index) const {
    if (index < 0 || index >= d->fields.size()) return 0;
    const DbfField& f = d->fields[index];
    switch (f.type) {
    case 'C':
    case 'N':
    case 'F':
        return f.length;
    case 'D':
        return 10;
    case 'L':
        return 1;
    case 'I':
    case '+':
        return 11;
    default:
        return 0;
    }
}

} // namespace varek
