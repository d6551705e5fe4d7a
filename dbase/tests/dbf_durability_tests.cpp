// A writer killed at any instant leaves a readable file that holds every
// change it reported complete. A child process appends, rewrites and deletes
// records in a loop and reports each change through a pipe before and after
// the call; the parent kills it with SIGKILL at random moments, reopens the
// file and compares it with the changes reported.
#include "core/errors.h"
#include "dbase/dbf.h"
#include "dbase/tests/dbf_test_util.h"

#include <QFile>
#include <QFileInfo>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <gtest/gtest.h>
#include <map>
#include <optional>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

using namespace varek;

namespace {

struct Report {
    char op;    // 'A' append, 'W' rewrite, 'X' delete
    char phase; // 'B' before the call, 'D' after it returned
    quint32 recno;
    qint64 value;
};

QVector<QVariant> recordOf(qint64 value) {
    return {QStringLiteral("Запись %1").arg(value), value};
}

void send(int fd, const Report& r) {
    if (::write(fd, &r, sizeof r) != sizeof r) _exit(3);
}

[[noreturn]] void writerChild(const QString& path, int fd, quint32 seed, qint64 firstValue) {
    try {
        QRandomGenerator rng(seed);
        auto file = DbfFile::open(path);
        std::vector<quint32> live;
        file->readAll([&](quint32 recno, QVector<QVariant>&&) { live.push_back(recno); });
        qint64 value = firstValue;
        for (int i = 0; i < 100000; ++i) {
            const int dice = rng.bounded(100);
            if (live.empty() || dice < 60) {
                const Report before{'A', 'B', file->recordCount(), value};
                send(fd, before);
                const quint32 recno = file->appendRecord(recordOf(value));
                send(fd, {'A', 'D', recno, value});
                live.push_back(recno);
            } else if (dice < 85) {
                const quint32 recno = live[rng.bounded(quint32(live.size()))];
                send(fd, {'W', 'B', recno, value});
                file->writeRecord(recno, recordOf(value));
                send(fd, {'W', 'D', recno, value});
            } else {
                const size_t at = rng.bounded(quint32(live.size()));
                const quint32 recno = live[at];
                send(fd, {'X', 'B', recno, 0});
                file->deleteRecord(recno);
                send(fd, {'X', 'D', recno, 0});
                live.erase(live.begin() + qsizetype(at));
            }
            ++value;
        }
    } catch (const VarekError&) {
        _exit(2);
    }
    _exit(0);
}

} // namespace

TEST(DbfDurability, EveryReportedChangeSurvivesAKillAtAnyInstant) {
    QTemporaryDir dir;
    const QString path = dir.filePath("crash.dbf");
    DbfFile::create(path, {{"NAME", 'C', 20, 0}, {"VALUE", 'N', 11, 0}}, 0x65);
    const quint32 seed = QRandomGenerator::global()->generate();
    SCOPED_TRACE(testing::Message() << "seed " << seed);
    QRandomGenerator rng(seed);

    std::map<quint32, std::optional<qint64>> model; // recno -> value, nullopt when deleted
    qint64 nextValue = 1;
    int changes = 0;
    for (int round = 0; round < 40; ++round) {
        int fds[2];
        ASSERT_EQ(::pipe(fds), 0);
        const pid_t pid = ::fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) {
            ::close(fds[0]);
            writerChild(path, fds[1], rng.generate(), nextValue);
        }
        ::close(fds[1]);
        // Let the child reach its loop, then kill it a random while later.
        Report first;
        ASSERT_EQ(::read(fds[0], &first, sizeof first), ssize_t(sizeof first));
        ::usleep(rng.bounded(1000u, 40000u));
        ::kill(pid, SIGKILL);
        int status = 0;
        ASSERT_EQ(::waitpid(pid, &status, 0), pid);
        ASSERT_TRUE(WIFSIGNALED(status)) << "the writer stopped by itself with " << WEXITSTATUS(status);

        std::vector<Report> reports{first};
        Report r;
        while (::read(fds[0], &r, sizeof r) == ssize_t(sizeof r))
            reports.push_back(r);
        ::close(fds[0]);
        std::optional<Report> inFlight;
        for (const Report& rep : reports) {
            nextValue = std::max(nextValue, rep.value + 1);
            if (rep.phase == 'B') {
                inFlight = rep;
                continue;
            }
            inFlight.reset();
            ++changes;
            model[rep.recno] = rep.op == 'X' ? std::nullopt : std::optional<qint64>(rep.value);
        }

        std::map<quint32, qint64> actual;
        quint32 count = 0;
        try {
            auto file = DbfFile::open(path);
            count = file->recordCount();
            file->readAll([&](quint32 recno, QVector<QVariant>&& v) {
                EXPECT_EQ(v[0].toString(), QStringLiteral("Запись %1").arg(v[1].toLongLong()));
                actual[recno] = v[1].toLongLong();
            });
        } catch (const VarekError& e) {
            FAIL() << "round " << round << ": " << e.what();
        }
        // The one change begun and not reported may or may not be there; any other must match.
        const quint32 modelCount = quint32(model.size());
        const bool appendInFlight = inFlight && inFlight->op == 'A';
        EXPECT_TRUE(count == modelCount || (appendInFlight && count == modelCount + 1))
            << "round " << round << ": count " << count << ", reported " << modelCount;
        for (const auto& [recno, value] : model) {
            const auto it = actual.find(recno);
            const std::optional<qint64> found = it == actual.end() ? std::nullopt : std::optional(it->second);
            if (found == value) continue;
            const bool explained =
                inFlight && inFlight->recno == recno &&
                ((inFlight->op == 'W' && found == inFlight->value) || (inFlight->op == 'X' && !found));
            EXPECT_TRUE(explained) << "round " << round << ": record " << recno
                                   << " lost its reported change";
        }
        for (const auto& [recno, value] : actual) {
            if (!model.count(recno)) {
                EXPECT_TRUE(appendInFlight && inFlight->recno == recno && inFlight->value == value)
                    << "round " << round << ": record " << recno << " was never written";
            }
        }
        // What the file holds now is the truth the next round starts from.
        if (inFlight && (inFlight->op != 'A' || count == modelCount + 1)) {
            const auto it = actual.find(inFlight->recno);
            model[inFlight->recno] = it == actual.end() ? std::nullopt : std::optional(it->second);
        }
        if (HasFailure()) break;
    }
    EXPECT_GT(changes, 30);
    std::printf("durability: %d changes reported complete across the kills\n", changes);
}

namespace {

QByteArray bytesOf(const QString& path) {
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

// Appends one record in a child process that may not make any file longer
// than limit bytes (the disk is full there) and returns the child's exit
// code: 10 when the append failed with an error naming the table, 11 when it
// reported success, 12 for any other outcome.
int appendWithFileSizeLimit(const QString& path, qint64 limit, const QVector<QVariant>& values) {
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::signal(SIGXFSZ, SIG_IGN); // the write fails with EFBIG instead of killing
        const struct rlimit rl { rlim_t(limit), rlim_t(limit) };
        if (::setrlimit(RLIMIT_FSIZE, &rl) != 0) _exit(13);
        try {
            DbfFile::open(path)->appendRecord(values);
            _exit(11);
        } catch (const VarekError& e) {
            _exit(e.message().contains(QFileInfo(path).fileName()) ? 10 : 12);
        }
        _exit(12);
    }
    int status = 0;
    ::waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

} // namespace

TEST(DbfDurability, AFailedAppendLeavesTheFilesAsTheyWere) {
    QTemporaryDir dir;
    // A plain table; the disk fills up in the middle of the new record.
    const QString plain = dir.filePath("plain.dbf");
    DbfFile::create(plain, {{"NAME", 'C', 100, 0}, {"VALUE", 'N', 11, 0}}, 0x65);
    DbfFile::open(plain)->appendRecord(recordOf(1));
    const QByteArray before = bytesOf(plain);
    EXPECT_EQ(appendWithFileSizeLimit(plain, before.size() + 40, recordOf(2)), 10);
    EXPECT_EQ(bytesOf(plain), before);

    // A table with a memo field: the memo is stored, then the record does not fit.
    const QString memo = dir.filePath("memo.dbf");
    test::RawTable t;
    t.version = 0x83;
    t.fields = {{"NAME", 'C', 200}, {"NOTES", 'M', 10}};
    for (int i = 0; i < 4; ++i)
        t.records.append(" " + QByteArray(200, 'a') + QByteArray(10, ' '));
    ASSERT_TRUE(t.write(memo));
    {
        QFile dbt(dir.filePath("memo.dbt"));
        ASSERT_TRUE(dbt.open(QIODevice::WriteOnly));
        dbt.write(QByteArray("\x01\0\0\0", 4) + QByteArray(508, '\0'));
    }
    const QByteArray table = bytesOf(memo), memoFile = bytesOf(dir.filePath("memo.dbt"));
    EXPECT_EQ(
        appendWithFileSizeLimit(memo, table.size() + 100, {QStringLiteral("b"), QStringLiteral("заметка")}),
        10);
    EXPECT_EQ(bytesOf(memo), table);
    EXPECT_EQ(bytesOf(dir.filePath("memo.dbt")), memoFile);
    // With room enough the same append goes through.
    EXPECT_EQ(appendWithFileSizeLimit(memo, 1 << 20, {QStringLiteral("b"), QStringLiteral("заметка")}), 11);
    EXPECT_EQ(DbfFile::open(memo)->recordCount(), 5u);
}

// What an append cut short by a kill leaves past the counted records: every
// reader must see the same rows, those the header counts, once the file has
// been opened for writing; what other programs may keep after an end marker,
// and a file without one, stay as they are.
TEST(DbfDurability, OpeningForWritingCutsWhatAnUnfinishedAppendLeft) {
    QTemporaryDir dir;
    const QString path = dir.filePath("t.dbf");
    DbfFile::create(path, {{"NAME", 'C', 20, 0}, {"VALUE", 'N', 11, 0}}, 0x65);
    DbfFile::open(path)->appendRecord(recordOf(1));
    const QByteArray good = bytesOf(path); // ends with the end marker
    const QByteArray records = good.chopped(1);
    const QByteArray extra = " " + QByteArray("Запись 2").leftJustified(20, ' ') + QByteArray(11, ' ');
    struct Case {
        const char* name;
        QByteArray file;
        QByteArray expected;
    };
    const Case cases[] = {
        {"a whole record and the end marker past the count", records + extra + '\x1a', good},
        {"a part of a record over the end marker", records + extra.left(7), good},
        {"no end marker", records, records},
        {"bytes after the end marker", good + "padding", good + "padding"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        {
            QFile f(path);
            ASSERT_TRUE(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
            f.write(c.file);
        }
        auto file = DbfFile::open(path);
        EXPECT_EQ(file->recordCount(), 1u);
        EXPECT_EQ(bytesOf(path), c.expected);
    }
}
