#include "dbase/write_batch.h"

#include "core/errors.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <set>
#include <sys/stat.h>
#include <unistd.h>

// The journal: "VAREKJRN", a version (u32, 1), then per write the file's name
// (u16 length, UTF-8; relative to the journal's directory unless absolute),
// the offset (i64), the size (u32) and the bytes; then "COMMIT\0\0", the
// number of writes (u32) and the CRC-32 of everything before the trailer
// (u32). All numbers little-endian. An empty journal file means no unit is
// pending; the file is kept between units, so its directory entry is synced
// only once, when it is first made.

namespace varek {

namespace {

constexpr char kMagic[8] = {'V', 'A', 'R', 'E', 'K', 'J', 'R', 'N'};
constexpr char kTrailer[8] = {'C', 'O', 'M', 'M', 'I', 'T', 0, 0};
constexpr quint32 kVersion = 1;
constexpr qint64 kMaxJournal = qint64(1) << 30;

quint32 crc32(const char* data, size_t size) {
    static const auto table = [] {
        std::array<quint32, 256> t{};
        for (quint32 i = 0; i < 256; ++i) {
            quint32 c = i;
            for (int k = 0; k < 8; ++k)
                c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
            t[i] = c;
        }
        return t;
    }();
    quint32 c = 0xFFFFFFFFu;
    for (size_t i = 0; i < size; ++i)
        c = table[(c ^ uchar(data[i])) & 0xFF] ^ (c >> 8);
    return c ^ 0xFFFFFFFFu;
}

template <class T> void put(std::vector<char>& out, T v) {
    for (size_t i = 0; i < sizeof(T); ++i)
        out.push_back(char(quint64(v) >> (8 * i)));
}

template <class T> bool get(const std::vector<char>& in, size_t& pos, T& v) {
    if (in.size() - pos < sizeof(T)) return false;
    quint64 x = 0;
    for (size_t i = 0; i < sizeof(T); ++i)
        x |= quint64(uchar(in[pos + i])) << (8 * i);
    v = T(x);
    pos += sizeof(T);
    return true;
}

QString sysError(int err) {
    return QString::fromLocal8Bit(std::strerror(err));
}

[[noreturn]] void journalFailure(const QString& path, const QString& what) {
    throw EDatabaseError(QStringLiteral("Cannot write the journal \"%1\": %2").arg(path, what));
}

void pwriteAll(int fd, const char* p, qint64 size, qint64 offset, const QString& path) {
    while (size > 0) {
        const ssize_t n = ::pwrite(fd, p, size_t(size), offset);
        if (n < 0) {
            if (errno == EINTR) continue;
            throw EDatabaseError(
                QStringLiteral("Cannot write table file \"%1\": %2").arg(path, sysError(errno)));
        }
        p += n;
        size -= n;
        offset += n;
    }
}

void syncFd(int fd, const QString& path) {
    while (::fdatasync(fd) != 0) {
        if (errno != EINTR)
            throw EDatabaseError(
                QStringLiteral("Cannot write table file \"%1\": %2").arg(path, sysError(errno)));
    }
}

void syncDirectoryOf(const QString& path) {
    const int dfd = ::open(QFile::encodeName(QFileInfo(path).absolutePath()).constData(),
                           O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dfd >= 0) {
        ::fsync(dfd);
        ::close(dfd);
    }
}

struct JournalEntry {
    QString name;
    qint64 offset = 0;
    std::vector<char> bytes;
};

// The entries of a whole journal; false for one cut short or damaged.
bool parseJournal(const std::vector<char>& j, std::vector<JournalEntry>& entries) {
    constexpr size_t kTrailerSize = sizeof kTrailer + 8;
    if (j.size() < sizeof kMagic + 4 + kTrailerSize) return false;
    if (std::memcmp(j.data(), kMagic, sizeof kMagic) != 0) return false;
    const size_t body = j.size() - kTrailerSize;
    if (std::memcmp(j.data() + body, kTrailer, sizeof kTrailer) != 0) return false;
    size_t pos = body + sizeof kTrailer;
    quint32 count = 0, crc = 0;
    get(j, pos, count);
    get(j, pos, crc);
    if (crc32(j.data(), body) != crc) return false;
    pos = sizeof kMagic;
    quint32 version = 0;
    if (!get(j, pos, version) || version != kVersion) return false;
    for (quint32 i = 0; i < count; ++i) {
        quint16 nameLen = 0;
        quint32 size = 0;
        JournalEntry e;
        if (!get(j, pos, nameLen) || body - pos < nameLen) return false;
        e.name = QString::fromUtf8(j.data() + pos, nameLen);
        pos += nameLen;
        if (!get(j, pos, e.offset) || !get(j, pos, size) || body - pos < size || e.offset < 0) return false;
        e.bytes.assign(j.begin() + qsizetype(pos), j.begin() + qsizetype(pos + size));
        pos += size;
        entries.push_back(std::move(e));
    }
    return pos == body;
}

} // namespace

WriteBatch::WriteBatch(QString journalPath) : m_journalPath(std::move(journalPath)) {}

WriteBatch::~WriteBatch() = default;

void WriteBatch::write(int fd, const QString& path, qint64 offset, const void* data, qint64 size) {
    if (size <= 0) return;
    m_paths.emplace(fd, path);
    const char* p = static_cast<const char*>(data);
    Extents& ex = m_extents[fd];
    const qint64 end = offset + size;
    // The first stretch that overlaps or touches [offset, end).
    auto it = ex.upper_bound(offset);
    if (it != ex.begin()) {
        auto before = std::prev(it);
        if (before->first + qint64(before->second.size()) >= offset) it = before;
    }
    if (it == ex.end() || it->first > end) {
        ex.emplace_hint(it, offset, std::vector<char>(p, p + size));
        return;
    }
    // The write joins the stretch it meets first (or starts one of its own
    // when it begins before it), which then takes in the stretches after it
    // that the write reaches.
    if (it->first > offset) it = ex.emplace_hint(it, offset, std::vector<char>());
    std::vector<char>& bytes = it->second;
    const qint64 start = it->first;
    if (end > start + qint64(bytes.size())) bytes.resize(size_t(end - start));
    std::memcpy(bytes.data() + (offset - start), p, size_t(size));
    for (auto next = std::next(it); next != ex.end() && next->first <= start + qint64(bytes.size());) {
        const qint64 covered = start + qint64(bytes.size());
        const qint64 nextEnd = next->first + qint64(next->second.size());
        if (nextEnd > covered)
            bytes.insert(bytes.end(), next->second.begin() + (covered - next->first), next->second.end());
        next = ex.erase(next);
    }
}

bool WriteBatch::read(int fd, qint64 offset, void* buf, qint64 size) const {
    auto* out = static_cast<char*>(buf);
    std::memset(out, 0, size_t(size));
    qint64 got = 0;
    while (got < size) {
        const ssize_t n = ::pread(fd, out + got, size_t(size - got), offset + got);
        if (n < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        if (n == 0) break;
        got += n;
    }
    qint64 end = offset + got;
    const auto file = m_extents.find(fd);
    if (file != m_extents.end()) {
        const Extents& ex = file->second;
        auto it = ex.upper_bound(offset);
        if (it != ex.begin()) --it;
        for (; it != ex.end() && it->first < offset + size; ++it) {
            const qint64 wEnd = it->first + qint64(it->second.size());
            const qint64 from = std::max(offset, it->first);
            const qint64 to = std::min(offset + size, wEnd);
            if (from < to) {
                std::memcpy(out + (from - offset), it->second.data() + (from - it->first), size_t(to - from));
                end = std::max(end, to);
            }
        }
    }
    return end >= offset + size;
}

void WriteBatch::abandon() {
    m_extents.clear();
    m_paths.clear();
}

void WriteBatch::commit() {
    if (m_extents.empty()) return;
    std::map<int, Extents> writes;
    writes.swap(m_extents);
    std::map<int, QString> paths;
    paths.swap(m_paths);

    // 1. The space the files grow by, before anything is written.
    std::map<int, qint64> ends;
    for (const auto& [fd, ex] : writes)
        ends[fd] = ex.rbegin()->first + qint64(ex.rbegin()->second.size());
    for (const auto& [fd, end] : ends) {
        struct stat st;
        if (::fstat(fd, &st) != 0 || end <= st.st_size) continue;
        int rc;
        do {
            rc = ::fallocate(fd, FALLOC_FL_KEEP_SIZE, st.st_size, end - st.st_size);
        } while (rc != 0 && errno == EINTR);
        if (rc != 0 && errno != EOPNOTSUPP && errno != ENOSYS)
            throw EDatabaseError(
                QStringLiteral("Cannot write table file \"%1\": %2").arg(paths[fd], sysError(errno)));
    }

    // 2. The journal.
    const QString journalDir = QFileInfo(m_journalPath).absolutePath();
    std::vector<char> j(kMagic, kMagic + sizeof kMagic);
    put(j, kVersion);
    quint32 entries = 0;
    for (const auto& [fd, ex] : writes) {
        const QFileInfo info(paths[fd]);
        const QByteArray name =
            (info.absolutePath() == journalDir ? info.fileName() : info.absoluteFilePath()).toUtf8();
        for (const auto& [offset, bytes] : ex) {
            put(j, quint16(name.size()));
            j.insert(j.end(), name.begin(), name.end());
            put(j, qint64(offset));
            put(j, quint32(bytes.size()));
            j.insert(j.end(), bytes.begin(), bytes.end());
            ++entries;
        }
    }
    const quint32 crc = crc32(j.data(), j.size());
    j.insert(j.end(), kTrailer, kTrailer + sizeof kTrailer);
    put(j, entries);
    put(j, crc);

    const QByteArray native = QFile::encodeName(m_journalPath);
    bool made = false;
    int jfd = ::open(native.constData(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
    if (jfd >= 0)
        made = true;
    else if (errno == EEXIST)
        jfd = ::open(native.constData(), O_RDWR | O_CLOEXEC);
    if (jfd < 0) journalFailure(m_journalPath, sysError(errno));
    try {
        pwriteAll(jfd, j.data(), qint64(j.size()), 0, m_journalPath);
        if (::ftruncate(jfd, off_t(j.size())) != 0) journalFailure(m_journalPath, sysError(errno));
        syncFd(jfd, m_journalPath);
        if (made) syncDirectoryOf(m_journalPath);
    } catch (...) {
        // The files were not touched: an unfinished journal must not be
        // completed later.
        if (::ftruncate(jfd, 0) == 0) ::fdatasync(jfd);
        ::close(jfd);
        throw;
    }

    // 3. The files, one sync each. A failure here leaves the journal whole,
    // so the next opening of the register completes the unit.
    for (const auto& [fd, ex] : writes)
        for (const auto& [offset, bytes] : ex)
            pwriteAll(fd, bytes.data(), qint64(bytes.size()), offset, paths[fd]);
    for (const auto& [fd, ex] : writes)
        syncFd(fd, paths[fd]);

    // 4. Done: the journal is emptied (no sync needed: completing a unit
    // again writes the same bytes).
    if (::ftruncate(jfd, 0) != 0) {
    }
    ::close(jfd);
}

void WriteBatch::recover(const QString& journalPath) {
    const QByteArray native = QFile::encodeName(journalPath);
    const int jfd = ::open(native.constData(), O_RDWR | O_CLOEXEC);
    if (jfd < 0) return;
    struct Closer {
        int fd;
        ~Closer() { ::close(fd); }
    } closer{jfd};
    struct stat st;
    if (::fstat(jfd, &st) != 0 || st.st_size == 0) return;
    std::vector<char> j;
    if (S_ISREG(st.st_mode) && st.st_size <= kMaxJournal) {
        j.resize(size_t(st.st_size));
        qint64 got = 0;
        while (got < st.st_size) {
            const ssize_t n = ::pread(jfd, j.data() + got, size_t(st.st_size - got), got);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) break;
            got += n;
        }
        j.resize(size_t(got));
    }
    std::vector<JournalEntry> entries;
    if (parseJournal(j, entries)) {
        const QDir dir = QFileInfo(journalPath).absoluteDir();
        std::map<QString, int> fds;
        try {
            for (const JournalEntry& e : entries) {
                const QString path = QDir::isAbsolutePath(e.name) ? e.name : dir.filePath(e.name);
                auto it = fds.find(path);
                if (it == fds.end()) {
                    const int fd = ::open(QFile::encodeName(path).constData(), O_WRONLY | O_CLOEXEC);
                    if (fd < 0)
                        throw EDatabaseError(QStringLiteral("Cannot complete the journal \"%1\": %2: %3")
                                                 .arg(journalPath, path, sysError(errno)));
                    it = fds.emplace(path, fd).first;
                }
                pwriteAll(it->second, e.bytes.data(), qint64(e.bytes.size()), e.offset, path);
            }
            for (const auto& [path, fd] : fds)
                syncFd(fd, path);
        } catch (...) {
            for (const auto& [path, fd] : fds)
                ::close(fd);
            throw;
        }
        for (const auto& [path, fd] : fds)
            ::close(fd);
    }
    if (::ftruncate(jfd, 0) != 0) journalFailure(journalPath, sysError(errno));
    syncFd(jfd, journalPath);
}

} // namespace varek
