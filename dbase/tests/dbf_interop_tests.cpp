// Files written by an independent dBASE writer (Debian's python3-dbf) read
// right, and files this codec writes read back identically in an independent
// reader (python3-dbfread).
#include "core/errors.h"
#include "dbase/dbf.h"
#include "dbase/tests/python_support.h"

#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QTemporaryDir>
#include <gtest/gtest.h>

using namespace varek;
using namespace varek::test;

namespace {

std::vector<QVector<QVariant>> readValues(const QString& path) {
    std::vector<QVector<QVariant>> rows;
    DbfFile::open(path)->readAll([&](quint32, QVector<QVariant>&& v) { rows.push_back(std::move(v)); });
    return rows;
}

} // namespace

TEST(DbfInterop, ReadsTablesWrittenByPythonDbf) {
    if (!hasModule("dbf")) GTEST_SKIP() << "python3-dbf is not installed";
    const QString script = QStringLiteral(R"(
import dbf, datetime, sys
path, kind, cp = sys.argv[1:4]
if kind == 'vfp':
    t = dbf.Table(path, 'name C(30); num I; day D', codepage=cp, dbf_type='vfp')
else:
    t = dbf.Table(path, 'name C(30); num N(11,0); price N(9,2); day D; ok L; ratio F(12,3)', codepage=cp, dbf_type=kind)
t.open(dbf.READ_WRITE)
if kind == 'vfp':
    t.append(('Пётр Щукин', -70000, datetime.date(2001, 1, 2)))
    t.append(('Удалённая', 5, None))
    t.append(('ЁЖ ёж', 2147483646, datetime.date(1999, 12, 31)))
else:
    t.append(('Иванов Иван Ёлкин', -2147483648, 12.5, datetime.date(2024, 2, 29), True, 1.25))
    t.append(('Удалённая', 1, 1.0, None, False, None))
    t.append(('ул. Щорса, 5 "Б"', 2147483647, -0.75, datetime.date(1999, 12, 31), False, -3.5))
    t.append(('', None, None, None, None, None))
dbf.delete(t[1])
t.close()
)");
    struct Case {
        const char* kind;
        const char* cp;
    };
    QTemporaryDir dir;
    for (const Case c :
         {Case{"db3", "cp866"}, Case{"db3", "cp1251"}, Case{"vfp", "cp1251"}, Case{"vfp", "cp866"}}) {
        SCOPED_TRACE(std::string(c.kind) + " " + c.cp);
        const QString path = dir.filePath(QStringLiteral("%1_%2.dbf").arg(c.kind, c.cp));
        runPython(script, {path, c.kind, c.cp});
        auto file = DbfFile::open(path);
        EXPECT_EQ(file->codePageName(), c.cp);
        const auto rows = readValues(path);
        if (QByteArray(c.kind) == "vfp") {
            ASSERT_EQ(rows.size(), 2u);
            EXPECT_EQ(rows[0].mid(0, 3),
                      (QVector<QVariant>{QString("Пётр Щукин"), qint32(-70000), QDate(2001, 1, 2)}));
            EXPECT_EQ(rows[1].mid(0, 3),
                      (QVector<QVariant>{QString("ЁЖ ёж"), qint32(2147483646), QDate(1999, 12, 31)}));
        } else {
            ASSERT_EQ(rows.size(), 3u);
            EXPECT_EQ(rows[0], (QVector<QVariant>{QString("Иванов Иван Ёлкин"), qint64(-2147483648LL), 12.5,
                                                  QDate(2024, 2, 29), true, 1.25}));
            EXPECT_EQ(rows[1], (QVector<QVariant>{QString("ул. Щорса, 5 \"Б\""), qint64(2147483647), -0.75,
                                                  QDate(1999, 12, 31), false, -3.5}));
            EXPECT_EQ(rows[2], (QVector<QVariant>{QVariant(), QVariant(), QVariant(), QVariant(), QVariant(),
                                                  QVariant()}));
        }
        // A change made here reads back in the writer's own module.
        QVector<QVariant> changed = rows[0];
        changed[0] = QString("Изменено здесь");
        file->writeRecord(0, changed);
        file->appendRecord(changed);
        const QByteArray back =
            runPython("import dbf, sys\nt = dbf.Table(sys.argv[1])\nt.open()\n"
                      "print(len(t), t[0].name.strip(), t[len(t) - 1].name.strip(), sep='|')",
                      {path});
        EXPECT_EQ(QString::fromUtf8(back).trimmed(),
                  QStringLiteral("%1|Изменено здесь|Изменено здесь").arg(rows.size() + 2));
    }
}

TEST(DbfInterop, TablesWrittenHereReadBackIdenticallyInDbfread) {
    if (!hasModule("dbfread")) GTEST_SKIP() << "python3-dbfread is not installed";
    const QString script = QStringLiteral(R"(
import dbfread, json, sys, datetime
t = dbfread.DBF(sys.argv[1], char_decode_errors='strict')
def plain(v):
    return v.isoformat() if isinstance(v, datetime.date) else v
print(json.dumps({'encoding': t.encoding, 'fields': [[f.name, f.type, f.length, f.decimal_count] for f in t.fields],
                  'records': [[plain(v) for v in r.values()] for r in t]}, ensure_ascii=False))
)");
    const QVector<DbfField> fields{{"NAME", 'C', 40, 0}, {"NUM", 'N', 11, 0}, {"PRICE", 'N', 10, 2},
                                   {"DAY", 'D', 8, 0},   {"OK", 'L', 1, 0},   {"CODE", 'C', 16, 0}};
    const std::vector<QVector<QVariant>> written{
        {QString("Иванов Иван Ёлкин"), qint64(-2147483648LL), 12.5, QDate(2024, 2, 29), true,
         QString("01A2B3C4D5E6F708")},
        {QString("ООО \"Ромашка\", склад №2"), qint64(0), -0.01, QDate(1900, 1, 1), false, QString("x")},
        {QString("будет удалена"), qint64(1), 1.0, QDate(2000, 1, 1), true, QString("y")},
        {QVariant(), QVariant(), QVariant(), QVariant(), QVariant(), QVariant()},
    };
    QTemporaryDir dir;
    for (quint8 id : {quint8(0x65), quint8(0xC9)}) {
        SCOPED_TRACE(int(id));
        const QString path = dir.filePath(QStringLiteral("ours_%1.dbf").arg(id));
        DbfFile::create(path, fields, id);
        auto file = DbfFile::open(path);
        QVector<QVariant> first = written[0];
        first[0] = QString("сначала другое");
        file->appendRecord(first);
        for (size_t i = 1; i < written.size(); ++i)
            file->appendRecord(written[i]);
        file->writeRecord(0, written[0]);
        file->deleteRecord(2);

        const QJsonObject out = QJsonDocument::fromJson(runPython(script, {path})).object();
        EXPECT_EQ(out["encoding"].toString(), id == 0x65 ? "cp866" : "cp1251");
        const QJsonArray outFields = out["fields"].toArray();
        ASSERT_EQ(outFields.size(), fields.size());
        for (int i = 0; i < fields.size(); ++i) {
            const QJsonArray f = outFields[i].toArray();
            EXPECT_EQ(f[0].toString(), fields[i].name);
            EXPECT_EQ(f[1].toString(), QString(QLatin1Char(fields[i].type)));
            EXPECT_EQ(f[2].toInt(), fields[i].length);
            EXPECT_EQ(f[3].toInt(), fields[i].decimals);
        }
        const QJsonArray records = out["records"].toArray();
        const auto ours = readValues(path);
        ASSERT_EQ(records.size(), 3);
        ASSERT_EQ(ours.size(), 3u);
        for (int r = 0; r < 3; ++r) {
            const QJsonArray rec = records[r].toArray();
            const QVector<QVariant>& v = ours[size_t(r)];
            EXPECT_EQ(v, written[size_t(r == 2 ? 3 : r)]);
            for (int i = 0; i < fields.size(); ++i) {
                SCOPED_TRACE(testing::Message() << "record " << r << " field " << i);
                const QJsonValue j = rec[i];
                if (!v[i].isValid()) {
                    // dbfread reads a blank text as "", blank others as null.
                    EXPECT_TRUE(j.isNull() || j.toString().isEmpty());
                    continue;
                }
                switch (v[i].typeId()) {
                case QMetaType::QString:
                    EXPECT_EQ(j.toString(), v[i].toString());
                    break;
                case QMetaType::LongLong:
                    EXPECT_EQ(qint64(j.toDouble()), v[i].toLongLong());
                    break;
                case QMetaType::Double:
                    EXPECT_DOUBLE_EQ(j.toDouble(), v[i].toDouble());
                    break;
                case QMetaType::QDate:
                    EXPECT_EQ(j.toString(), v[i].toDate().toString(Qt::ISODate));
                    break;
                case QMetaType::Bool:
                    EXPECT_EQ(j.toBool(), v[i].toBool());
                    break;
                default:
                    ADD_FAILURE() << v[i].typeName();
                }
            }
        }
    }
}
