// Deleting an object with its controllers and their access rows, the way the
// objects page does it, on copies of a register (for example one made by
// varek_make_large_register): row by row with a durable write each, as the
// program did before units of work, and as one unit of work, whose writes
// reach each file together with one sync per file. Prints both, beside the
// goal. Usage: varek_delete_bench DIR [OBJ_NUM]

#include "core/errors.h"
#include "register/table.h"
#include "register/varek_register.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QTemporaryDir>

#include <cstdio>

using namespace varek;

namespace {

void copyRegister(const QString& from, const QString& to) {
    for (const char* name : {"obj.dbf", "ctrl.dbf", "tokens.dbf", "tc.dbf"}) {
        if (!QFile::copy(from + QLatin1String(name), to + QLatin1String(name)))
            throw VarekError(QStringLiteral("cannot copy %1").arg(QLatin1String(name)));
    }
}

struct Result {
    double ms = 0;
    double commitMs = 0; // of which the unit's commit
    int controllers = 0;
    int rows = 0;
};

// Deletes object objNum (made current in the objects table) with its
// controllers and their access rows; unit: as one unit of work with one pass
// over the access table, as the objects page does, else row by row.
Result deleteObject(VarekRegister& reg, qint32 objNum, bool unit) {
    Table& obj = reg.taObj();
    Table& ctrl = reg.taCtrl();
    Table& tc = reg.taTC();
    if (!obj.locate(QStringLiteral("obj_num"), {objNum})) throw VarekError(QStringLiteral("no such object"));
    Result r;
    const int before = tc.liveRowCount();
    QElapsedTimer t;
    t.start();
    const auto work = [&] {
        if (unit) {
            QVariantList serNums;
            for (ctrl.first(); !ctrl.eof(); ctrl.next())
                serNums.append(ctrl.asInteger(QStringLiteral("ser_num")));
            tc.deleteMatching(QStringLiteral("ser_num"), serNums);
        }
        for (int left = ctrl.recordCount(); left > 0 && !ctrl.isEmpty(); --left) {
            ctrl.first();
            if (!unit) {
                const qint32 ser = ctrl.asInteger(QStringLiteral("ser_num"));
                while (tc.locate(QStringLiteral("ser_num"), {ser}))
                    tc.deleteRecord();
            }
            ctrl.deleteRecord();
            ++r.controllers;
        }
        obj.deleteRecord();
    };
    if (unit) {
        DurableUnit u(reg);
        work();
        const qint64 committing = t.nsecsElapsed();
        u.commit();
        r.commitMs = (t.nsecsElapsed() - committing) / 1.0e6;
    } else {
        work();
    }
    r.ms = t.nsecsElapsed() / 1.0e6;
    r.rows = before - tc.liveRowCount();
    return r;
}

} // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments();
    if (args.size() < 2) {
        std::fprintf(stderr, "usage: %s DIR [OBJ_NUM]\n", argv[0]);
        return 2;
    }
    const QString dir = QDir(args[1]).absolutePath() + QLatin1Char('/');
    const qint32 objNum = args.size() > 2 ? args[2].toInt() : 1;
    try {
        QTemporaryDir a, b;
        copyRegister(dir, a.path() + QLatin1Char('/'));
        copyRegister(dir, b.path() + QLatin1Char('/'));
        VarekRegister ra, rb;
        ra.open(a.path());
        rb.open(b.path());
        const Result old = deleteObject(ra, objNum, false);
        const Result now = deleteObject(rb, objNum, true);
        std::printf("delete object %d: %d controllers, %d access rows, of %d access rows in all\n", objNum,
                    now.controllers, now.rows, rb.taTC().liveRowCount() + now.rows);
        std::printf("  row by row, a sync per row:       %8.1f ms\n", old.ms);
        std::printf("  one unit of work, a sync per file: %8.1f ms   (goal: <= 50 ms for 900 rows),"
                    " of which the commit %.1f ms\n",
                    now.ms, now.commitMs);
        if (old.rows != now.rows)
            std::printf("  (the two ways deleted different rows: %d and %d)\n", old.rows, now.rows);
    } catch (const VarekError& e) {
        std::fprintf(stderr, "%s\n", e.message().toLocal8Bit().constData());
        return 1;
    }
    return 0;
}
