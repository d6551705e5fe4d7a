// The dataset layer over real dBASE files: cursor, states, fields, writes,
// locate, change events and the restriction of a detail table to its master.

#include "register/tests/dataset_support.h"

#include "core/errors.h"
#include "dbase/dbf.h"
#include "register/data_link.h"
#include "register/table.h"

using namespace varek;
using namespace varek::test;

namespace {

const QString kClosed = QStringLiteral("Cannot perform this operation on a closed dataset");
const QString kEmpty = QStringLiteral("Cannot perform this operation on an empty dataset");
const QString kNotEditing = QStringLiteral("Dataset not in edit or insert mode");

// Every live row of a file, read back by a fresh codec.
QVector<QVector<QVariant>> fileRows(const QString& path) {
    QVector<QVector<QVariant>> rows;
    DbfFile::open(path)->readAll([&](quint32, QVector<QVariant>&& v) { rows.push_back(v); });
    return rows;
}

} // namespace

TEST(DatasetTest, ClosedEmptyAndBrowseStateRefuseWithTheirMessages) {
    TempRegister reg;
    Table t;
    t.setFileName(reg.file("tokens.dbf"));
    EXPECT_EQ(errorOf([&] { t.asString("token_code"); }), kClosed);
    EXPECT_EQ(errorOf([&] { t.first(); }), kClosed);

    t.open();
    EXPECT_TRUE(t.isEmpty());
    EXPECT_TRUE(t.eof());
    EXPECT_EQ(t.recNo(), -1);
    EXPECT_EQ(errorOf([&] { t.deleteRecord(); }), kEmpty);
    EXPECT_EQ(errorOf([&] { t.setFieldValue("user_name", "x"); }), kNotEditing);
    EXPECT_EQ(errorOf([&] { t.asString("no_such"); }), QStringLiteral("Field 'no_such' not found"));
    // No current row: fields read as null.
    EXPECT_TRUE(t.isNull("token_code"));
    EXPECT_EQ(t.asInteger("status"), 0);
    EXPECT_EQ(t.asString("user_name"), QString());
}

TEST(DatasetTest, EditOnAnEmptyTableInsertsAndPostWritesDurably) {
    TempRegister reg;
    Table t;
    t.setFileName(reg.file("tokens.dbf"));
    t.open();
    t.edit();
    EXPECT_EQ(t.state(), Dataset::State::Insert);
    t.setFieldValue("TOKEN_CODE", "0100000001020304"); // names regardless of case
    t.setFieldValue("user_name", QStringLiteral("Иванов"));
    t.setFieldValue("give_date", QDateTime(QDate(2024, 1, 31), QTime(0, 0)));
    t.setFieldValue("status", 1);
    t.post();
    EXPECT_EQ(t.state(), Dataset::State::Browse);
    EXPECT_EQ(t.recordCount(), 1);
    EXPECT_EQ(t.recNo(), 0);
    EXPECT_EQ(t.asString("Token_Code"), "0100000001020304");
    EXPECT_EQ(t.asDate("give_date"), QDate(2024, 1, 31));
    EXPECT_TRUE(t.isNull("token_card"));
    EXPECT_EQ(t.asString("token_card"), QString());

    const auto rows = fileRows(reg.file("tokens.dbf"));
    ASSERT_EQ(rows.size(), 1);
    EXPECT_EQ(rows[0][2].toString(), QStringLiteral("Иванов"));
    EXPECT_EQ(rows[0][3].toDate(), QDate(2024, 1, 31));
    EXPECT_EQ(rows[0][4].toLongLong(), 1);
}

TEST(DatasetTest, ValueThatDoesNotFitIsRefusedAndTheRowStaysInItsState) {
    TempRegister reg;
    reg.token("0100000001020304", "a");
    Table t;
    t.setFileName(reg.file("tokens.dbf"));
    t.open();
    t.edit();
    t.setFieldValue("token_card", "0123456789ABC"); // 13 characters in a 9-character field
    EXPECT_THROW(t.post(), EDatabaseError);
    EXPECT_EQ(t.state(), Dataset::State::Edit);
    EXPECT_EQ(t.asString("token_card"), "0123456789ABC");
    t.cancel();
    EXPECT_EQ(t.asString("token_card"), "001.00001");
    EXPECT_EQ(fileRows(reg.file("tokens.dbf"))[0][1].toString(), "001.00001");

    t.append();
    t.setFieldValue("status", 123456789012LL); // more digits than the field holds
    EXPECT_THROW(t.post(), EDatabaseError);
    EXPECT_EQ(t.state(), Dataset::State::Insert);
    t.cancel();
    EXPECT_EQ(t.recordCount(), 1);
    EXPECT_EQ(fileRows(reg.file("tokens.dbf")).size(), 1);
}

// What the editors ask before saving: whether a text fits a field as the
// codec would store it (blanks at the end are not stored).
TEST(DatasetTest, TextFitAnswersAsTheCodecWouldStore) {
    TempRegister reg;
    Table t;
    t.setFileName(reg.file("tokens.dbf"));
    t.open();
    using P = TextFit::Problem;
    struct Case {
        const char* field;
        QString text;
        P problem;
        qsizetype position;
        char32_t codePoint;
        int length;
    };
    const Case cases[] = {
        {"user_name", QStringLiteral("Ёлкин Фёдор №5"), P::None, -1, 0, 0},
        {"user_name", QStringLiteral("Ёлкин «Фёдор»"), P::Character, 6, U'«', 0},
        {"user_name", QStringLiteral("ок 😀 и «"), P::Character, 3, U'😀', 0},
        {"token_card", QStringLiteral("123.45678") + QString(20, u' '), P::None, -1, 0, 0},
        {"token_card", QStringLiteral("123.456789"), P::TooLong, -1, 0, 10},
        {"status", QStringLiteral("«not text»"), P::None, -1, 0, 0},
    };
    for (const Case& c : cases) {
        const TextFit fit = t.textFit(c.field, c.text);
        EXPECT_EQ(fit.problem, c.problem) << c.field << ' ' << c.text.toStdString();
        EXPECT_EQ(fit.codePage, "cp866");
        if (c.problem == P::Character) {
            EXPECT_EQ(fit.position, c.position) << c.text.toStdString();
            EXPECT_EQ(fit.codePoint, c.codePoint) << c.text.toStdString();
            EXPECT_EQ(fit.size, c.codePoint > 0xFFFF ? 2 : 1);
        }
        if (c.problem == P::TooLong) {
            EXPECT_EQ(fit.length, c.length);
            EXPECT_EQ(fit.width, 9);
        }
    }
    EXPECT_THROW(t.textFit("no_such_field", "x"), EDatabaseError);
}

TEST(DatasetTest, WalkAppendEditDeleteKeepFileAndCursorInStep) {
    TempRegister reg;
    for (int i = 1; i <= 3; ++i)
        reg.access(QStringLiteral("K%1").arg(i), i);
    Table t;
    t.setFileName(reg.file("tc.dbf"));
    t.open();

    QStringList walked;
    for (t.first(); !t.eof(); t.next())
        walked << t.asString("token_code");
    EXPECT_EQ(walked, QStringList({"K1", "K2", "K3"}));
    EXPECT_EQ(t.recNo(), 2);

    t.append();
    t.setFieldValue("token_code", "K4");
    t.setFieldValue("ser_num", 4);
    t.post();
    EXPECT_EQ(t.asString("token_code"), "K4"); // the posted row stays current
    EXPECT_EQ(t.recordCount(), 4);

    t.setRecNo(1);
    t.edit();
    t.setFieldValue("ser_num", 20);
    t.post();
    EXPECT_EQ(t.recNo(), 1);
    EXPECT_EQ(t.asInteger("ser_num"), 20);

    t.deleteRecord(); // K2; the next row becomes current
    EXPECT_EQ(t.asString("token_code"), "K3");
    t.last();
    t.deleteRecord(); // K4, the last; the one before becomes current
    EXPECT_EQ(t.asString("token_code"), "K3");

    const auto rows = fileRows(reg.file("tc.dbf"));
    ASSERT_EQ(rows.size(), 2);
    EXPECT_EQ(rows[0][0].toString(), "K1");
    EXPECT_EQ(rows[1][0].toString(), "K3");

    // A second opening sees the same.
    Table again;
    again.setFileName(reg.file("tc.dbf"));
    again.open();
    EXPECT_EQ(again.recordCount(), 2);
}

TEST(DatasetTest, LocateOnOneOrTwoFieldsFindsTheFirstWholeCaseSensitiveMatch) {
    TempRegister reg;
    reg.access("AA", 1);
    reg.access("BB", 1);
    reg.access("AA", 2);
    reg.access("aa", 3);
    reg.access("AA", 2); // a duplicate pair: the first one is found
    Table t;
    t.setFileName(reg.file("tc.dbf"));
    t.setIndexedFields({"token_code", "ser_num"});
    t.open();

    struct Case {
        const char* fields;
        QVariantList values;
        bool found;
        int recNo;
    };
    const Case cases[] = {
        {"token_code;ser_num", {"AA", 2}, true, 2},
        {"token_code", {"aa"}, true, 3},
        {"ser_num", {1}, true, 0},
        {"token_code;ser_num", {"A", 2}, false, 0}, // no partial match; current row stays
        {"token_code;ser_num", {"aa", 2}, false, 0},
        {"ser_num;token_code", {2, "AA"}, true, 2},
        {"token_code; ser_num", {"BB", "1"}, true, 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.fields);
        EXPECT_EQ(t.locate(c.fields, c.values), c.found);
        EXPECT_EQ(t.recNo(), c.recNo);
    }
    // The same without indexes gives the same answers.
    Table plain;
    plain.setFileName(reg.file("tc.dbf"));
    plain.open();
    plain.last();
    EXPECT_TRUE(plain.locate("token_code;ser_num", {"AA", 2}));
    EXPECT_EQ(plain.recNo(), 2);
    EXPECT_EQ(errorOf([&] { plain.locate("nope", {1}); }), QStringLiteral("Field 'nope' not found"));
}

TEST(DatasetTest, ChangeEventFiresExactlyOnMovesOpeningResumingPostsDeletesAndAssignments) {
    TempRegister reg;
    reg.access("A", 1);
    reg.access("B", 2);
    Table t;
    t.setFileName(reg.file("tc.dbf"));
    DataLink link(&t);
    EventCounter events(link);

    t.open();
    EXPECT_EQ(events.take(), 1);
    t.setRecNo(0); // no move
    EXPECT_EQ(events.take(), 0);
    t.next();
    EXPECT_EQ(events.take(), 1);
    t.next(); // at the last row: eof, no move
    EXPECT_EQ(events.take(), 0);
    EXPECT_TRUE(t.eof());

    t.edit();
    EXPECT_EQ(events.take(), 0);
    t.setFieldValue("ser_num", 5);
    t.setFieldValue("token_code", "C");
    EXPECT_EQ(events.take(), 2);
    t.post();
    EXPECT_EQ(events.take(), 1);

    t.append(); // the current row moves to the new row
    EXPECT_EQ(events.take(), 1);
    t.setFieldValue("token_code", "D");
    EXPECT_EQ(events.take(), 1);
    t.post();
    EXPECT_EQ(events.take(), 1);

    t.deleteRecord();
    EXPECT_EQ(events.take(), 1);

    link.suspend();
    t.first();
    t.edit();
    t.setFieldValue("ser_num", 9);
    t.post();
    EXPECT_EQ(events.take(), 0);
    link.resume();
    EXPECT_EQ(events.take(), 1);

    EXPECT_TRUE(t.locate("token_code", {"C"}));
    EXPECT_EQ(events.take(), 1);
    EXPECT_TRUE(t.locate("token_code", {"C"})); // already there
    EXPECT_EQ(events.take(), 0);

    t.close();
    link.suspend();
    link.resume(); // a closed dataset gives no event
    EXPECT_EQ(events.take(), 0);
}

TEST(DatasetTest, AfterOpenRunsOnceForEachOpening) {
    TempRegister reg;
    Table t;
    t.setFileName(reg.file("obj.dbf"));
    int opened = 0;
    QObject::connect(&t, &Dataset::afterOpen, [&] { ++opened; });
    t.open();
    t.open(); // already open
    t.close();
    t.open();
    EXPECT_EQ(opened, 2);
}

TEST(DatasetTest, MissingFileOrFieldFailsNamingTheFile) {
    TempRegister reg;
    Table missing;
    missing.setFileName(reg.file("none.dbf"));
    EXPECT_THROW(missing.open(), EDatabaseError);
    EXPECT_FALSE(missing.active());

    Table t;
    t.setFileName(reg.file("tc.dbf"));
    t.setRequiredFields({"token_code", "open_time"});
    const QString message = errorOf([&] { t.open(); });
    EXPECT_TRUE(message.contains("tc.dbf")) << message.toStdString();
    EXPECT_TRUE(message.contains("OPEN_TIME")) << message.toStdString();
    EXPECT_FALSE(t.active());
}

// ---- the restriction of the controllers to the current object ----

class RestrictionTest : public ::testing::Test {
protected:
    TempRegister reg;
    Table obj, ctrl;
    std::unique_ptr<DataLink> ds3, ds4;
    std::unique_ptr<EventCounter> ctrlEvents;

    void SetUp() override {
        reg.obj(1, "first");
        reg.obj(2, "second");
        reg.obj(3, "empty");
        // File order mixes the objects; ser_num 1..5.
        reg.ctrl(2, "A", 1);
        reg.ctrl(1, "B", 2);
        reg.ctrl(1, "C", 3);
        reg.ctrl(2, "D", 4);
        reg.ctrl(1, "E", 5);
        obj.setFileName(reg.file("obj.dbf"));
        ctrl.setFileName(reg.file("ctrl.dbf"));
        ctrl.setIndexedFields({"obj_num", "ser_num"});
        ds3 = std::make_unique<DataLink>(&obj);
        ds4 = std::make_unique<DataLink>(&ctrl);
        ctrlEvents = std::make_unique<EventCounter>(*ds4);
        ctrl.setMaster(ds3.get(), "obj_num", "obj_num");
        obj.open();
        ctrl.open();
        ctrlEvents->take();
    }

    QStringList names() {
        QStringList out;
        const int f = ctrl.fieldIndex("ctrl_name");
        for (int r = 0; r < ctrl.recordCount(); ++r)
            out << ctrl.value(r, f).toString();
        return out;
    }
    QString current() { return ctrl.asString("ctrl_name"); }
};

TEST_F(RestrictionTest, FollowsTheCurrentObjectWithItsFirstControllerCurrent) {
    EXPECT_EQ(names(), QStringList({"B", "C", "E"}));
    EXPECT_EQ(current(), "B");
    ctrl.last();
    ctrlEvents->take();

    obj.next();
    EXPECT_EQ(names(), QStringList({"A", "D"}));
    EXPECT_EQ(current(), "A");
    EXPECT_EQ(ctrlEvents->take(), 1);

    obj.next(); // an object without controllers
    EXPECT_TRUE(ctrl.isEmpty());
    EXPECT_TRUE(ctrl.isNull("ser_num"));
    EXPECT_EQ(ctrlEvents->take(), 1);

    // Assigning the master's other fields leaves the restriction alone.
    obj.first();
    ctrl.last();
    ctrlEvents->take();
    obj.edit();
    obj.setFieldValue("obj_name", "renamed");
    EXPECT_EQ(current(), "E");
    EXPECT_EQ(ctrlEvents->take(), 0);
    obj.post(); // an edited object: re-applied
    EXPECT_EQ(current(), "B");
    EXPECT_EQ(ctrlEvents->take(), 1);
}

TEST_F(RestrictionTest, SuspendedMasterLinkOrDetachedRestrictionPresentsAllInObjNumOrder) {
    obj.next();  // object 2: A, D
    ctrl.last(); // D
    ds3->suspend();
    EXPECT_EQ(names(), QStringList({"B", "C", "E", "A", "D"}));
    EXPECT_EQ(current(), "D"); // stays the row it was
    obj.first();               // not followed while suspended
    EXPECT_EQ(names().size(), 5);
    ds3->resume();
    EXPECT_EQ(names(), QStringList({"B", "C", "E"}));
    EXPECT_EQ(current(), "B");

    ctrl.setRecNo(2); // E
    ctrl.detachMaster();
    EXPECT_FALSE(ctrl.masterAttached());
    EXPECT_EQ(names().size(), 5);
    EXPECT_EQ(current(), "E");
    ctrl.first();
    int maxSer = 0;
    for (; !ctrl.eof(); ctrl.next())
        maxSer = std::max(maxSer, ctrl.asInteger("ser_num"));
    EXPECT_EQ(maxSer, 5);
    ctrl.attachMaster();
    EXPECT_EQ(names(), QStringList({"B", "C", "E"}));
    EXPECT_EQ(current(), "B");
}

TEST_F(RestrictionTest, AppendedControllerTakesTheCurrentObjectAndLeavesWhenMoved) {
    obj.next(); // object 2
    ctrl.append();
    EXPECT_EQ(ctrl.asInteger("obj_num"), 2);
    ctrl.setFieldValue("ser_num", 6);
    ctrl.setFieldValue("ctrl_name", "F");
    ctrl.post();
    EXPECT_EQ(names(), QStringList({"A", "D", "F"}));
    EXPECT_EQ(current(), "F");

    // Appended for another object: stored, not listed here.
    ctrl.append();
    ctrl.setFieldValue("obj_num", 1);
    ctrl.setFieldValue("ser_num", 7);
    ctrl.setFieldValue("ctrl_name", "G");
    ctrl.post();
    EXPECT_EQ(names(), QStringList({"A", "D", "F"}));

    // Moving a controller to another object takes it off this list.
    ASSERT_TRUE(ctrl.locate("ser_num", {4}));
    ctrl.edit();
    ctrl.setFieldValue("obj_num", 3);
    ctrl.post();
    EXPECT_EQ(names(), QStringList({"A", "F"}));

    obj.first();
    EXPECT_EQ(names(), QStringList({"B", "C", "E", "G"}));
    obj.last();
    EXPECT_EQ(names(), QStringList({"D"}));
}

TEST_F(RestrictionTest, DeletingEveryControllerOfAnObjectByLocate) {
    // The object delete's loop: locate the current controller's obj_num, delete, until none.
    for (;;) {
        const int n = ctrl.asInteger("obj_num");
        if (!ctrl.locate("obj_num", {n})) break;
        ctrl.deleteRecord();
    }
    EXPECT_TRUE(ctrl.isEmpty());
    EXPECT_EQ(errorOf([&] { ctrl.deleteRecord(); }), kEmpty);
    obj.next();
    EXPECT_EQ(names(), QStringList({"A", "D"}));
    EXPECT_EQ(fileRows(reg.file("ctrl.dbf")).size(), 2);
}

TEST(DatasetMoveTest, MovingOffAnEditedRowPostsItAndStayingPutDoesNot) {
    TempRegister reg;
    reg.access("A", 1);
    reg.access("B", 2);
    Table t;
    t.setFileName(reg.file("tc.dbf"));
    t.open();
    t.edit();
    t.setFieldValue("ser_num", 10);
    t.setRecNo(0); // the same row: still editing
    EXPECT_EQ(t.state(), Dataset::State::Edit);
    t.next(); // another row: posted first
    EXPECT_EQ(t.state(), Dataset::State::Browse);
    EXPECT_EQ(t.recNo(), 1);
    EXPECT_EQ(fileRows(reg.file("tc.dbf"))[0][1].toLongLong(), 10);
}
