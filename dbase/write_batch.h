#pragma once

#include <QString>

#include <map>
#include <memory>
#include <vector>

namespace varek {

// One durable unit of work over several table files: the writes of an
// operation are held back and made durable together, with one sync per file,
// and a kill or a crash at any moment leaves each file either without any of
// them or with all of them.
//
// While a batch is set on a DbfFile (DbfFile::setBatch), the file's writes
// are kept here instead of being written, and its reads see them. commit()
// then
//   1. reserves the disk space the files will grow by (a full disk fails
//      here, before anything is written),
//   2. writes every pending write into the journal, with a checksum, and
//      syncs the journal,
//   3. writes them into the files and syncs each file once,
//   4. empties the journal.
// recover() runs before the files are opened: a whole journal (a crash after
// step 2) is written into the files again, which completes the unit; a
// journal cut short (a crash before the end of step 2) is dropped, and the
// files never saw any of it.
class WriteBatch {
public:
    // journalPath: the journal file; file names in it are relative to its directory.
    explicit WriteBatch(QString journalPath);
    ~WriteBatch();
    WriteBatch(const WriteBatch&) = delete;
    WriteBatch& operator=(const WriteBatch&) = delete;

    // Keeps a write of size bytes at offset of the file open as fd (path: its
    // path, for the journal and for messages).
    void write(int fd, const QString& path, qint64 offset, const void* data, qint64 size);
    // Reads what [offset, offset + size) of fd will hold after the pending
    // writes; bytes past the end of the file and of every pending write read
    // as 0. False when nothing, on disk or pending, lies at offset + size - 1.
    bool read(int fd, qint64 offset, void* buf, qint64 size) const;
    bool empty() const { return m_extents.empty(); }

    // Makes every pending write durable (see above) and empties the batch.
    // Fails with EDatabaseError; when it fails before the journal is synced
    // the files are untouched, and the pending writes are dropped either way.
    void commit();
    // Drops the pending writes.
    void abandon();

    // Completes or drops a journal left by a crash (see above). Nothing to do
    // when the journal is absent or empty. Fails with EDatabaseError naming
    // the journal when a whole journal cannot be written into its files.
    static void recover(const QString& journalPath);

private:
    // What each file will hold where the pending writes fall: per fd, the
    // written stretches by offset, apart from one another (a write that
    // overlaps or touches a stretch joins it, a later write over earlier
    // bytes replacing them). Reads and appends then cost the stretches they
    // meet, not every write the unit made.
    using Extents = std::map<qint64, std::vector<char>>;
    QString m_journalPath;
    std::map<int, Extents> m_extents;
    std::map<int, QString> m_paths; // fd -> path
};

} // namespace varek
