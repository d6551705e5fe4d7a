// The register over real files: opening, the two views and their handlers,
// the key count and the lock on the data directory.

#include "register/tests/dataset_support.h"

#include "core/errors.h"
#include "register/data_link.h"
#include "register/dir_lock.h"
#include "register/sql_views.h"
#include "register/table.h"
#include "register/varek_register.h"
#include "register/view.h"

#include <QFile>
#include <QSet>

using namespace varek;
using namespace varek::test;

namespace {

const QString kQuote = QStringLiteral("AB'CD");

// Rows of a view as "field=value" joined, for compact comparisons.
QSet<QString> column(View& v, const char* field) {
    QSet<QString> out;
    const int f = v.fieldIndex(field);
    for (int r = 0; r < v.recordCount(); ++r)
        out << v.value(r, f).toString();
    return out;
}

class RegisterTest : public ::testing::Test {
protected:
    TempRegister data;
    VarekRegister reg;

    void SetUp() override {
        data.obj(1, QStringLiteral("Офис"));
        data.obj(2, QStringLiteral("Склад"));
        data.obj(3, QStringLiteral("Пустой"));
        data.ctrl(1, QStringLiteral("Вход"), 1);
        data.ctrl(1, QStringLiteral("Выход"), 2);
        data.ctrl(2, QStringLiteral("Ворота"), 3);
        data.ctrl(9, QStringLiteral("Сирота"), 4); // its object is gone
        data.token("K1", QStringLiteral("Иванов"), 1);
        data.token("K2", QStringLiteral("Петров"), 0);
        data.token(kQuote, QStringLiteral("Кавычка"), 1);
        data.access("K1", 1);
        data.access("K2", 1);
        data.access("GONE", 1); // its key is gone
        data.access("K1", 3);
        data.access("K1", 4);  // its controller's object is gone
        data.access("K1", 99); // its controller is gone
        data.access(kQuote, 2);
        data.access("K2", 2);
    }
};

} // namespace

TEST_F(RegisterTest, OpeningShowsTheViewsOfTheFirstObjectControllerAndKey) {
    EXPECT_EQ(reg.keyCountText(), QStringLiteral("Всего:"));
    reg.open(data.dir);
    EXPECT_EQ(reg.keyCountText(), QStringLiteral("Всего 3"));

    View& keys = reg.quCtrlToken();
    ASSERT_TRUE(keys.active());
    EXPECT_EQ(keys.sql(), QStringLiteral(" select t.*, tc.ser_num from tokens t left join tc tc on "
                                         "t.token_code=tc.token_code  where tc.ser_num=1"));
    // All fields of the key in file order, then ser_num.
    EXPECT_EQ(keys.fieldNames(),
              QStringList({"token_code", "token_card", "user_name", "give_date", "status", "ser_num"}));
    EXPECT_EQ(column(keys, "token_code"), QSet<QString>({"K1", "K2"})); // GONE is not listed
    keys.first();
    EXPECT_EQ(keys.asDate("give_date"), QDate(2024, 5, 17));
    EXPECT_EQ(keys.asInteger("SER_NUM"), 1);

    View& ctrls = reg.quTokenCtrl();
    ASSERT_TRUE(ctrls.active());
    EXPECT_EQ(ctrls.sql(),
              QStringLiteral(" select c.ctrl_name, tc.token_code, tc.ser_num, o.obj_name from ctrl c  "
                             "join tc tc on c.ser_num=tc.ser_num join obj o on c.obj_num=o.obj_num "
                             "where tc.token_code='K1'"));
    EXPECT_EQ(ctrls.fieldNames(), QStringList({"ctrl_name", "token_code", "ser_num", "obj_name"}));
    // Not the controller without object (4) nor the missing controller (99).
    EXPECT_EQ(column(ctrls, "ser_num"), QSet<QString>({"1", "3"}));
    EXPECT_EQ(column(ctrls, "obj_name"), QSet<QString>({QStringLiteral("Офис"), QStringLiteral("Склад")}));
}

TEST_F(RegisterTest, ControllerViewFollowsObjectsAndControllersAndClosesWithoutController) {
    reg.open(data.dir);
    reg.taCtrl().next();
    EXPECT_EQ(column(reg.quCtrlToken(), "token_code"), QSet<QString>({kQuote, "K2"}));

    reg.taObj().next();
    EXPECT_EQ(reg.taCtrl().asString("ctrl_name"), QStringLiteral("Ворота"));
    EXPECT_EQ(column(reg.quCtrlToken(), "token_code"), QSet<QString>({"K1"}));

    reg.taObj().next(); // an object without controllers
    EXPECT_TRUE(reg.taCtrl().isEmpty());
    EXPECT_FALSE(reg.quCtrlToken().active());
    EXPECT_EQ(errorOf([&] { reg.quCtrlToken().asString("token_code"); }),
              QStringLiteral("Cannot perform this operation on a closed dataset"));
    // The text stays the last controller's.
    EXPECT_TRUE(reg.quCtrlToken().sql().endsWith("=3"));

    // While a controller row is edited, the view follows each assignment.
    reg.taObj().first();
    reg.taCtrl().edit();
    reg.taCtrl().setFieldValue("ser_num", 3);
    EXPECT_TRUE(reg.quCtrlToken().active());
    EXPECT_EQ(column(reg.quCtrlToken(), "token_code"), QSet<QString>({"K1"}));
    reg.taCtrl().setFieldValue("ser_num", QVariant());
    EXPECT_FALSE(reg.quCtrlToken().active());
    reg.taCtrl().cancel();
    EXPECT_EQ(column(reg.quCtrlToken(), "token_code"), QSet<QString>({"K1", "K2"}));
}

TEST_F(RegisterTest, KeyViewIsClosedWhileTheKeyIsEditedAndBackAfterThePost) {
    reg.open(data.dir);
    Table& tokens = reg.taTokens();
    tokens.edit();
    EXPECT_TRUE(reg.quTokenCtrl().active()); // entering edit state changes nothing yet
    tokens.setFieldValue("user_name", QStringLiteral("Иванов И."));
    EXPECT_FALSE(reg.quTokenCtrl().active());
    tokens.post();
    ASSERT_TRUE(reg.quTokenCtrl().active());
    EXPECT_EQ(column(reg.quTokenCtrl(), "ser_num"), QSet<QString>({"1", "3"}));

    tokens.append(); // a new key: no code yet
    EXPECT_FALSE(reg.quTokenCtrl().active());
    tokens.setFieldValue("token_code", "K9");
    EXPECT_FALSE(reg.quTokenCtrl().active());
    tokens.post();
    ASSERT_TRUE(reg.quTokenCtrl().active());
    EXPECT_EQ(reg.quTokenCtrl().recordCount(), 0);
}

TEST_F(RegisterTest, QuoteInAKeyCodeNeitherFailsNorWidensTheSelection) {
    reg.open(data.dir);
    ASSERT_TRUE(reg.taTokens().locate("token_code", {kQuote}));
    ASSERT_TRUE(reg.quTokenCtrl().active());
    EXPECT_EQ(column(reg.quTokenCtrl(), "ctrl_name"), QSet<QString>({QStringLiteral("Выход")}));
    EXPECT_EQ(column(reg.quTokenCtrl(), "token_code"), QSet<QString>({kQuote}));

    reg.taTokens().edit();
    reg.taTokens().setFieldValue("token_code", "X' OR '1'='1");
    reg.taTokens().post();
    ASSERT_TRUE(reg.quTokenCtrl().active());
    EXPECT_EQ(reg.quTokenCtrl().recordCount(), 0);
}

TEST_F(RegisterTest, KeyCountFollowsIssuedAndDeletedKeys) {
    QStringList shown;
    QObject::connect(&reg, &VarekRegister::keyCountChanged, [&](const QString& t) { shown << t; });
    reg.open(data.dir);
    Table& tokens = reg.taTokens();
    tokens.append();
    tokens.setFieldValue("token_code", "K4");
    EXPECT_EQ(reg.keyCountText(), QStringLiteral("Всего 3")); // not yet posted
    tokens.post();
    EXPECT_EQ(reg.keyCountText(), QStringLiteral("Всего 4"));
    tokens.edit();
    tokens.setFieldValue("user_name", "x");
    tokens.post();
    tokens.deleteRecord();
    tokens.deleteRecord();
    EXPECT_EQ(shown, QStringList({"Всего 3", "Всего 4", "Всего 3", "Всего 2"}));
    reg.close();
    EXPECT_EQ(reg.keyCountText(), QStringLiteral("Всего:"));
}

TEST_F(RegisterTest, ViewsSeePostedAccessRowsOnAForcedReRun) {
    reg.open(data.dir);
    Table& tc = reg.taTC();
    tc.append();
    tc.setFieldValue("token_code", kQuote);
    tc.setFieldValue("ser_num", 1);
    tc.post();
    reg.quCtrlToken().refresh();
    EXPECT_EQ(column(reg.quCtrlToken(), "token_code"), QSet<QString>({"K1", "K2", kQuote}));

    ASSERT_TRUE(tc.locate("token_code;ser_num", {"K2", 1}));
    tc.deleteRecord();
    reg.quCtrlToken().refresh();
    EXPECT_EQ(column(reg.quCtrlToken(), "token_code"), QSet<QString>({"K1", kQuote}));

    // A deleted key leaves the view on its next run.
    ASSERT_TRUE(reg.taTokens().locate("token_code", {"K1"}));
    reg.taTokens().deleteRecord();
    reg.quCtrlToken().refresh();
    EXPECT_EQ(column(reg.quCtrlToken(), "token_code"), QSet<QString>({kQuote}));
}

TEST(RegisterEmptyTest, ViewsNeverGivenARowStayClosedOnAForcedReRun) {
    TempRegister data;
    VarekRegister reg;
    reg.open(data.dir);
    EXPECT_EQ(reg.keyCountText(), QStringLiteral("Всего 0"));
    EXPECT_FALSE(reg.quCtrlToken().active());
    EXPECT_FALSE(reg.quTokenCtrl().active());
    reg.quCtrlToken().refresh();
    reg.quTokenCtrl().refresh();
    EXPECT_FALSE(reg.quCtrlToken().active());
    EXPECT_FALSE(reg.quTokenCtrl().active());
    // Opened on purpose, the initial texts fail as the engine reports them.
    EXPECT_EQ(errorOf([&] { reg.quCtrlToken().open(); }), QStringLiteral("No value for parameter 'ser_num'"));
    EXPECT_EQ(errorOf([&] { reg.quTokenCtrl().open(); }), QStringLiteral("No SQL statement available"));
}

TEST(RegisterLockTest, ASecondProgramOnTheSameDataDirectoryIsRefused) {
    TempRegister data;
    VarekRegister first;
    first.open(data.dir);
    VarekRegister second;
    const QString message = errorOf([&] { second.open(data.dir); });
    EXPECT_TRUE(message.contains(QStringLiteral("уже используется другой копией программы")))
        << message.toStdString();
    EXPECT_FALSE(second.taObj().active());
    first.close();
    second.open(data.dir);
    EXPECT_TRUE(second.taTC().active());
}

TEST(RegisterLockTest, FailedOpeningClosesEverythingAndReleasesTheLock) {
    TempRegister data;
    QFile::remove(data.file("tc.dbf"));
    VarekRegister reg;
    EXPECT_THROW(reg.open(data.dir), EDatabaseError);
    EXPECT_FALSE(reg.taObj().active());
    EXPECT_FALSE(reg.taTokens().active());
    DirLock lock;
    EXPECT_NO_THROW(lock.acquire(data.dir));

    // A table without a field the register needs.
    DbfFile::create(data.file("tc.dbf"), {{"TOKEN_CODE", 'C', 16, 0, 0}}, kRegisterLanguageDriver);
    lock.release();
    QString message = errorOf([&] { reg.open(data.dir); });
    EXPECT_TRUE(message.contains("tc.dbf") && message.contains("ser_num")) << message.toStdString();

    message = errorOf([&] { reg.open(data.dir + "missing/"); });
    EXPECT_TRUE(message.contains(QStringLiteral("не найден"))) << message.toStdString();
}

TEST(RegisterLockTest, OfSeveralBadTablesTheErrorNamesTheFirstInOrder) {
    // The access table is read beside the others; its error comes only when they opened.
    for (const char* first : {"obj.dbf", "ctrl.dbf", "tokens.dbf"}) {
        TempRegister data;
        data.access("K1", 1);
        QFile::remove(data.file(first));
        QFile::remove(data.file("tc.dbf"));
        VarekRegister reg;
        const QString message = errorOf([&] { reg.open(data.dir); });
        EXPECT_TRUE(message.contains(first) && !message.contains("tc.dbf")) << message.toStdString();
        EXPECT_FALSE(reg.taTC().active());
    }
    TempRegister data;
    data.access("K1", 1);
    VarekRegister reg;
    reg.open(data.dir);
    EXPECT_TRUE(reg.taTC().active());
    EXPECT_EQ(reg.taTC().recordCount(), 1);
}

TEST_F(RegisterTest, ViewsStartFromTheAccessRowsThroughIndexesAndLeftJoinsKeepTheirMeaning) {
    data.token("K5", QStringLiteral("Без доступа"));
    reg.open(data.dir);
    SqlViews& sql = reg.sqlViews();
    for (View* v : {&reg.quCtrlToken(), &reg.quTokenCtrl()}) {
        const QStringList plan = sql.queryPlan(v->sql());
        ASSERT_FALSE(plan.isEmpty());
        SCOPED_TRACE(plan.join(" | ").toStdString());
        EXPECT_TRUE(plan[0].startsWith("SCAN tc VIRTUAL TABLE INDEX ")); // an index, not a scan
        EXPECT_FALSE(plan[0].endsWith("INDEX 0:"));
        for (const QString& step : plan.mid(1))
            EXPECT_FALSE(step.contains("INDEX 0:")); // every later table through an index too
    }
    // A LEFT JOIN whose WHERE is on the left table keeps keys without access rows.
    const auto r = sql.run("select t.token_code, tc.ser_num from tokens t left join tc tc on "
                           "t.token_code=tc.token_code  where t.token_code='K5'");
    ASSERT_EQ(r.rows.size(), 1);
    EXPECT_EQ(r.rows[0][0].toString(), "K5");
    EXPECT_FALSE(r.rows[0][1].isValid());
}

TEST_F(RegisterTest, ViewTextsAnsweredFromTheIndexesGiveWhatSQLiteGives) {
    // Beside the fixture: a key code twice, a second controller of one
    // number, a key without card, holder or date, and rows deleted and added
    // after opening (dead ids, ids past the file).
    data.token("K1", QStringLiteral("Дубль"), 2);
    data.ctrl(2, QStringLiteral("Двойник"), 3);
    data.add("tokens.dbf", {"K7", QVariant(), QVariant(), QVariant(), QVariant()});
    data.access("K7", 3);
    data.access("K2", 3);
    // A number past 32 bits, which the rows keep aside from their cells.
    data.add("ctrl.dbf", {1, QStringLiteral("Большой"), qint64(5000000000), QString(), QString(), 5});
    data.add("tc.dbf", {"K1", qint64(5000000000)});
    reg.open(data.dir);
    Table& tc = reg.taTC();
    ASSERT_TRUE(tc.locate("token_code", {"K2"}));
    tc.deleteRecord();
    tc.append();
    tc.setFieldValue("token_code", "K7");
    tc.setFieldValue("ser_num", 1);
    tc.post();
    Table& tokens = reg.taTokens();
    tokens.append();
    tokens.setFieldValue("token_code", "K8");
    tokens.setFieldValue("user_name", QStringLiteral("Новый"));
    tokens.setFieldValue("give_date", QDate(2025, 2, 3));
    tokens.post();
    tc.append();
    tc.setFieldValue("token_code", "K8");
    tc.setFieldValue("ser_num", 3);
    tc.post();

    QStringList texts;
    for (qint64 ser :
         {qint64(1), qint64(2), qint64(3), qint64(4), qint64(99), qint64(-1), qint64(5000000000)})
        texts << QStringLiteral(" select t.*, tc.ser_num from tokens t left join tc tc on "
                                "t.token_code=tc.token_code  where tc.ser_num=%1")
                     .arg(ser);
    for (const char* code : {"K1", "K2", "K7", "K8", "AB''CD", "GONE", "none"})
        texts << QStringLiteral(" select c.ctrl_name, tc.token_code, tc.ser_num, o.obj_name from ctrl c  "
                                "join tc tc on c.ser_num=tc.ser_num join obj o on c.obj_num=o.obj_num "
                                "where tc.token_code='%1'")
                     .arg(QLatin1String(code));
    SqlViews& sql = reg.sqlViews();
    int rows = 0;
    for (const QString& text : texts) {
        SCOPED_TRACE(text.toStdString());
        // A text ending in ";" is not one of the two: SQLite runs it.
        const SqlViews::Result known = sql.run(text), general = sql.run(text + ";");
        EXPECT_EQ(known.columns, general.columns);
        ASSERT_EQ(known.rows.size(), general.rows.size());
        for (qsizetype r = 0; r < known.rows.size(); ++r)
            for (qsizetype c = 0; c < known.rows[r].size(); ++c) {
                EXPECT_EQ(known.rows[r][c], general.rows[r][c]) << r << "," << c;
                EXPECT_EQ(known.rows[r][c].typeId(), general.rows[r][c].typeId()) << r << "," << c;
            }
        rows += int(known.rows.size());
    }
    EXPECT_GT(rows, 15);
}

TEST_F(RegisterTest, ViewsFollowATableReopenedWithOtherFields) {
    reg.open(data.dir);
    reg.quCtrlToken().refresh();
    EXPECT_EQ(reg.quCtrlToken().fieldNames().size(), 6);
    reg.close();
    // The keys table gains a field.
    QFile::remove(data.file("tokens.dbf"));
    QVector<DbfField> fields = registerTable("tokens.dbf")->fields;
    fields.append({"EXTRA", 'C', 5, 0, 0});
    DbfFile::create(data.file("tokens.dbf"), fields, kRegisterLanguageDriver);
    data.add("tokens.dbf", {"K1", "001.00001", "a", QDate(2024, 1, 1), 1, "x"});
    reg.open(data.dir);
    EXPECT_EQ(reg.quCtrlToken().fieldNames(), QStringList({"token_code", "token_card", "user_name",
                                                           "give_date", "status", "extra", "ser_num"}));
    EXPECT_EQ(reg.quCtrlToken().recordCount(), 1);
}

// Key codes holding bytes that no SQL literal can carry as such (a NUL ends
// SQLite's input) or that other programs leave in a file: the register still
// opens, and the controllers view of such a key lists exactly its own
// controllers, not those of the code cut at the odd byte.
class ControlBytesInKeyCode : public ::testing::TestWithParam<const char*> {};

TEST_P(ControlBytesInKeyCode, ReachTheViewWhole) {
    // '#' stands for a NUL in the table below; the other key's code is the
    // part before the first odd byte.
    const QString code = QString::fromLatin1(GetParam()).replace(QLatin1Char('#'), QChar(0));
    const QString prefix = code.left(2);
    TempRegister data;
    data.obj(1, QStringLiteral("Офис"));
    data.ctrl(1, QStringLiteral("Вход"), 1);
    data.ctrl(1, QStringLiteral("Выход"), 2);
    data.token(code, QStringLiteral("Странный"));
    data.token(prefix, QStringLiteral("Обычный"));
    data.access(code, 2);
    data.access(prefix, 1);

    VarekRegister reg;
    ASSERT_NO_THROW(reg.open(data.dir));
    ASSERT_TRUE(reg.taTokens().locate("token_code", {code}));
    View& ctrls = reg.quTokenCtrl();
    ASSERT_TRUE(ctrls.active());
    EXPECT_EQ(column(ctrls, "ctrl_name"), QSet<QString>({QStringLiteral("Выход")}));
    EXPECT_EQ(column(ctrls, "token_code"), QSet<QString>({code}));
    // The text shown keeps the code as a literal.
    EXPECT_TRUE(ctrls.sql().endsWith(QStringLiteral("where tc.token_code='") +
                                     QString(code).replace(QLatin1Char('\''), QStringLiteral("''")) + "'"));
}

INSTANTIATE_TEST_SUITE_P(Register, ControlBytesInKeyCode,
                         ::testing::Values("AB#CD",           // a NUL inside
                                           "AB'#' OR '1'='1", // a NUL after a quote
                                           "AB\x01\x1a\r\n\x7f"
                                           "CD")); // other control bytes
