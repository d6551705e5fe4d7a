// Prints how the register performs on a directory of tables (made, for
// example, by varek_make_large_register): time to open it, time of one run of
// each view, time of a locate on the access table by (token_code;ser_num),
// and the memory the process uses. Usage: varek_register_bench DIR

#include "core/errors.h"
#include "dbase/dbf.h"
#include "register/data_link.h"
#include "register/sql_views.h"
#include "register/table.h"
#include "register/varek_register.h"
#include "register/view.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>

#include <cstdio>
#include <ctime>

using namespace varek;

namespace {

long rssKiB() {
    QFile f(QStringLiteral("/proc/self/status"));
    if (!f.open(QIODevice::ReadOnly)) return -1;
    for (const QByteArray& line : f.readAll().split('\n')) {
        if (line.startsWith("VmRSS:")) return line.mid(6).trimmed().split(' ').value(0).toLong();
    }
    return -1;
}

// Processor time of this process: apart from the wall clock, it shows the
// work itself on a machine busy with other programs.
qint64 cpuNs() {
    timespec ts{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
    return static_cast<qint64>(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

double ms(qint64 ns) {
    return ns / 1.0e6;
}

} // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    if (app.arguments().size() < 2) {
        std::fprintf(stderr, "usage: %s DIR\n", argv[0]);
        return 2;
    }
    const QString dir = QDir(app.arguments()[1]).absolutePath() + QLatin1Char('/');
    try {
        const long rssBefore = rssKiB();
        VarekRegister reg;
        QElapsedTimer t;
        t.start();
        const qint64 cpuBefore = cpuNs();
        reg.open(dir);
        const qint64 openNs = t.nsecsElapsed();
        const qint64 openCpuNs = cpuNs() - cpuBefore;
        const long rssOpen = rssKiB();
        std::printf("tables: obj %d, ctrl %d, tokens %d, tc %d rows\n", reg.taObj().liveRowCount(),
                    reg.taCtrl().liveRowCount(), reg.taTokens().liveRowCount(), reg.taTC().liveRowCount());
        std::printf("open the register (four tables, both views): %.1f ms (%.1f ms of processor time)\n",
                    ms(openNs), ms(openCpuNs));

        for (View* v : {&reg.quCtrlToken(), &reg.quTokenCtrl()}) {
            std::printf("plan of %s:\n", qPrintable(v->objectName()));
            for (const QString& line : reg.sqlViews().queryPlan(v->sql()))
                std::printf("  %s\n", qPrintable(line));
        }

        // quCtrlToken: one forced re-run for each of 200 controllers (the
        // handler runs as the current object and controller move).
        const int runs = 200;
        qint64 worst = 0, total = 0;
        int rows = 0;
        for (int i = 0; i < runs; ++i) {
            reg.dataSource4().suspend();
            reg.taObj().setRecNo(i * 5 % std::max(1, reg.taObj().recordCount()));
            reg.dataSource4().resume();
            t.restart();
            reg.quCtrlToken().refresh();
            const qint64 ns = t.nsecsElapsed();
            total += ns;
            worst = std::max(worst, ns);
            rows += reg.quCtrlToken().recordCount();
        }
        std::printf("quCtrlToken (keys of a controller), one run: mean %.3f ms, worst %.3f ms, %.1f rows\n",
                    ms(total / runs), ms(worst), double(rows) / runs);

        worst = total = 0;
        rows = 0;
        const int keyCount = reg.taTokens().recordCount();
        for (int i = 0; i < runs; ++i) {
            reg.dataSource1().suspend();
            reg.taTokens().setRecNo(static_cast<int>(static_cast<qint64>(i) * 4999 % std::max(1, keyCount)));
            reg.dataSource1().resume();
            t.restart();
            reg.quTokenCtrl().refresh();
            const qint64 ns = t.nsecsElapsed();
            total += ns;
            worst = std::max(worst, ns);
            rows += reg.quTokenCtrl().recordCount();
        }
        std::printf("quTokenCtrl (controllers of a key), one run: mean %.3f ms, worst %.3f ms, %.1f rows\n",
                    ms(total / runs), ms(worst), double(rows) / runs);

        // Moving to another key runs DataSource1DataChange (close, new text, run).
        t.restart();
        for (int i = 0; i < runs; ++i)
            reg.taTokens().setRecNo(static_cast<int>(static_cast<qint64>(i) * 7919 % std::max(1, keyCount)));
        std::printf("move to another key (handler re-runs quTokenCtrl): mean %.3f ms\n",
                    ms(t.nsecsElapsed() / runs));

        // Locate on the access table by both fields: pairs that exist and pairs that do not.
        Table& tc = reg.taTC();
        QVector<QPair<QString, int>> pairs;
        const int tcRows = tc.recordCount();
        for (int i = 0; i < 1000 && tcRows > 0; ++i) {
            tc.setRecNo(static_cast<int>(static_cast<qint64>(i) * 104729 % tcRows));
            pairs.append(
                {tc.asString(QStringLiteral("token_code")), tc.asInteger(QStringLiteral("ser_num"))});
        }
        int found = 0;
        t.restart();
        for (const auto& p : pairs)
            found += tc.locate(QStringLiteral("token_code;ser_num"), {p.first, p.second}) ? 1 : 0;
        const qint64 hitNs = t.nsecsElapsed();
        t.restart();
        for (const auto& p : pairs)
            found += tc.locate(QStringLiteral("token_code;ser_num"), {p.first, -p.second}) ? 1 : 0;
        const qint64 missNs = t.nsecsElapsed();
        const int n = std::max<int>(1, static_cast<int>(pairs.size()));
        std::printf("locate on tc by token_code;ser_num: found %.4f ms, not found %.4f ms (%d of %d found)\n",
                    ms(hitNs / n), ms(missNs / n), found, static_cast<int>(pairs.size()));

        std::printf("memory (RSS): %.1f MiB before opening, %.1f MiB open, %.1f MiB at the end\n",
                    rssBefore / 1024.0, rssOpen / 1024.0, rssKiB() / 1024.0);
        reg.close();

        {
            // Where opening spends its time: the codec alone, then each table.
            QElapsedTimer r;
            r.start();
            quint64 n = 0;
            DbfFile::open(dir + QStringLiteral("tc.dbf"))->readAll([&](quint32, QVector<QVariant>&&) {
                ++n;
            });
            std::printf("read tc.dbf with the codec alone: %.1f ms (%llu rows)\n", ms(r.nsecsElapsed()),
                        static_cast<unsigned long long>(n));
            for (const char* name : {"obj.dbf", "ctrl.dbf", "tokens.dbf", "tc.dbf"}) {
                Table table;
                table.setFileName(dir + QLatin1String(name));
                table.setIndexedFields(
                    {QStringLiteral("token_code"), QStringLiteral("ser_num"), QStringLiteral("obj_num")});
                r.restart();
                table.open();
                std::printf("open %s as a table with its indexes: %.1f ms\n", name, ms(r.nsecsElapsed()));
            }
        }
    } catch (const VarekError& e) {
        std::fprintf(stderr, "%s\n", e.what());
        return 1;
    }
    return 0;
}
