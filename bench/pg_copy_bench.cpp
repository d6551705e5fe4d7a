// The time varek-register takes to copy a large register (1,000 objects,
// 10,000 controllers, 100,000 keys, 1,000,000 access rows) from a data
// directory into a database and back, beside its goal.
// Usage: varek_pg_copy_bench DATABASE_URL
// The database must be empty or hold the register's empty tables; a
// throwaway server will do, e.g. (as a user other than root):
//   initdb -D /tmp/b -A trust && pg_ctl -D /tmp/b -o "-k /tmp -c listen_addresses=''" start
//   createdb -h /tmp bench && varek_pg_copy_bench 'postgresql:///bench?host=/tmp'

#include "pg/connection.h"
#include "pg/schema.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QProcess>
#include <QTemporaryDir>

#include <cstdio>

using namespace varek;

namespace {

// Each direction of the copy, for the whole register.
constexpr double kGoalSeconds = 30.0;

double run(const QString& program, const QStringList& args) {
    QElapsedTimer timer;
    timer.start();
    QProcess p;
    p.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    p.start(QCoreApplication::applicationDirPath() + QLatin1Char('/') + program, args);
    if (!p.waitForFinished(-1) || p.exitStatus() != QProcess::NormalExit || p.exitCode() != 0) {
        std::fprintf(stderr, "%s failed\n", program.toUtf8().constData());
        std::exit(1);
    }
    return double(timer.nsecsElapsed()) / 1e9;
}

} // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s DATABASE_URL\n", argv[0]);
        return 2;
    }
    const QString url = QString::fromLocal8Bit(argv[1]);
    try {
        PgConnection conn(url);
        conn.connect();
        if (pgSchemaVersion(conn) == 0) initPgSchema(conn);
    } catch (const EPgError& e) {
        std::fprintf(stderr, "%s\n", e.what());
        return 1;
    }
    QTemporaryDir tmp;
    const QString source = tmp.filePath("source");
    const QString back = tmp.filePath("back");
    const double make = run(QStringLiteral("varek_make_large_register"), {source});
    std::printf("large register laid in %.1f s\n", make);
    const double in = run(QStringLiteral("varek-register"), {QStringLiteral("copy"), source, url});
    const double out = run(QStringLiteral("varek-register"), {QStringLiteral("copy"), url, back});
    const double rows = 1000 + 10000 + 100000 + 1000000;
    std::printf("directory -> database: %.1f s (%.0f rows/s), goal %.0f s: %s\n", in, rows / in, kGoalSeconds,
                in <= kGoalSeconds ? "met" : "MISSED");
    std::printf("database -> directory: %.1f s (%.0f rows/s), goal %.0f s: %s\n", out, rows / out,
                kGoalSeconds, out <= kGoalSeconds ? "met" : "MISSED");
    return 0;
}
