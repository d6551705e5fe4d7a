// A register whose notes are memo fields, written by python3-dbf: it opens,
// its notes are edited and added through the tables, and python3-dbfread
// reads them back; without its memo file it fails naming that file.
#include "dbase/tests/python_support.h"
#include "register/tests/dataset_support.h"

#include "register/table.h"
#include "register/varek_register.h"

#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QProcess>

using namespace varek;
using namespace varek::test;

namespace {

bool hasModules() {
    return hasModule("dbf") && hasModule("dbfread");
}

// The four tables in the dBASE III+ layout with memo notes.
const char* kWriteRegister = R"(
import dbf, sys, datetime
d = sys.argv[1]
def table(name, fields, rows):
    t = dbf.Table(d + name, fields, codepage='cp866', dbf_type='db3')
    t.open(dbf.READ_WRITE)
    for r in rows:
        t.append(r)
    t.close()
table('obj.dbf', 'obj_num N(11,0); obj_name C(60); addr C(100); notes M',
      [(1, 'Офис', 'ул. Ленина, 1', 'Ключ у вахтёра\r\nзвонить заранее'), (2, 'Склад', '', '')])
table('ctrl.dbf', 'obj_num N(11,0); ctrl_name C(60); ser_num N(11,0); hard C(30); notes M; open_time N(11,0)',
      [(1, 'Вход', 1, 'v1', 'x' * 600, 5)])
table('tokens.dbf', 'token_code C(16); token_card C(9); user_name C(80); give_date D; status N(11,0)',
      [('0100000000000001', '000.00000', 'Иванов', datetime.date(2024, 5, 17), 1)])
table('tc.dbf', 'token_code C(16); ser_num N(11,0)', [('0100000000000001', 1)])
)";

// The notes as python3-dbfread lists them, as compact JSON text.
QString notesInDbfread(const QString& path) {
    const QByteArray out = runPython("import dbfread, json, sys\n"
                                     "print(json.dumps([r['NOTES'] for r in dbfread.DBF(sys.argv[1])],"
                                     " ensure_ascii=False, separators=(',', ':')))",
                                     {path});
    return QString::fromUtf8(out).trimmed();
}

QString json(const QJsonArray& a) {
    return QString::fromUtf8(QJsonDocument(a).toJson(QJsonDocument::Compact));
}

} // namespace

TEST(MemoRegister, NotesInMemoFieldsOpenEditAndReadBackInDbfread) {
    if (!hasModules()) GTEST_SKIP() << "python3-dbf or python3-dbfread missing";
    QTemporaryDir tmp;
    const QString dir = tmp.path() + QLatin1Char('/');
    runPython(kWriteRegister, {dir});

    VarekRegister reg;
    ASSERT_NO_THROW(reg.open(dir));
    Table& obj = reg.taObj();
    EXPECT_EQ(obj.asString("notes"), QStringLiteral("Ключ у вахтёра\r\nзвонить заранее"));
    EXPECT_EQ(reg.taCtrl().asString("notes"), QString(600, QLatin1Char('x')));
    EXPECT_EQ(obj.fieldWidth("notes"), 0); // no limit for the editors

    obj.edit();
    obj.setFieldValue("notes", QStringLiteral("Новая заметка"));
    obj.post();
    obj.append();
    obj.setFieldValue("obj_num", 3);
    obj.setFieldValue("obj_name", QStringLiteral("Гараж"));
    obj.setFieldValue("notes", QString(1000, QChar(u'ё')));
    obj.post();
    ASSERT_TRUE(obj.locate("obj_num", {1}));
    Table& ctrl = reg.taCtrl();
    ctrl.edit();
    ctrl.setFieldValue("ctrl_name", QStringLiteral("Главный вход")); // its note stays
    ctrl.post();
    reg.close();

    EXPECT_EQ(notesInDbfread(dir + "obj.dbf"),
              json({QStringLiteral("Новая заметка"), QString(), QString(1000, QChar(u'ё'))}));
    EXPECT_EQ(notesInDbfread(dir + "ctrl.dbf"), json({QString(600, QLatin1Char('x'))}));

    reg.open(dir);
    ASSERT_TRUE(reg.taObj().locate("obj_num", {3}));
    EXPECT_EQ(reg.taObj().asString("notes"), QString(1000, QChar(u'ё')));
}

TEST(MemoRegister, WithoutItsMemoFileTheRegisterFailsNamingIt) {
    if (!hasModules()) GTEST_SKIP() << "python3-dbf or python3-dbfread missing";
    QTemporaryDir tmp;
    const QString dir = tmp.path() + QLatin1Char('/');
    runPython(kWriteRegister, {dir});
    ASSERT_TRUE(QFile::remove(dir + "ctrl.dbt"));
    VarekRegister reg;
    const QString message = errorOf([&] { reg.open(dir); });
    EXPECT_TRUE(message.contains(dir + "ctrl.dbt")) << message.toStdString();
    EXPECT_FALSE(reg.taObj().active());
}
