// The pending writes of a unit of work: what reads see before the commit and
// what the file holds after it, against a plain byte array that takes the
// same writes one after another.
#include "dbase/write_batch.h"

#include <QTemporaryDir>
#include <gtest/gtest.h>

#include <fcntl.h>
#include <random>
#include <unistd.h>
#include <vector>

namespace varek {
namespace {

std::vector<char> fileBytes(int fd) {
    std::vector<char> bytes(size_t(::lseek(fd, 0, SEEK_END)));
    EXPECT_EQ(::pread(fd, bytes.data(), bytes.size(), 0), ssize_t(bytes.size()));
    return bytes;
}

TEST(WriteBatch, ReadsAndTheCommittedFileSeeEveryWriteInOrder) {
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    const QString path = dir.filePath(QStringLiteral("t.dbf"));
    const int fd = ::open(QFile::encodeName(path).constData(), O_RDWR | O_CREAT, 0644);
    ASSERT_GE(fd, 0);
    std::vector<char> model(300, 'f');
    ASSERT_EQ(::pwrite(fd, model.data(), model.size(), 0), ssize_t(model.size()));

    std::mt19937 random(7);
    WriteBatch batch(dir.filePath(QStringLiteral(".varek.journal")));
    // Writes inside the file, over and across earlier ones, touching them,
    // and appends at its growing end, as a unit's posts and appends make.
    for (int i = 0; i < 2000; ++i) {
        const qint64 size = 1 + qint64(random() % 40);
        const qint64 offset =
            i % 3 == 0 ? qint64(model.size()) - qint64(random() % 2) : qint64(random() % (model.size() + 10));
        std::vector<char> bytes(static_cast<size_t>(size), char('a' + i % 26));
        batch.write(fd, path, offset, bytes.data(), size);
        if (model.size() < size_t(offset + size)) model.resize(size_t(offset + size), 0);
        std::copy(bytes.begin(), bytes.end(), model.begin() + offset);

        const qint64 at = qint64(random() % model.size());
        const qint64 length = std::min<qint64>(1 + qint64(random() % 64), qint64(model.size()) - at);
        std::vector<char> seen(static_cast<size_t>(length));
        ASSERT_TRUE(batch.read(fd, at, seen.data(), length)) << "write " << i;
        ASSERT_TRUE(std::equal(seen.begin(), seen.end(), model.begin() + at)) << "write " << i;
    }
    char past;
    EXPECT_FALSE(batch.read(fd, qint64(model.size()), &past, 1));

    batch.commit();
    EXPECT_TRUE(batch.empty());
    const std::vector<char> after = fileBytes(fd);
    // Bytes between the old end and a write beyond it (none here but the
    // gaps the model zero-fills) read as 0 in both.
    EXPECT_EQ(after, model);
    ::close(fd);
}

} // namespace
} // namespace varek
