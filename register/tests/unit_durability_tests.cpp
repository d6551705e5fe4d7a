// A unit of work is all or nothing in every file it touches, whatever instant
// the program is killed at. A child process issues keys (a key row and its
// access rows in one unit) and withdraws them (the key row and every access
// row) in a loop, reporting each unit through a pipe once it returned; the
// parent kills it with SIGKILL at random moments, opens the register (which
// completes or drops an interrupted unit) and checks that every key has all
// of its access rows or none exists, and that every reported unit is there.
#include "register/tests/dataset_support.h"

#include "core/errors.h"
#include "dbase/write_batch.h"
#include "register/table.h"
#include "register/varek_register.h"

#include <QDir>
#include <QRandomGenerator>
#include <gtest/gtest.h>
#include <map>
#include <set>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

using namespace varek;
using namespace varek::test;

namespace {

constexpr int kRights = 60; // access rows of each key

QString codeOf(qint64 n) {
    return QStringLiteral("K%1").arg(n, 15, 10, QLatin1Char('0'));
}

struct Report {
    char op;    // 'I' issue, 'X' withdraw
    char phase; // 'B' before the unit, 'D' after it returned
    qint64 key;
};

void send(int fd, const Report& r) {
    if (::write(fd, &r, sizeof r) != sizeof r) _exit(3);
}

[[noreturn]] void workerChild(const QString& dir, int fd, quint32 seed, qint64 firstKey) {
    try {
        QRandomGenerator rng(seed);
        VarekRegister reg;
        reg.open(dir);
        std::vector<qint64> live;
        for (int row = 0; row < reg.taTokens().storedRowCount(); ++row)
            if (reg.taTokens().storedRowLive(row))
                live.push_back(reg.taTokens().storedValue(row, 0).toString().mid(1).toLongLong());
        qint64 next = firstKey;
        for (int i = 0; i < 100000; ++i) {
            if (live.empty() || rng.bounded(100) < 65) {
                send(fd, {'I', 'B', next});
                DurableUnit unit(reg);
                Table& tokens = reg.taTokens();
                tokens.append();
                tokens.setFieldValue(QStringLiteral("token_code"), codeOf(next));
                tokens.setFieldValue(QStringLiteral("user_name"), QStringLiteral("Держатель %1").arg(next));
                tokens.setFieldValue(QStringLiteral("status"), 1);
                tokens.post();
                Table& tc = reg.taTC();
                for (int s = 1; s <= kRights; ++s) {
                    tc.append();
                    tc.setFieldValue(QStringLiteral("token_code"), codeOf(next));
                    tc.setFieldValue(QStringLiteral("ser_num"), s);
                    tc.post();
                }
                unit.commit();
                send(fd, {'I', 'D', next});
                live.push_back(next++);
            } else {
                const size_t at = rng.bounded(quint32(live.size()));
                const qint64 key = live[at];
                send(fd, {'X', 'B', key});
                DurableUnit unit(reg);
                if (!reg.taTokens().locate(QStringLiteral("token_code"), {codeOf(key)})) _exit(4);
                reg.taTokens().deleteRecord();
                reg.taTC().deleteMatching(QStringLiteral("token_code"), codeOf(key));
                unit.commit();
                send(fd, {'X', 'D', key});
                live.erase(live.begin() + qsizetype(at));
            }
        }
    } catch (const VarekError&) {
        _exit(2);
    }
    _exit(0);
}

} // namespace

TEST(UnitDurability, AKillLeavesEveryUnitWholeOrAbsentInEveryFile) {
    TempRegister reg;
    const quint32 seed = QRandomGenerator::global()->generate();
    SCOPED_TRACE(testing::Message() << "seed " << seed);
    QRandomGenerator rng(seed);

    std::set<qint64> issued; // reported complete and not withdrawn since
    std::set<qint64> withdrawn;
    qint64 nextKey = 1;
    int units = 0;
    for (int round = 0; round < 30; ++round) {
        int fds[2];
        ASSERT_EQ(::pipe(fds), 0);
        const pid_t pid = ::fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) {
            ::close(fds[0]);
            workerChild(reg.dir, fds[1], rng.generate(), nextKey);
        }
        ::close(fds[1]);
        Report first{};
        ASSERT_EQ(::read(fds[0], &first, sizeof first), ssize_t(sizeof first));
        ::usleep(rng.bounded(1000u, 150000u));
        ::kill(pid, SIGKILL);
        int status = 0;
        ASSERT_EQ(::waitpid(pid, &status, 0), pid);
        ASSERT_TRUE(WIFSIGNALED(status)) << "the worker stopped by itself with " << WEXITSTATUS(status);
        std::vector<Report> reports{first};
        Report r{};
        while (::read(fds[0], &r, sizeof r) == ssize_t(sizeof r))
            reports.push_back(r);
        ::close(fds[0]);
        qint64 inFlight = -1; // the key of the unit the kill interrupted
        for (const Report& rep : reports) {
            if (rep.phase == 'B') {
                inFlight = rep.key;
                continue;
            }
            inFlight = -1;
            ++units;
            if (rep.op == 'I') {
                issued.insert(rep.key);
            } else {
                issued.erase(rep.key);
                withdrawn.insert(rep.key);
            }
        }

        // Opening completes or drops the unit the kill interrupted.
        VarekRegister opened;
        ASSERT_NO_THROW(opened.open(reg.dir));
        std::set<qint64> keys;
        std::map<qint64, int> rights;
        const Table& tokens = opened.taTokens();
        for (int row = 0; row < tokens.storedRowCount(); ++row) {
            if (!tokens.storedRowLive(row)) continue;
            const qint64 key = tokens.storedValue(row, 0).toString().mid(1).toLongLong();
            ASSERT_TRUE(keys.insert(key).second) << "key " << key << " stored twice";
            nextKey = std::max(nextKey, key + 1);
        }
        const Table& tc = opened.taTC();
        for (int row = 0; row < tc.storedRowCount(); ++row) {
            if (!tc.storedRowLive(row)) continue;
            const qint64 key = tc.storedValue(row, 0).toString().mid(1).toLongLong();
            ++rights[key];
            nextKey = std::max(nextKey, key + 1);
        }
        for (const auto& [key, count] : rights) {
            ASSERT_TRUE(keys.count(key)) << "access rows of key " << key << " without its key row";
            ASSERT_EQ(count, kRights) << "key " << key << " has only some of its access rows";
        }
        for (qint64 key : keys)
            ASSERT_EQ(rights[key], kRights) << "key " << key << " lacks access rows";
        // The key of the interrupted unit may be there or not; every other
        // key is as the reported units left it.
        for (qint64 key : issued) {
            if (key == inFlight) continue;
            ASSERT_TRUE(keys.count(key)) << "key " << key << " was reported issued and is gone";
        }
        for (qint64 key : withdrawn) {
            if (key == inFlight) continue;
            ASSERT_FALSE(keys.count(key)) << "key " << key << " was reported withdrawn and is back";
        }
        issued = {};
        withdrawn = {};
        for (qint64 key : keys)
            issued.insert(key);
        opened.close();
    }
    EXPECT_GT(units, 30);
}

// What a unit holds back is seen by the reads of its own files, reaches the
// files only at the commit, and a full disk at the commit leaves every file
// as it was.
TEST(UnitDurability, WritesWaitForTheCommitAndAFailedCommitTouchesNothing) {
    TempRegister reg;
    reg.token(QStringLiteral("0100000000000001"), QStringLiteral("Старый"));
    VarekRegister r;
    r.open(reg.dir);
    const auto fileBytes = [&](const char* name) {
        QFile f(reg.file(name));
        EXPECT_TRUE(f.open(QIODevice::ReadOnly));
        return f.readAll();
    };
    const QByteArray tokensBefore = fileBytes("tokens.dbf");
    const QByteArray tcBefore = fileBytes("tc.dbf");
    {
        DurableUnit unit(r);
        r.taTokens().edit();
        r.taTokens().setFieldValue(QStringLiteral("user_name"), QStringLiteral("Новый"));
        r.taTokens().post();
        r.taTC().append();
        r.taTC().setFieldValue(QStringLiteral("token_code"), QStringLiteral("0100000000000001"));
        r.taTC().setFieldValue(QStringLiteral("ser_num"), 7);
        r.taTC().post();
        // Rewriting a record appended in the unit reads it through the unit.
        r.taTC().edit();
        r.taTC().setFieldValue(QStringLiteral("ser_num"), 8);
        r.taTC().post();
        EXPECT_EQ(fileBytes("tokens.dbf"), tokensBefore);
        EXPECT_EQ(fileBytes("tc.dbf"), tcBefore);
        unit.commit();
    }
    EXPECT_NE(fileBytes("tokens.dbf"), tokensBefore);
    r.close();
    {
        auto tc = DbfFile::open(reg.file("tc.dbf"));
        QVector<QVector<QVariant>> rows;
        tc->readAll([&](quint32, QVector<QVariant>&& v) { rows.append(v); });
        ASSERT_EQ(rows.size(), 1);
        EXPECT_EQ(rows[0][1].toLongLong(), 8);
    }
    EXPECT_EQ(QFileInfo(reg.dir + QStringLiteral(".varek.journal")).size(), 0);

    // A commit that cannot write its journal (here a directory stands in its
    // place) fails before any table is touched, and the tables read their
    // files anew.
    ASSERT_TRUE(QFile::remove(reg.dir + QStringLiteral(".varek.journal")));
    ASSERT_TRUE(QDir(reg.dir).mkdir(QStringLiteral(".varek.journal")));
    r.open(reg.dir);
    const QByteArray committed = fileBytes("tokens.dbf");
    {
        DurableUnit unit(r);
        r.taTokens().edit();
        r.taTokens().setFieldValue(QStringLiteral("user_name"), QStringLiteral("Несохранённый"));
        r.taTokens().post();
        EXPECT_THROW(unit.commit(), EDatabaseError);
    }
    EXPECT_EQ(fileBytes("tokens.dbf"), committed);
    EXPECT_EQ(r.taTokens().asString(QStringLiteral("user_name")), QStringLiteral("Новый"));
}
