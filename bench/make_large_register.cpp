// Lays a large register in a directory: by default 1,000 objects, 10,000
// controllers, 100,000 keys and 1,000,000 access rows (ten controllers per
// key). Usage: varek_make_large_register DIR [objects controllers keys access]

#include "core/errors.h"
#include "dbase/dbf.h"
#include "keys/token_code.h"
#include "register/register_schema.h"

#include <QCoreApplication>
#include <QDate>
#include <QDir>
#include <QElapsedTimer>

#include <cstdio>

using namespace varek;

namespace {

// Appends rows in batches, each batch one write and one sync.
class BatchWriter {
public:
    explicit BatchWriter(const QString& path) : m_file(DbfFile::open(path)) {}
    ~BatchWriter() { flush(); }
    void add(QVector<QVariant> row) {
        m_rows.push_back(std::move(row));
        if (m_rows.size() >= 50000) flush();
    }
    void flush() {
        if (!m_rows.isEmpty()) m_file->appendRecords(m_rows);
        m_rows.clear();
    }

private:
    std::unique_ptr<DbfFile> m_file;
    QVector<QVector<QVariant>> m_rows;
};

// Key k's code: family 01, serial number k, and its real check byte.
QString tokenCode(int k) {
    const QString body = QStringLiteral("01%1").arg(k, 12, 16, QLatin1Char('0')).toUpper();
    return body + QStringLiteral("%1").arg(DallasCrc8(body), 2, 16, QLatin1Char('0')).toUpper();
}

} // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments();
    if (args.size() < 2) {
        std::fprintf(stderr, "usage: %s DIR [objects controllers keys access]\n", argv[0]);
        return 2;
    }
    const QString dir = QDir(args[1]).absolutePath() + QLatin1Char('/');
    const int objects = args.size() > 2 ? args[2].toInt() : 1000;
    const int controllers = args.size() > 3 ? args[3].toInt() : 10000;
    const int keys = args.size() > 4 ? args[4].toInt() : 100000;
    const int access = args.size() > 5 ? args[5].toInt() : 1000000;
    if (objects < 1 || controllers < 1 || keys < 1 || access < 0) {
        std::fprintf(stderr, "counts must be positive\n");
        return 2;
    }
    try {
        QElapsedTimer timer;
        timer.start();
        createRegisterFiles(dir);
        {
            BatchWriter w(dir + QStringLiteral("obj.dbf"));
            for (int i = 1; i <= objects; ++i)
                w.add({i, QStringLiteral("Объект %1").arg(i), QStringLiteral("ул. Садовая, д. %1").arg(i),
                       QString()});
        }
        {
            // File order is not obj_num order: controller i belongs to object (i-1) mod objects + 1.
            BatchWriter w(dir + QStringLiteral("ctrl.dbf"));
            for (int i = 1; i <= controllers; ++i)
                w.add({(i - 1) % objects + 1, QStringLiteral("Дверь %1").arg(i), i, QStringLiteral("v2.1"),
                       QString(), 5});
        }
        {
            BatchWriter w(dir + QStringLiteral("tokens.dbf"));
            const QDate base(2020, 1, 1);
            for (int k = 1; k <= keys; ++k)
                w.add({tokenCode(k),
                       QStringLiteral("%1.%2")
                           .arg(k / 65536 % 1000, 3, 10, QLatin1Char('0'))
                           .arg(k % 65536, 5, 10, QLatin1Char('0')),
                       QStringLiteral("Владелец ключа %1").arg(k), base.addDays(k % 1500),
                       k % 50 == 0 ? 0 : 1});
        }
        {
            // Access row a: key a / per + 1, controllers spread over all of them.
            BatchWriter w(dir + QStringLiteral("tc.dbf"));
            const int per = std::max(1, access / keys);
            for (int a = 0; a < access; ++a) {
                const int k = a / per % keys + 1;
                const int j = a % per;
                const int ser = static_cast<int>((static_cast<qint64>(k) * 7919 + j * 997) % controllers) + 1;
                w.add({tokenCode(k), ser});
            }
        }
        std::printf(
            "register in %s: %d objects, %d controllers, %d keys, %d access rows, written in %.1f s\n",
            qPrintable(dir), objects, controllers, keys, access, timer.elapsed() / 1000.0);
    } catch (const VarekError& e) {
        std::fprintf(stderr, "%s\n", e.what());
        return 1;
    }
    return 0;
}
