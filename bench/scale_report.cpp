// One report of how the register performs at scale, each figure beside its
// goal, measured in one run on registers made by varek_make_large_register:
//   open time and peak memory of opening the register in the library (a
//   child process each, its max RSS against the size of the four files), at
//   1M access rows and, given a second register, at 10M, with their ratio
//   per access row; the window's start and its peak memory; the codec's
//   decode and varek-dbf --csv against the mapped floor; the two views on the
//   register's SQL engine against native SQLite running the same texts over
//   the same rows with indexes; one image build; the delete of an object
//   with its access rows in one unit of work.
//
// Usage: varek_scale_report DIR [DIR10] [--runs N]
// The other benchmark programs and varek are taken from beside this one.
#include "bench/child_process.h"
#include "bench/window_start.h"
#include "core/errors.h"
#include "register/data_link.h"
#include "register/sql_views.h"
#include "register/table.h"
#include "register/varek_register.h"
#include "register/view.h"

#include <QCoreApplication>
#include <QDate>
#include <QDir>
#include <QFileInfo>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>

#include <sqlite3.h>

#include <algorithm>
#include <cstdio>
#include <ctime>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

using namespace varek;

namespace {

const char* const kTables[] = {"obj.dbf", "ctrl.dbf", "tokens.dbf", "tc.dbf"};

double nowMs() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return ts.tv_sec * 1000.0 + ts.tv_nsec / 1e6;
}

double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v.empty() ? 0 : v[v.size() / 2];
}

double filesMiB(const QString& dir) {
    qint64 n = 0;
    for (const char* t : kTables)
        n += QFileInfo(dir + QLatin1String(t)).size();
    return n / 1048576.0;
}

QString binPath(const char* name) {
    return QCoreApplication::applicationDirPath() + QLatin1Char('/') + QLatin1String(name);
}

// ---- opening in a child: time, and its peak memory ----

struct Open {
    double ms = 0;
    double maxRssMiB = 0;
    double baseMiB = 0; // RSS of the child before it opened anything
    int tcRows = 0;
};

long rssKiB() {
    FILE* f = std::fopen("/proc/self/statm", "r");
    long pages = 0, resident = 0;
    if (f) {
        if (std::fscanf(f, "%ld %ld", &pages, &resident) != 2) resident = 0;
        std::fclose(f);
    }
    return resident * (sysconf(_SC_PAGESIZE) / 1024);
}

int openChild(const QString& dir) {
    const long before = rssKiB();
    VarekRegister reg;
    const double t = nowMs();
    reg.open(dir);
    const double ms = nowMs() - t;
    std::printf("%.3f %ld %d\n", ms, before, reg.taTC().liveRowCount());
    return 0;
}

Open measureOpen(const QString& dir, int runs) {
    std::vector<double> ms, rss, base;
    Open o;
    for (int r = 0; r < runs; ++r) {
        const ChildRun run = runChild(QFile::encodeName(QCoreApplication::applicationFilePath()),
                                      {"--open-child", QFile::encodeName(dir)});
        const QByteArray& text = run.output;
        const QList<QByteArray> parts = text.trimmed().split(' ');
        if (!run.exited || run.exitCode != 0 || parts.size() != 3)
            throw VarekError(QStringLiteral("opening %1 in a child failed").arg(dir));
        ms.push_back(parts[0].toDouble());
        base.push_back(parts[1].toDouble() / 1024.0);
        o.tcRows = parts[2].toInt();
        rss.push_back(run.maxRssKiB / 1024.0);
    }
    o.ms = median(ms);
    o.maxRssMiB = median(rss);
    o.baseMiB = median(base);
    return o;
}

// ---- the views against native SQLite ----

// The same rows as native SQLite tables with the indexes the texts need.
sqlite3* nativeCopy(VarekRegister& reg) {
    sqlite3* db = nullptr;
    sqlite3_open(":memory:", &db);
    sqlite3_exec(db, "PRAGMA journal_mode=OFF; PRAGMA synchronous=OFF; BEGIN", nullptr, nullptr, nullptr);
    const struct {
        const char* name;
        Table* table;
    } tables[] = {
        {"obj", &reg.taObj()}, {"ctrl", &reg.taCtrl()}, {"tokens", &reg.taTokens()}, {"tc", &reg.taTC()}};
    for (const auto& t : tables) {
        const QStringList names = t.table->fieldNames();
        QStringList cols, marks;
        for (int f = 0; f < names.size(); ++f) {
            const char type = t.table->fieldType(f);
            cols << names[f] + (type == 'C' ? QStringLiteral(" TEXT") : QStringLiteral(" INTEGER"));
            marks << QStringLiteral("?");
        }
        sqlite3_exec(
            db, QStringLiteral("CREATE TABLE %1 (%2)").arg(QLatin1String(t.name), cols.join(u',')).toUtf8(),
            nullptr, nullptr, nullptr);
        sqlite3_stmt* ins = nullptr;
        sqlite3_prepare_v2(db,
                           QStringLiteral("INSERT INTO %1 VALUES (%2)")
                               .arg(QLatin1String(t.name), marks.join(u','))
                               .toUtf8(),
                           -1, &ins, nullptr);
        for (int id = 0; id < t.table->storedRowCount(); ++id) {
            if (!t.table->storedRowLive(id)) continue;
            for (int f = 0; f < names.size(); ++f) {
                const QVariant v = t.table->storedValue(id, f);
                if (!v.isValid())
                    sqlite3_bind_null(ins, f + 1);
                else if (v.typeId() == QMetaType::QString)
                    sqlite3_bind_text(ins, f + 1, v.toString().toUtf8().constData(), -1, SQLITE_TRANSIENT);
                else if (v.typeId() == QMetaType::QDate)
                    sqlite3_bind_int64(ins, f + 1, v.toDate().toJulianDay());
                else
                    sqlite3_bind_int64(ins, f + 1, v.toLongLong());
            }
            sqlite3_step(ins);
            sqlite3_reset(ins);
        }
        sqlite3_finalize(ins);
    }
    sqlite3_exec(db,
                 "CREATE INDEX tc_ser ON tc(ser_num); CREATE INDEX tc_code ON tc(token_code);"
                 "CREATE INDEX tokens_code ON tokens(token_code); CREATE INDEX ctrl_ser ON ctrl(ser_num);"
                 "CREATE INDEX obj_num ON obj(obj_num); COMMIT; ANALYZE",
                 nullptr, nullptr, nullptr);
    return db;
}

// Runs a text natively, reading every value of every row as the views do.
int runNative(sqlite3* db, const QString& sql) {
    sqlite3_stmt* st = nullptr;
    sqlite3_prepare_v2(db, sql.toUtf8().constData(), -1, &st, nullptr);
    int rows = 0;
    QVector<QVariant> row;
    while (sqlite3_step(st) == SQLITE_ROW) {
        const int n = sqlite3_column_count(st);
        row.resize(n);
        for (int c = 0; c < n; ++c) {
            switch (sqlite3_column_type(st, c)) {
            case SQLITE_INTEGER:
                row[c] = QVariant::fromValue<qint64>(sqlite3_column_int64(st, c));
                break;
            case SQLITE_TEXT:
                row[c] = QString::fromUtf8(reinterpret_cast<const char*>(sqlite3_column_text(st, c)),
                                           sqlite3_column_bytes(st, c));
                break;
            default:
                row[c] = QVariant();
            }
        }
        ++rows;
    }
    sqlite3_finalize(st);
    return rows;
}

struct ViewFigures {
    double oursMs = 0;
    double nativeMs = 0;
    int rows = 0;
};

ViewFigures compareView(VarekRegister& reg, sqlite3* db, const QStringList& texts) {
    std::vector<double> ours, native;
    ViewFigures v;
    for (const QString& sql : texts) {
        double t = nowMs();
        v.rows += int(reg.sqlViews().run(sql).rows.size());
        ours.push_back(nowMs() - t);
        t = nowMs();
        runNative(db, sql);
        native.push_back(nowMs() - t);
    }
    v.oursMs = median(ours);
    v.nativeMs = median(native);
    v.rows /= std::max<int>(1, int(texts.size()));
    return v;
}

// The texts the two views run as the operator moves through controllers and keys.
QStringList viewTexts(VarekRegister& reg, bool ofController, int count) {
    QStringList texts;
    Table& t = ofController ? reg.taCtrl() : reg.taTokens();
    View& view = ofController ? reg.quCtrlToken() : reg.quTokenCtrl();
    const int n = t.recordCount();
    for (int i = 0; i < count && n > 0; ++i) {
        t.setRecNo(int(qint64(i) * 7919 % n));
        texts << view.sql();
    }
    return texts;
}

// ---- the other benchmark programs ----

QString runProgram(const QString& program, const QStringList& args) {
    QProcess p;
    p.start(program, args);
    if (!p.waitForFinished(600000) || p.exitStatus() != QProcess::NormalExit || p.exitCode() != 0)
        throw VarekError(
            QStringLiteral("%1 failed: %2").arg(program, QString::fromLocal8Bit(p.readAllStandardError())));
    return QString::fromUtf8(p.readAllStandardOutput());
}

double firstNumberAfter(const QString& text, const QString& pattern) {
    const QRegularExpressionMatch m = QRegularExpression(pattern).match(text);
    return m.hasMatch() ? m.captured(1).toDouble() : -1;
}

void line(const char* what, const QString& figure, const char* goal) {
    std::printf("  %-52s %-34s %s\n", what, qPrintable(figure), goal);
}

} // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    QStringList args = app.arguments().mid(1);
    if (args.size() == 2 && args[0] == QLatin1String("--open-child")) {
        try {
            return openChild(QDir(args[1]).absolutePath() + QLatin1Char('/'));
        } catch (const VarekError& e) {
            std::fprintf(stderr, "%s\n", qPrintable(e.message()));
            return 1;
        }
    }
    int runs = 5;
    if (const int at = int(args.indexOf(QStringLiteral("--runs"))); at >= 0 && at + 1 < args.size()) {
        runs = std::max(1, args[at + 1].toInt());
        args.remove(at, 2);
    }
    if (args.isEmpty() || args.size() > 2) {
        std::fprintf(stderr, "usage: %s DIR [DIR10] [--runs N]\n", argv[0]);
        return 2;
    }
    const QString dir = QDir(args[0]).absolutePath() + QLatin1Char('/');
    try {
        std::printf("scale report over %s (%.1f MiB in the four files), medians of %d runs\n",
                    qPrintable(dir), filesMiB(dir), runs);

        const Open open = measureOpen(dir, runs);
        const double files = filesMiB(dir);
        line("open the register (four tables, both views)", QStringLiteral("%1 ms").arg(open.ms, 0, 'f', 1),
             "");
        line("peak memory of opening, max RSS / files",
             QStringLiteral("%1 MiB / %2 MiB = %3x")
                 .arg(open.maxRssMiB, 0, 'f', 1)
                 .arg(files, 0, 'f', 1)
                 .arg(open.maxRssMiB / files, 0, 'f', 2),
             "goal <= 1.5x");
        line("  the same without the process's own start",
             QStringLiteral("%1 MiB = %2x")
                 .arg(open.maxRssMiB - open.baseMiB, 0, 'f', 1)
                 .arg((open.maxRssMiB - open.baseMiB) / files, 0, 'f', 2),
             "");

        const WindowStart window = measureWindowStart(binPath("varek"), QDir(dir).absolutePath(), runs);
        if (window.ok) {
            line("window start, exec to the first paint of rows",
                 QStringLiteral("%1 ms (%2 ms cpu)")
                     .arg(window.wallMs, 0, 'f', 1)
                     .arg(window.cpuMs, 0, 'f', 1),
                 "goal <= 400 ms");
            line("peak memory of the window, max RSS / files",
                 QStringLiteral("%1 MiB = %2x")
                     .arg(window.maxRssKiB / 1024.0, 0, 'f', 1)
                     .arg(window.maxRssKiB / 1024.0 / files, 0, 'f', 2),
                 "goal <= 1.5x");
            // The same window over a register of a few rows: what the widgets cost by themselves.
            QTemporaryDir tiny;
            runProgram(binPath("varek_make_large_register"),
                       {tiny.path(), QStringLiteral("3"), QStringLiteral("3"), QStringLiteral("3"),
                        QStringLiteral("3")});
            const WindowStart small = measureWindowStart(binPath("varek"), tiny.path(), runs);
            if (small.ok) {
                line("  the window over a register of a few rows",
                     QStringLiteral("%1 ms, max RSS %2 MiB")
                         .arg(small.wallMs, 0, 'f', 1)
                         .arg(small.maxRssKiB / 1024.0, 0, 'f', 1),
                     "");
                // What the register's rows add to the window, apart from the
                // widgets and the libraries they map.
                line("  the window's peak less that window's, / files",
                     QStringLiteral("%1 MiB = %2x")
                         .arg((window.maxRssKiB - small.maxRssKiB) / 1024.0, 0, 'f', 1)
                         .arg((window.maxRssKiB - small.maxRssKiB) / 1024.0 / files, 0, 'f', 2),
                     "");
            }
            const WindowStart settled =
                measureWindowStart(binPath("varek"), QDir(dir).absolutePath(), runs, true);
            if (settled.ok)
                line("  the same three seconds later, its idle work done",
                     QStringLiteral("%1 MiB = %2x")
                         .arg(settled.maxRssKiB / 1024.0, 0, 'f', 1)
                         .arg(settled.maxRssKiB / 1024.0 / files, 0, 'f', 2),
                     "");
        } else {
            line("window start", window.error, "goal <= 400 ms");
        }

        if (args.size() == 2) {
            const QString dir10 = QDir(args[1]).absolutePath() + QLatin1Char('/');
            const Open big = measureOpen(dir10, std::min(runs, 3));
            const double files10 = filesMiB(dir10);
            line("open at the second scale",
                 QStringLiteral("%1 ms, %2 access rows").arg(big.ms, 0, 'f', 1).arg(big.tcRows), "");
            line("  peak memory, max RSS / files",
                 QStringLiteral("%1 MiB / %2 MiB = %3x")
                     .arg(big.maxRssMiB, 0, 'f', 1)
                     .arg(files10, 0, 'f', 1)
                     .arg(big.maxRssMiB / files10, 0, 'f', 2),
                 "goal <= 1.5x");
            const double rowsRatio = double(big.tcRows) / std::max(1, open.tcRows);
            line("  open time per access row, second / first",
                 QStringLiteral("%1x").arg((big.ms / big.tcRows) / (open.ms / std::max(1, open.tcRows)), 0,
                                           'f', 2),
                 "linear: about 1x");
            line("  memory per access row, second / first",
                 QStringLiteral("%1x").arg(((big.maxRssMiB - big.baseMiB) / big.tcRows) /
                                               ((open.maxRssMiB - open.baseMiB) / std::max(1, open.tcRows)),
                                           0, 'f', 2),
                 "linear: about 1x");
            Q_UNUSED(rowsRatio);
        }

        const QString decode = runProgram(binPath("varek_decode_floor_bench"),
                                          {dir, QStringLiteral("--runs"), QString::number(runs)});
        for (const char* table : {"tc.dbf", "tokens.dbf"}) {
            const QString part = decode.mid(decode.indexOf(QLatin1String(table)));
            const double readAll =
                firstNumberAfter(part, QStringLiteral("DbfFile::readAll +cpu +[0-9.]+ ms \\( *([0-9.]+)x"));
            const double csv =
                firstNumberAfter(part, QStringLiteral("varek-dbf --csv +cpu +[0-9.]+ ms \\( *([0-9.]+)x"));
            line(qPrintable(
                     QStringLiteral("decode of %1 vs the mapped floor (cpu)").arg(QLatin1String(table))),
                 QStringLiteral("%1x").arg(readAll, 0, 'f', 2), "goal <= 1.5x");
            line(
                qPrintable(
                    QStringLiteral("varek-dbf --csv %1 vs the mapped floor (cpu)").arg(QLatin1String(table))),
                QStringLiteral("%1x").arg(csv, 0, 'f', 2), "goal <= 2x");
        }

        {
            VarekRegister reg;
            reg.open(dir);
            // From here on one processor: the two sides of a comparison must
            // run on the same one.
            stayOnThisProcessor();
            sqlite3* db = nativeCopy(reg);
            const ViewFigures ct = compareView(reg, db, viewTexts(reg, true, 200));
            const ViewFigures tc = compareView(reg, db, viewTexts(reg, false, 200));
            sqlite3_close(db);
            line("quCtrlToken (keys of a controller) vs native SQLite",
                 QStringLiteral("%1 / %2 ms = %3x (%4 rows)")
                     .arg(ct.oursMs, 0, 'f', 3)
                     .arg(ct.nativeMs, 0, 'f', 3)
                     .arg(ct.oursMs / ct.nativeMs, 0, 'f', 2)
                     .arg(ct.rows),
                 "goal <= 0.5x");
            line("quTokenCtrl (controllers of a key) vs native SQLite",
                 QStringLiteral("%1 / %2 ms = %3x (%4 rows)")
                     .arg(tc.oursMs, 0, 'f', 3)
                     .arg(tc.nativeMs, 0, 'f', 3)
                     .arg(tc.oursMs / tc.nativeMs, 0, 'f', 2)
                     .arg(tc.rows),
                 "goal <= 0.5x");
        }

        const QString image = runProgram(binPath("image_bench"), {});
        line("one controller image with 895 keys",
             QStringLiteral("%1 ms").arg(
                 firstNumberAfter(image, QStringLiteral("([0-9.]+) us per build")) / 1000.0, 0, 'f', 4),
             "goal <= 0.1 ms");

        const QString del = runProgram(binPath("varek_delete_bench"), {dir});
        line("delete of an object with its access rows, one unit",
             QStringLiteral("%1 ms (%2 access rows)")
                 .arg(firstNumberAfter(del,
                                       QStringLiteral("one unit of work, a sync per file: +([0-9.]+) ms")),
                      0, 'f', 1)
                 .arg(firstNumberAfter(del, QStringLiteral("controllers, ([0-9]+) access rows"))),
             "goal <= 50 ms for 900 rows");
    } catch (const VarekError& e) {
        std::fprintf(stderr, "%s\n", qPrintable(e.message()));
        return 1;
    }
    return 0;
}
