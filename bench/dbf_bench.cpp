// Prints how fast the codec writes and reads a register-sized access table
// (1,000,000 rows of tc.dbf) and keys table (100,000 rows of tokens.dbf).
// Usage: dbf_bench [DIR] (a temporary directory by default).
#include "dbase/dbf.h"
#include "register/register_schema.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QTemporaryDir>
#include <cstdio>
#include <ctime>

using namespace varek;

namespace {

QString code(quint32 i) {
    return QStringLiteral("01%1").arg(i, 14, 16, QLatin1Char('0')).toUpper();
}

void bench(const QString& path, const TableSchema& schema, quint32 rows,
           const std::function<QVector<QVariant>(quint32)>& make) {
    DbfFile::create(path, schema.fields, kRegisterLanguageDriver);
    QElapsedTimer t;
    t.start();
    {
        auto file = DbfFile::open(path);
        const quint32 batch = 100000;
        for (quint32 i = 0; i < rows; i += batch) {
            QVector<QVector<QVariant>> chunk;
            for (quint32 j = i; j < std::min(rows, i + batch); ++j)
                chunk.append(make(j));
            file->appendRecords(chunk);
        }
    }
    const qint64 writeMs = t.elapsed();
    for (int run = 0; run < 3; ++run) {
        std::vector<QVector<QVariant>> kept;
        kept.reserve(rows);
        t.restart();
        const std::clock_t cpu = std::clock();
        auto file = DbfFile::open(path);
        const qint64 openMs = t.elapsed();
        file->readAll([&](quint32, QVector<QVariant>&& v) { kept.push_back(std::move(v)); });
        const double cpuMs = double(std::clock() - cpu) * 1000.0 / CLOCKS_PER_SEC;
        std::printf("%-10s %8u rows: open %lld ms, readAll into memory %lld ms (cpu %.0f ms)%s\n",
                    qPrintable(schema.fileName), rows, openMs, t.elapsed() - openMs, cpuMs,
                    run == 0 ? qPrintable(QStringLiteral(" (written in %1 ms)").arg(writeMs)) : "");
    }
    {
        // The codec alone: every row decoded and dropped, memory reused.
        t.restart();
        const std::clock_t cpu = std::clock();
        auto file = DbfFile::open(path);
        quint64 seen = 0;
        file->readAll([&](quint32, QVector<QVariant>&& v) { seen += quint64(v.size()); });
        std::printf("%-10s %8u rows: open and decode only %lld ms (cpu %.0f ms)\n",
                    qPrintable(schema.fileName), rows, t.elapsed(),
                    double(std::clock() - cpu) * 1000.0 / CLOCKS_PER_SEC);
    }
    QElapsedTimer one;
    auto file = DbfFile::open(path);
    one.start();
    const int posts = 20;
    for (int i = 0; i < posts; ++i)
        file->writeRecord(quint32(i), make(quint32(i)));
    std::printf("%-10s one durable post: %.2f ms\n", qPrintable(schema.fileName),
                double(one.nsecsElapsed()) / 1e6 / posts);
}

} // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    QTemporaryDir temp;
    const QString dir = argc > 1 ? QString::fromLocal8Bit(argv[1]) : temp.path();
    QDir().mkpath(dir);
    QFile::remove(QDir(dir).filePath("tc.dbf"));
    QFile::remove(QDir(dir).filePath("tokens.dbf"));
    bench(QDir(dir).filePath("tc.dbf"), *registerTable("tc.dbf"), 1000000, [](quint32 i) {
        return QVector<QVariant>{code(i / 10), qint64(i % 10000 + 1)};
    });
    bench(QDir(dir).filePath("tokens.dbf"), *registerTable("tokens.dbf"), 100000, [](quint32 i) {
        return QVector<QVariant>{code(i),
                                 QStringLiteral("%1.%2")
                                     .arg(i % 256, 3, 10, QLatin1Char('0'))
                                     .arg(i % 65536, 5, 10, QLatin1Char('0')),
                                 QStringLiteral("Пользователь номер %1").arg(i),
                                 QDate(2024, 1, 1).addDays(i % 300), qint64(i % 2)};
    });
    return 0;
}
