// varek-keys export DATA_DIR FILE.csv: writes every key of the register in
// DATA_DIR, with its controllers, into a CSV file.
// varek-keys import DATA_DIR FILE.csv [--dry-run]: checks a keys file against
// the register, prints what it would do row by row, and applies it as one
// unit of work (all rows or none); --dry-run stops after the check.
// Exit status: 0 done or nothing to do, 1 refused rows or a failure, 2 a wrong
// command line. The register is refused while the program holds it.
#include "core/errors.h"
#include "register/dir_lock.h"
#include "register/varek_register.h"
#include "transfer/key_transfer.h"

#include <QCoreApplication>
#include <QDir>
#include <QStringList>
#include <cstdio>

using namespace varek;

namespace {

void out(const QString& text) {
    std::fputs(text.toUtf8().constData(), stdout);
    std::fputc('\n', stdout);
}

void err(const QString& text) {
    std::fputs(("varek-keys: " + text).toUtf8().constData(), stderr);
    std::fputc('\n', stderr);
}

int usage() {
    err(QStringLiteral("неверная командная строка.\n"
                       "Вызов: varek-keys export КАТАЛОГ_ДАННЫХ ФАЙЛ.csv\n"
                       "       varek-keys import КАТАЛОГ_ДАННЫХ ФАЙЛ.csv [--dry-run]"));
    return 2;
}

QString verdictText(const ImportRow& row) {
    const QString who = row.holder.isEmpty() ? QString() : QStringLiteral(" (%1)").arg(row.holder);
    switch (row.verdict) {
    case ImportRow::Verdict::Add:
        return QStringLiteral("добавить %1%2").arg(row.code, who);
    case ImportRow::Verdict::Change:
        return QStringLiteral("изменить %1%2: %3").arg(row.code, who, row.reason);
    case ImportRow::Verdict::Same:
        return QStringLiteral("без изменений %1%2").arg(row.code, who);
    case ImportRow::Verdict::Refused:
        return QStringLiteral("отклонена: %1").arg(row.reason);
    }
    return QString();
}

void printPlan(const ImportPlan& plan) {
    if (!plan.ignoredColumns.isEmpty())
        out(QStringLiteral("Столбцы не распознаны и не читаются: %1").arg(plan.ignoredColumns.join(u", ")));
    for (const ImportRow& row : plan.rows)
        out(QStringLiteral("строка %1: %2").arg(row.line).arg(verdictText(row)));
    const int same = plan.count(ImportRow::Verdict::Same);
    out(plan.summary() + (same > 0 ? QStringLiteral(", без изменений: %1").arg(same) : QString()));
}

} // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    QStringList args = app.arguments().mid(1);
    const bool dryRun = args.removeAll(QStringLiteral("--dry-run")) > 0;
    if (args.size() != 3 || (args[0] != QLatin1String("export") && args[0] != QLatin1String("import")) ||
        (dryRun && args[0] != QLatin1String("import")))
        return usage();
    for (const QString& a : args)
        if (a.startsWith(u'-')) return usage();
    const bool exporting = args[0] == QLatin1String("export");
    QString dir = args[1];
    if (!dir.endsWith(u'/')) dir += u'/';
    const QString file = args[2];

    try {
        // The running program holds an advisory lock on its data directory.
        {
            DirLock probe;
            try {
                probe.acquire(dir);
            } catch (const VarekError& e) {
                err(e.message() + QStringLiteral(" Закройте программу Varek, работающую с этим каталогом, и "
                                                 "повторите."));
                return 1;
            }
        }
        VarekRegister reg;
        reg.open(dir);
        if (exporting) {
            const int n = exportKeys(reg, file);
            out(QStringLiteral("Выгружено ключей: %1 в файл %2").arg(n).arg(file));
            return 0;
        }
        const ImportPlan plan = planImportFile(reg, file);
        if (!plan.fileError.isEmpty()) {
            err(plan.fileError);
            return 1;
        }
        printPlan(plan);
        if (plan.refused()) {
            err(QStringLiteral("файл не применён: исправьте отклонённые строки и повторите."));
            return 1;
        }
        if (!plan.canApply()) {
            out(QStringLiteral("Изменений нет."));
            return 0;
        }
        if (dryRun) return 0;
        const ImportResult result = applyImport(reg, plan);
        out(QStringLiteral("Применено: добавлено %1, изменено %2.").arg(result.added).arg(result.changed));
        return 0;
    } catch (const VarekError& e) {
        err(e.message());
        return 1;
    }
}
