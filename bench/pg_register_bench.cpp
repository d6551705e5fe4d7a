// Prints how the register performs on a PostgreSQL server at the scale of
// a large installation (100,000 keys, 1,000,000 access rows by default):
// the time to open it, and the time until a change saved at one
// workstation is seen at another, beside their goals.
// Usage: varek_pg_register_bench CONNINFO [keys [access]]
// CONNINFO names an empty database (its tables are made), e.g. of a
// throwaway cluster: initdb -D /tmp/c; pg_ctl -D /tmp/c -o "-k /tmp" start;
// createdb -h /tmp bench; varek_pg_register_bench postgresql:///bench?host=/tmp

#include "core/errors.h"
#include "pg/connection.h"
#include "pg/schema.h"
#include "register/fields.h"
#include "register/table.h"
#include "register/varek_register.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QThread>

#include <cstdio>
#include <ctime>

using namespace varek;

namespace {

QString codeOf(int i) {
    return QStringLiteral("01%1").arg(i, 14, 16, QLatin1Char('0')).toUpper();
}

// Lays objects, controllers, keys and access rows with COPY.
void lay(PgConnection& c, int keys, int access) {
    const int controllers = 2000, objects = 200;
    QByteArray obj, ctrl, tokens, tc;
    for (int o = 1; o <= objects; ++o)
        obj += QStringLiteral("%1\tОбъект %1\tул. Длинная, %1\t\\N\n").arg(o).toUtf8();
    for (int s = 1; s <= controllers; ++s)
        ctrl += QStringLiteral("%1\tДверь %2\t%2\tv2\t\\N\t5\n").arg((s - 1) % objects + 1).arg(s).toUtf8();
    for (int k = 0; k < keys; ++k)
        tokens += QStringLiteral("%1\t%2.%3\tВладелец ключа %4\t2024-05-17\t1\n")
                      .arg(codeOf(k))
                      .arg(k % 256, 3, 10, QLatin1Char('0'))
                      .arg(k % 65536, 5, 10, QLatin1Char('0'))
                      .arg(k)
                      .toUtf8();
    const int per = keys > 0 ? (access + keys - 1) / keys : 0;
    int laid = 0;
    for (int k = 0; k < keys && laid < access; ++k)
        for (int j = 0; j < per && laid < access; ++j, ++laid)
            tc +=
                (codeOf(k) + u'\t' + QString::number((k + j * (controllers / per)) % controllers + 1) + u'\n')
                    .toUtf8();
    c.copyIn(QStringLiteral("COPY obj (obj_num, obj_name, addr, notes) FROM STDIN"), obj);
    c.copyIn(QStringLiteral("COPY ctrl (obj_num, ctrl_name, ser_num, hard, notes, open_time) FROM STDIN"),
             ctrl);
    c.copyIn(QStringLiteral("COPY tokens (token_code, token_card, user_name, give_date, status) FROM STDIN"),
             tokens);
    c.copyIn(QStringLiteral("COPY tc (token_code, ser_num) FROM STDIN"), tc);
    c.exec(QStringLiteral("ANALYZE"));
}

// Milliseconds until seen() holds at the other register, running its event loop.
double untilSeen(const std::function<bool()>& seen) {
    QElapsedTimer t;
    t.start();
    while (!seen()) {
        if (t.elapsed() > 30000) return -1;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
    }
    return t.nsecsElapsed() / 1.0e6;
}

qint64 cpuNs() {
    timespec ts{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
    return static_cast<qint64>(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

void line(const char* what, double value, const char* goal) {
    std::printf("%-52s %10.1f ms   goal %s\n", what, value, goal);
}

} // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments();
    if (args.size() < 2) {
        std::fprintf(stderr, "usage: %s CONNINFO [keys [access]]\n", argv[0]);
        return 2;
    }
    const int keys = args.size() > 2 ? args[2].toInt() : 100000;
    const int access = args.size() > 3 ? args[3].toInt() : 1000000;
    try {
        const QString url = args[1];
        {
            PgConnection c(url);
            c.connect();
            initPgSchema(c);
            QElapsedTimer t;
            t.start();
            lay(c, keys, access);
            std::printf("laid %d keys and %d access rows with COPY in %.0f ms\n", keys, access,
                        t.nsecsElapsed() / 1.0e6);
        }
        VarekRegister a, b;
        QElapsedTimer t;
        t.start();
        const qint64 cpu0 = cpuNs();
        a.openDatabase(url);
        line("open the register from PostgreSQL", t.nsecsElapsed() / 1.0e6, "<= 2000 ms");
        line("  of which this process's processor time", (cpuNs() - cpu0) / 1.0e6,
             "(the server's work apart)");
        b.openDatabase(url);

        // A key renamed at A, seen at B (its keys table read anew).
        b.taTokens().first();
        DurableUnit::run(a, [&] {
            a.taTokens().first();
            a.taTokens().edit();
            a.taTokens().setFieldValue(field::userName, QStringLiteral("Новое имя"));
            a.taTokens().post();
        });
        line("key row saved at one register, seen at another",
             untilSeen([&] { return b.taTokens().asString(field::userName) == QStringLiteral("Новое имя"); }),
             "<= 1000 ms");

        // A right granted at A, seen at B (the access table read anew).
        const int before = b.taTC().liveRowCount();
        DurableUnit::run(a, [&] {
            a.taTC().append();
            a.taTC().setFieldValue(field::tokenCode, codeOf(0));
            a.taTC().setFieldValue(field::serNum, 1999);
            a.taTC().post();
        });
        line("access row saved at one register, seen at another",
             untilSeen([&] { return b.taTC().liveRowCount() == before + 1; }), "<= 1000 ms");

        // An object added at A, seen at B.
        DurableUnit::run(a, [&] {
            const qint64 n = *a.nextNumber(a.taObj(), field::objNum);
            a.taObj().append();
            a.taObj().setFieldValue(field::objNum, n);
            a.taObj().post();
        });
        line("object added at one register, seen at another",
             untilSeen([&] { return b.taObj().liveRowCount() == a.taObj().liveRowCount(); }), "<= 1000 ms");
    } catch (const VarekError& e) {
        std::fprintf(stderr, "%s\n", e.message().toLocal8Bit().constData());
        return 1;
    }
    return 0;
}
