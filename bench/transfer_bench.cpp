// Keys to CSV and back over a copy of a register (for example one made by
// varek_make_large_register): the export of every key, the import's check of
// that file against the same register (every row unchanged), and the check
// and apply of it into a copy without keys (every row a new key, one unit of
// work). Prints each time beside its goal. Usage: varek_transfer_bench DIR

#include "core/errors.h"
#include "register/register_schema.h"
#include "register/table.h"
#include "register/varek_register.h"
#include "transfer/key_transfer.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QTemporaryDir>

#include <cstdio>

using namespace varek;

namespace {

void copyTables(const QString& from, const QString& to, bool keys) {
    for (const char* name : {"obj.dbf", "ctrl.dbf", "tokens.dbf", "tc.dbf"}) {
        const bool keyTable = qstrcmp(name, "tokens.dbf") == 0 || qstrcmp(name, "tc.dbf") == 0;
        if (keyTable && !keys) continue;
        if (!QFile::copy(from + QLatin1String(name), to + QLatin1String(name)))
            throw VarekError(QStringLiteral("cannot copy %1").arg(QLatin1String(name)));
    }
}

double msSince(QElapsedTimer& t) {
    const double ms = double(t.nsecsElapsed()) / 1e6;
    t.restart();
    return ms;
}

} // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s DIR\n", argv[0]);
        return 2;
    }
    const QString source = QDir(QString::fromLocal8Bit(argv[1])).absolutePath() + QLatin1Char('/');
    try {
        QTemporaryDir full, empty;
        const QString fullDir = full.path() + QLatin1Char('/');
        const QString emptyDir = empty.path() + QLatin1Char('/');
        copyTables(source, fullDir, true);
        copyTables(source, emptyDir, false);
        // The key tables of the copy without keys: new and empty.
        {
            QTemporaryDir fresh;
            createRegisterFiles(fresh.path() + QLatin1Char('/'));
            for (const char* name : {"tokens.dbf", "tc.dbf"})
                QFile::copy(fresh.path() + QLatin1Char('/') + QLatin1String(name),
                            emptyDir + QLatin1String(name));
        }

        VarekRegister reg;
        reg.open(fullDir);
        const int keys = reg.taTokens().liveRowCount();
        const int access = reg.taTC().liveRowCount();
        QElapsedTimer t;
        t.start();
        int count = 0;
        const QByteArray csv = exportKeysCsv(reg, {}, &count);
        const double exportMs = msSince(t);
        const ImportPlan same = planImport(reg, csv);
        const double checkSameMs = msSince(t);
        reg.close();

        VarekRegister into;
        into.open(emptyDir);
        t.restart();
        const ImportPlan plan = planImport(into, csv);
        const double checkNewMs = msSince(t);
        const ImportResult result = applyImport(into, plan);
        const double applyMs = msSince(t);

        std::printf("%d keys with %d access rows; CSV %.1f MiB\n", keys, access,
                    double(csv.size()) / 1048576.0);
        std::printf("  export every key:                %9.1f ms   (goal: <= 3000 ms for 100 000 keys)\n",
                    exportMs);
        std::printf("  check against the same register: %9.1f ms   (goal: <= 3000 ms for 100 000 keys), "
                    "unchanged %d, refused %d\n",
                    checkSameMs, same.count(ImportRow::Verdict::Same),
                    same.count(ImportRow::Verdict::Refused));
        std::printf("  check into a register without keys: %6.1f ms\n", checkNewMs);
        std::printf(
            "  apply as one unit of work:       %9.1f ms   (goal: <= 15000 ms for 100 000 keys), added %d\n",
            applyMs, result.added);
        if (count != keys || result.added != keys)
            std::printf("  (keys written %d, added %d)\n", count, result.added);
    } catch (const VarekError& e) {
        std::fprintf(stderr, "%s\n", e.message().toLocal8Bit().constData());
        return 1;
    }
    return 0;
}
