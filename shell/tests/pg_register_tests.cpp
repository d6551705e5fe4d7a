// The register on a real PostgreSQL server: the same rows and images as
// from the data directory, units of work as transactions, changes seen by
// another workstation, refused saves over rows changed meanwhile, a server
// lost in the middle, numbers taken at once.

#include "register/tests/dataset_support.h"
#include "register/tests/pg_support.h"

#include "image/ui/build_controller_dump.h"
#include "register/pg_table_store.h"
#include "register/view.h"

#include <QDate>
#include <QSet>

#include <atomic>
#include <mutex>
#include <random>

using namespace varek;
using namespace varek::test;

namespace {

// A small register with what the codec and the views must carry: Cyrillic
// and quotes, nulls, a date, a controller without keys, a key without rights.
void layDirectory(TempRegister& r) {
    r.obj(1, QStringLiteral("Склад \"Север\""));
    r.obj(3, QStringLiteral("O'Hara ёлка"));
    r.ctrl(1, QStringLiteral("Ворота"), 10);
    r.ctrl(1, QStringLiteral("Дверь 2"), 11);
    r.ctrl(3, QStringLiteral("Пусто"), 12);
    r.token(QStringLiteral("01000000AB12CD34"), QStringLiteral("Иванов И."), 1);
    r.token(QStringLiteral("0100000011223344"), QStringLiteral("Мастер"), 0);
    r.token(QStringLiteral("0100000055667788"), QString(), 1);
    r.access(QStringLiteral("01000000AB12CD34"), 10);
    r.access(QStringLiteral("01000000AB12CD34"), 11);
    r.access(QStringLiteral("0100000011223344"), 10);
}

// Copies every row of from into the (empty) register to, in one unit.
void copyRegister(VarekRegister& from, VarekRegister& to) {
    DurableUnit::run(to, [&] {
        for (auto [src, dst] : {std::pair{&from.taObj(), &to.taObj()},
                                {&from.taCtrl(), &to.taCtrl()},
                                {&from.taTokens(), &to.taTokens()},
                                {&from.taTC(), &to.taTC()}}) {
            const QStringList names = src->fieldNames();
            for (int id = 0; id < src->storedRowCount(); ++id) {
                if (!src->storedRowLive(id)) continue;
                dst->append();
                for (int f = 0; f < names.size(); ++f)
                    dst->setFieldValue(names[f], src->storedValue(id, f));
                dst->post();
            }
        }
    });
}

// The image of every controller, walking the objects and their controllers.
QStringList imagesOf(VarekRegister& reg) {
    QStringList out;
    Table& obj = reg.taObj();
    for (int o = 0; o < obj.recordCount(); ++o) {
        obj.setRecNo(o);
        Table& ctrl = reg.taCtrl();
        for (int c = 0; c < ctrl.recordCount(); ++c) {
            ctrl.setRecNo(c);
            QString name;
            const ControllerImage image = registerImageOf(ctrl, reg.quCtrlToken(), reg.dataSource5(), &name);
            out << name + u':' + image.lines.join(u',') + image.refusal;
        }
    }
    return out;
}

// How many rows a table has in the database, read by a connection of its own.
qint64 countIn(const QString& url, const QString& table) {
    PgConnection c(url);
    c.connect();
    return c.exec(QStringLiteral("SELECT count(*) FROM ") + table).integer(0, 0);
}

QString objName(VarekRegister& reg) {
    return reg.taObj().asString(field::objName);
}

} // namespace

TEST(PgRegister, CopiedRegisterGivesTheSameRowsAndImagesAsTheDirectory) {
    testApp();
    TempRegister dir;
    layDirectory(dir);
    VarekRegister files;
    files.open(dir.dir);
    const QString url = registerDatabase();
    {
        VarekRegister db;
        db.openDatabase(url);
        EXPECT_EQ(db.backend(), VarekRegister::Backend::Database);
        copyRegister(files, db);
    }
    VarekRegister db;
    db.openDatabase(url);
    for (auto [a, b] : {std::pair{&files.taObj(), &db.taObj()},
                        {&files.taCtrl(), &db.taCtrl()},
                        {&files.taTokens(), &db.taTokens()},
                        {&files.taTC(), &db.taTC()}})
        EXPECT_EQ(rowsOf(*a), rowsOf(*b)) << a->fileName().toStdString();
    const QStringList images = imagesOf(files);
    ASSERT_EQ(images.size(), 3);
    EXPECT_EQ(imagesOf(db), images);
    EXPECT_EQ(db.keyCountText(), QStringLiteral("Всего 3"));
    EXPECT_TRUE(db.backendDescription().startsWith(QStringLiteral("PostgreSQL ")))
        << db.backendDescription().toStdString();
    EXPECT_TRUE(files.backendDescription().startsWith(QStringLiteral("каталог ")));
}

TEST(PgRegister, TextsAreKeptToTheWidthsAndCodePageOfTheFiles) {
    testApp();
    VarekRegister db;
    db.openDatabase(registerDatabase());
    Table& obj = db.taObj();
    EXPECT_EQ(obj.fieldWidth(field::objName), 60);
    EXPECT_EQ(db.taTokens().fieldWidth(field::giveDate), 10);
    EXPECT_FALSE(obj.textFit(field::objName, QStringLiteral("€")).fits());
    EXPECT_EQ(obj.textFit(field::objName, QString(61, u'ж')).problem, TextFit::Problem::TooLong);
    // A refused post leaves the row being edited and writes nothing.
    obj.append();
    obj.setFieldValue(field::objNum, 1);
    obj.setFieldValue(field::objName, QString(61, u'ж'));
    EXPECT_THROW(obj.post(), EDatabaseError);
    EXPECT_EQ(obj.state(), Dataset::State::Insert);
    obj.cancel();
    obj.append();
    obj.setFieldValue(field::objNum, 3000000000LL);
    EXPECT_THROW(obj.post(), EDatabaseError);
    obj.cancel();
    EXPECT_EQ(obj.recordCount(), 0);
}

TEST(PgRegister, AFailedUnitLeavesTheDatabaseAsItWas) {
    testApp();
    const QString url = registerDatabase();
    VarekRegister db;
    db.openDatabase(url);
    DurableUnit::run(db, [&] {
        addRow(db.taObj(), {{field::objNum, 1}, {field::objName, QStringLiteral("Офис")}});
        addRow(db.taCtrl(),
               {{field::objNum, 1}, {field::ctrlName, QStringLiteral("Вход")}, {field::serNum, 5}});
    });
    // A key with its rights, and a failure after half of it.
    EXPECT_THROW(
        DurableUnit::run(db,
                         [&] {
                             addRow(db.taTokens(), {{field::tokenCode, QStringLiteral("0100000000000001")}});
                             addRow(db.taTC(), {{field::tokenCode, QStringLiteral("0100000000000001")},
                                                {field::serNum, 5}});
                             throw EDatabaseError(QStringLiteral("planted"));
                         }),
        EDatabaseError);
    EXPECT_EQ(countIn(url, "tokens"), 0);
    EXPECT_EQ(countIn(url, "tc"), 0);
    // The rows in memory follow the database.
    EXPECT_EQ(db.taTokens().recordCount(), 0);
    EXPECT_EQ(db.taTC().recordCount(), 0);
    EXPECT_EQ(db.taCtrl().recordCount(), 1);
    // Deleting the object with its controller: whole, in one unit.
    EXPECT_THROW(DurableUnit::run(db,
                                  [&] {
                                      db.taCtrl().deleteRecord();
                                      throw EDatabaseError(QStringLiteral("planted"));
                                  }),
                 EDatabaseError);
    EXPECT_EQ(countIn(url, "ctrl"), 1);
    EXPECT_EQ(db.taCtrl().recordCount(), 1);
    // A nested unit abandoned undoes the outer one's work too.
    db.beginUnit();
    addRow(db.taObj(), {{field::objNum, 2}});
    try {
        DurableUnit::run(db, [] { throw EDatabaseError(QStringLiteral("planted")); });
    } catch (const EDatabaseError&) {
    }
    db.endUnit();
    EXPECT_EQ(countIn(url, "obj"), 1);
    EXPECT_EQ(db.taObj().recordCount(), 1);
}

TEST(PgRegister, AnotherRegisterSeesChangesAndKeepsItsCurrentRows) {
    testApp();
    const QString url = registerDatabase();
    VarekRegister a, b;
    a.openDatabase(url);
    DurableUnit::run(a, [&] {
        for (int n : {1, 2, 3})
            addRow(a.taObj(), {{field::objNum, n}, {field::objName, QStringLiteral("Объект %1").arg(n)}});
        for (int s : {21, 22})
            addRow(a.taCtrl(),
                   {{field::objNum, 2}, {field::ctrlName, QStringLiteral("К%1").arg(s)}, {field::serNum, s}});
    });
    b.openDatabase(url);
    b.taObj().locate(field::objNum, {2});
    b.taCtrl().locate(field::serNum, {22});
    ASSERT_EQ(b.taCtrl().asInteger(field::serNum), 22);

    // A renames B's current object and deletes the one before it.
    DurableUnit::run(a, [&] {
        a.taObj().locate(field::objNum, {2});
        a.taObj().edit();
        a.taObj().setFieldValue(field::objName, QStringLiteral("Склад"));
        a.taObj().post();
        a.taObj().first();
        a.taObj().deleteRecord();
    });
    ASSERT_TRUE(waitFor([&] { return b.taObj().recordCount() == 2; }));
    EXPECT_EQ(objName(b), QStringLiteral("Склад"));
    EXPECT_EQ(b.taCtrl().asInteger(field::serNum), 22);

    // Access rows: B's view of the current controller's keys runs again.
    DurableUnit::run(a, [&] {
        addRow(a.taTokens(), {{field::tokenCode, QStringLiteral("0100000000000001")}, {field::status, 1}});
        addRow(a.taTC(), {{field::tokenCode, QStringLiteral("0100000000000001")}, {field::serNum, 22}});
    });
    ASSERT_TRUE(waitFor([&] { return b.quCtrlToken().active() && b.quCtrlToken().recordCount() == 1; }));
    EXPECT_EQ(b.keyCountText(), QStringLiteral("Всего 1"));

    // Not while B has a unit open, nor while a row is being edited: after.
    b.beginUnit();
    DurableUnit::run(a, [&] {
        a.taObj().locate(field::objNum, {2});
        a.taObj().edit();
        a.taObj().setFieldValue(field::objName, QStringLiteral("Склад 2"));
        a.taObj().post();
    });
    pump(300);
    EXPECT_EQ(objName(b), QStringLiteral("Склад"));
    b.endUnit();
    EXPECT_EQ(objName(b), QStringLiteral("Склад 2"));

    b.taCtrl().edit();
    b.taCtrl().setFieldValue(field::notes, QStringLiteral("набираю"));
    DurableUnit::run(a, [&] { addRow(a.taObj(), {{field::objNum, 9}}); });
    pump(300);
    EXPECT_EQ(b.taObj().recordCount(), 2);
    EXPECT_EQ(b.taCtrl().fieldValue(field::notes).toString(), QStringLiteral("набираю"));
    b.taCtrl().cancel();
    ASSERT_TRUE(waitFor([&] { return b.taObj().recordCount() == 3; }));

    // Its own changes are not read again.
    int reloads = 0;
    QObject::connect(&a, &VarekRegister::tablesReloaded, [&] { ++reloads; });
    DurableUnit::run(a, [&] { addRow(a.taObj(), {{field::objNum, 10}}); });
    ASSERT_TRUE(waitFor([&] { return b.taObj().recordCount() == 4; }));
    EXPECT_EQ(reloads, 0);
}

// Another workstation's changes are read row by row: what a register holds
// afterwards, row for row and in order, is what a register opened anew reads.
TEST(PgRegister, ChangedRowsReadAloneGiveWhatAFreshOpeningReads) {
    testApp();
    const QString url = registerDatabase();
    VarekRegister a, b;
    a.openDatabase(url);
    const auto code = [](int k) {
        return QStringLiteral("01000000000000%1").arg(k, 2, 10, QLatin1Char('0'));
    };
    DurableUnit::run(a, [&] {
        addRow(a.taObj(), {{field::objNum, 1}, {field::objName, QStringLiteral("Склад")}});
        for (int s : {11, 12, 13})
            addRow(a.taCtrl(), {{field::objNum, 1}, {field::serNum, s}});
        for (int k = 1; k <= 6; ++k) {
            addRow(a.taTokens(), {{field::tokenCode, code(k)},
                                  {field::userName, QStringLiteral("Ключ %1").arg(k)},
                                  {field::status, 1}});
            for (int s : {11, 12, 13})
                addRow(a.taTC(), {{field::tokenCode, code(k)}, {field::serNum, s}});
        }
    });
    b.openDatabase(url);
    b.taTokens().locate(field::tokenCode, {code(3)});

    // Changed, deleted and added rows of every kind, the current key renamed.
    DurableUnit::run(a, [&] {
        a.taTokens().locate(field::tokenCode, {code(3)});
        a.taTokens().edit();
        a.taTokens().setFieldValue(field::userName, QStringLiteral("Ёлкин"));
        a.taTokens().post();
        a.taTokens().locate(field::tokenCode, {code(1)});
        a.taTokens().deleteRecord();
        a.taTC().deleteMatching(field::tokenCode, code(1));
        a.taTC().deleteMatching(field::serNum, 12);
        addRow(a.taTokens(), {{field::tokenCode, code(7)}, {field::status, 0}});
        addRow(a.taTC(), {{field::tokenCode, code(7)}, {field::serNum, 13}});
    });
    ASSERT_TRUE(waitFor([&] { return b.taTokens().asString(field::userName) == QStringLiteral("Ёлкин"); }));
    ASSERT_TRUE(waitFor([&] { return b.taTC().liveRowCount() == a.taTC().liveRowCount(); }));
    // Read row by row: the deleted rows are still counted among the stored ones.
    EXPECT_GT(b.taTC().storedRowCount(), b.taTC().liveRowCount());
    EXPECT_EQ(b.taTokens().asString(field::tokenCode), code(3));
    {
        VarekRegister fresh;
        fresh.openDatabase(url);
        EXPECT_EQ(rowsOf(b.taTokens()), rowsOf(fresh.taTokens()));
        EXPECT_EQ(rowsOf(b.taTC()), rowsOf(fresh.taTC()));
    }

    // A row added at A before B's own but saved after it: read in the
    // order of the rows, as a fresh opening reads it.
    a.beginUnit();
    addRow(a.taTC(), {{field::tokenCode, code(2)}, {field::serNum, 12}});
    DurableUnit::run(b, [&] { addRow(b.taTC(), {{field::tokenCode, code(4)}, {field::serNum, 12}}); });
    a.endUnit();
    ASSERT_TRUE(waitFor([&] { return b.taTC().liveRowCount() == a.taTC().liveRowCount(); }));
    VarekRegister fresh;
    fresh.openDatabase(url);
    EXPECT_EQ(rowsOf(b.taTC()), rowsOf(fresh.taTC()));
    EXPECT_EQ(rowsOf(a.taTC()), rowsOf(fresh.taTC()));
}

TEST(PgRegister, ASaveOverARowChangedMeanwhileIsRefusedAndSucceedsAfterwards) {
    testApp();
    const QString url = registerDatabase();
    VarekRegister a, b;
    a.openDatabase(url);
    DurableUnit::run(a, [&] {
        addRow(a.taObj(), {{field::objNum, 1}, {field::objName, QStringLiteral("Старое")}});
    });
    b.openDatabase(url);
    b.beginUnit(); // B's operation is under way (its editor open) while A saves
    DurableUnit::run(a, [&] {
        a.taObj().edit();
        a.taObj().setFieldValue(field::objName, QStringLiteral("От A"));
        a.taObj().post();
    });
    b.taObj().edit();
    b.taObj().setFieldValue(field::objName, QStringLiteral("От B"));
    const QString refusal = errorOf([&] { b.taObj().post(); });
    EXPECT_TRUE(refusal.startsWith(QStringLiteral("Запись изменена на другом рабочем месте")))
        << refusal.toStdString();
    EXPECT_TRUE(refusal.contains(QStringLiteral("сохраните ещё раз")));
    b.taObj().cancel();
    b.refresh(); // what the editors do before offering the save again
    EXPECT_EQ(objName(b), QStringLiteral("От A"));
    b.taObj().edit();
    b.taObj().setFieldValue(field::objName, QStringLiteral("От B"));
    b.taObj().post();
    b.endUnit();
    ASSERT_TRUE(waitFor([&] { return objName(a) == QStringLiteral("От B"); }));

    // Deleting a row changed meanwhile is refused the same way.
    DurableUnit::run(b, [&] {
        b.taObj().edit();
        b.taObj().setFieldValue(field::addr, QStringLiteral("ул. Ленина"));
        b.taObj().post();
    });
    EXPECT_THROW(DurableUnit::run(a, [&] { a.taObj().deleteRecord(); }), ERowChanged);
    EXPECT_EQ(countIn(url, "obj"), 1);
    EXPECT_EQ(a.taObj().asString(field::addr), QStringLiteral("ул. Ленина")); // read anew
}

TEST(PgRegister, NoRightOutlivesItsControllerWhenBothChangeAtOnce) {
    testApp();
    const QString url = registerDatabase();
    VarekRegister a, b;
    a.openDatabase(url);
    DurableUnit::run(a, [&] {
        addRow(a.taObj(), {{field::objNum, 1}});
        addRow(a.taCtrl(), {{field::objNum, 1}, {field::serNum, 7}});
        addRow(a.taTokens(), {{field::tokenCode, QStringLiteral("0100000000000001")}});
    });
    b.openDatabase(url);
    // B deletes the controller, then A, not yet aware, grants a right to it.
    DurableUnit::run(b, [&] { b.taCtrl().deleteRecord(); });
    EXPECT_THROW(DurableUnit::run(a,
                                  [&] {
                                      addRow(a.taTC(),
                                             {{field::tokenCode, QStringLiteral("0100000000000001")},
                                              {field::serNum, 7}});
                                  }),
                 ERowChanged);
    EXPECT_EQ(countIn(url, "tc"), 0);
    // A controller for an object deleted meanwhile is refused too.
    DurableUnit::run(b, [&] { b.taObj().deleteRecord(); });
    EXPECT_THROW(DurableUnit::run(a,
                                  [&] {
                                      addRow(a.taCtrl(), {{field::objNum, 1}, {field::serNum, 8}});
                                  }),
                 ERowChanged);
    EXPECT_EQ(countIn(url, "ctrl"), 0);
    EXPECT_EQ(a.taObj().recordCount(), 0);
}

TEST(PgRegister, ALostServerRefusesTheUnitAndTheNextOneConnectsAgain) {
    testApp();
    const QString url = registerDatabase();
    VarekRegister db;
    db.openDatabase(url);
    DurableUnit::run(db, [&] { addRow(db.taObj(), {{field::objNum, 1}}); });
    QString message;
    try {
        DurableUnit::run(db, [&] {
            addRow(db.taObj(), {{field::objNum, 2}});
            TestPgServer::shared().stop();
            addRow(db.taObj(), {{field::objNum, 3}});
        });
        ADD_FAILURE() << "no error";
    } catch (const EPgError& e) {
        EXPECT_TRUE(e.connectionLost());
        message = e.message();
    }
    EXPECT_TRUE(message.contains(QStringLiteral("Связь с сервером базы данных потеряна")))
        << message.toStdString();
    // While the server is away a new unit is refused with the reason.
    EXPECT_THROW(db.beginUnit(), EPgError);
    EXPECT_FALSE(db.unitOpen());
    TestPgServer::shared().start();
    DurableUnit::run(db, [&] { addRow(db.taObj(), {{field::objNum, 4}}); });
    EXPECT_EQ(countIn(url, "obj"), 2);
    QStringList nums;
    for (int i = 0; i < db.taObj().recordCount(); ++i)
        nums << db.taObj().value(i, 0).toString();
    EXPECT_EQ(nums, QStringList({"1", "4"}));
}

namespace {

// Runs body(index) in count threads at once, each a QThread (the registers'
// socket notifiers need one), and waits for all.
void inThreads(int count, const std::function<void(int)>& body) {
    std::vector<std::unique_ptr<QThread>> threads;
    for (int i = 0; i < count; ++i)
        threads.emplace_back(QThread::create([&body, i] { body(i); }));
    for (auto& t : threads)
        t->start();
    for (auto& t : threads)
        t->wait();
}

QList<qint64> columnOf(const QString& url, const QString& sql) {
    PgConnection c(url);
    c.connect();
    const PgResult r = c.exec(sql);
    QList<qint64> out;
    for (int i = 0; i < r.rows(); ++i)
        out << r.integer(i, 0);
    return out;
}

} // namespace

TEST(PgRegister, SimultaneousAddsGetDistinctNumbers) {
    testApp();
    const QString url = registerDatabase();
    std::atomic<int> failures{0};
    inThreads(3, [&](int) {
        VarekRegister reg;
        reg.openDatabase(url);
        for (int i = 0; i < 15; ++i) {
            try {
                DurableUnit::run(reg, [&] {
                    const qint64 n = *reg.nextNumber(reg.taObj(), field::objNum);
                    addRow(reg.taObj(), {{field::objNum, n}});
                    const qint64 s = *reg.nextNumber(reg.taCtrl(), field::serNum);
                    addRow(reg.taCtrl(), {{field::objNum, n}, {field::serNum, s}});
                });
            } catch (const VarekError&) {
                ++failures;
            }
        }
    });
    EXPECT_EQ(failures, 0);
    const QList<qint64> objs = columnOf(url, "SELECT obj_num FROM obj ORDER BY obj_num");
    const QList<qint64> ctrls = columnOf(url, "SELECT ser_num FROM ctrl ORDER BY ser_num");
    ASSERT_EQ(objs.size(), 45);
    ASSERT_EQ(ctrls.size(), 45);
    EXPECT_EQ(objs.front(), 1);
    EXPECT_EQ(objs.back(), 45); // distinct and gapless
    EXPECT_EQ(ctrls.back(), 45);
    // The data directory's register counts over its rows instead.
    TempRegister dir;
    VarekRegister files;
    files.open(dir.dir);
    EXPECT_FALSE(files.nextNumber(files.taObj(), field::objNum).has_value());
}

namespace {

// A key's rights as its row records them in this test: "R" and the
// controllers as ser_num/row id, so that a later controller given the same
// number is told apart.
QString rightsText(const QList<std::pair<qint32, quint32>>& rights) {
    QStringList parts;
    for (const auto& [ser, id] : rights)
        parts << QStringLiteral("%1/%2").arg(ser).arg(id);
    parts.sort();
    return QStringLiteral("R") + parts.join(u',');
}

// One workstation's random operations, each a unit of work, for ms
// milliseconds; refusals (rows changed meanwhile) are part of the game.
struct Operator {
    VarekRegister& reg;
    int index;
    std::mt19937 random;
    int codes = 0;
    int done = 0, refused = 0;
    QStringList numberFailures;

    int pick(int n) { return std::uniform_int_distribution<int>(0, n - 1)(random); }

    QList<std::pair<qint32, quint32>> someControllers() {
        Table& ctrl = reg.taCtrl();
        QList<std::pair<qint32, quint32>> out;
        const int f = ctrl.fieldIndex(field::serNum);
        for (int id = 0; id < ctrl.storedRowCount(); ++id)
            if (ctrl.storedRowLive(id) && pick(3) == 0 && out.size() < 4) {
                ctrl.detachMaster();
                const int row = ctrl.rowOfStored(id);
                ctrl.setRecNo(row);
                out.append({qint32(ctrl.storedValue(id, f).toLongLong()), *ctrl.currentKey()});
                ctrl.attachMaster();
            }
        return out;
    }

    void applyRights(const QString& code, const QList<std::pair<qint32, quint32>>& rights) {
        Table& tc = reg.taTC();
        QSet<qint32> wanted;
        for (const auto& r : rights)
            wanted.insert(r.first);
        QVariantList gone;
        const int codeField = tc.fieldIndex(field::tokenCode), serField = tc.fieldIndex(field::serNum);
        std::vector<int> ids;
        tc.lookup(codeField, code, &ids);
        QSet<qint32> have;
        for (int id : ids)
            have.insert(qint32(tc.storedValue(id, serField).toLongLong()));
        for (qint32 s : have)
            if (!wanted.contains(s)) {
                tc.locate(field::tokenCode + u';' + field::serNum, {code, s});
                tc.deleteRecord();
            }
        for (qint32 s : wanted)
            if (!have.contains(s)) addRow(tc, {{field::tokenCode, code}, {field::serNum, s}});
    }

    void step() {
        Table& obj = reg.taObj();
        Table& ctrl = reg.taCtrl();
        Table& tokens = reg.taTokens();
        switch (pick(8)) {
        case 0: {
            const qint64 n = *reg.nextNumber(obj, field::objNum);
            addRow(obj, {{field::objNum, n}, {field::objName, QStringLiteral("Объект %1").arg(n)}});
            break;
        }
        case 1:
        case 2: {
            if (obj.isEmpty()) return;
            obj.setRecNo(pick(obj.recordCount()));
            const qint64 s = *reg.nextNumber(ctrl, field::serNum);
            addRow(ctrl,
                   {{field::objNum, obj.asInteger(field::objNum)}, {field::serNum, s}, {field::openTime, 5}});
            break;
        }
        case 3: {
            if (obj.isEmpty()) return;
            obj.setRecNo(pick(obj.recordCount()));
            obj.edit();
            obj.setFieldValue(field::objName, QStringLiteral("Правка %1").arg(index));
            obj.post();
            break;
        }
        case 4: { // an object with its controllers and their access rows
            if (obj.isEmpty() || pick(3) != 0) return;
            obj.setRecNo(pick(obj.recordCount()));
            QVariantList sers;
            for (ctrl.first(); !ctrl.eof(); ctrl.next())
                sers << ctrl.asInteger(field::serNum);
            reg.taTC().deleteMatching(field::serNum, sers);
            while (!ctrl.isEmpty()) {
                ctrl.first();
                ctrl.deleteRecord();
            }
            obj.deleteRecord();
            break;
        }
        case 5: {
            const QString code = QStringLiteral("01%1%2")
                                     .arg(index, 2, 10, QLatin1Char('0'))
                                     .arg(++codes, 12, 10, QLatin1Char('0'));
            const auto rights = someControllers();
            addRow(tokens,
                   {{field::tokenCode, code}, {field::userName, rightsText(rights)}, {field::status, 1}});
            applyRights(code, rights);
            break;
        }
        case 6: {
            if (tokens.isEmpty()) return;
            tokens.setRecNo(pick(tokens.recordCount()));
            const QString code = tokens.asString(field::tokenCode);
            const auto rights = someControllers();
            tokens.edit();
            tokens.setFieldValue(field::userName, rightsText(rights));
            tokens.post();
            applyRights(code, rights);
            break;
        }
        case 7: {
            if (tokens.isEmpty() || pick(2) != 0) return;
            tokens.setRecNo(pick(tokens.recordCount()));
            const QString code = tokens.asString(field::tokenCode);
            reg.taTC().deleteMatching(field::tokenCode, code);
            tokens.deleteRecord();
            break;
        }
        }
    }

    void run(int ms) {
        QElapsedTimer t;
        t.start();
        while (t.elapsed() < ms) {
            try {
                DurableUnit::run(reg, [&] { step(); });
                ++done;
            } catch (const ERowChanged& e) {
                if (e.message().contains(QStringLiteral("Такая запись уже есть")))
                    numberFailures << e.message();
                ++refused;
            } catch (const VarekError&) {
                ++refused; // a deadlock the server broke, say
            }
            QCoreApplication::processEvents();
        }
    }
};

} // namespace

// The lines only one of a and b has, marked - and +; "" when they are equal.
std::string differences(const QStringList& a, const QStringList& b) {
    if (a == b) return {};
    QStringList out;
    for (const QString& line : a)
        if (!b.contains(line)) out << u'-' + line.left(200);
    for (const QString& line : b)
        if (!a.contains(line)) out << u'+' + line.left(200);
    if (out.isEmpty()) out << QStringLiteral("(the same lines in another order)");
    return out.join(u'\n').toStdString();
}

TEST(PgRegister, RegistersWorkingAtOnceKeepEveryRowAsLastSaved) {
    testApp();
    const QString url = registerDatabase();
    std::mutex m;
    QList<QStringList> finalImages, finalRows;
    std::atomic<int> done{0}, refused{0}, stopped{0};
    QStringList numberFailures;
    inThreads(3, [&](int i) {
        VarekRegister reg;
        reg.openDatabase(url);
        Operator op{reg, i, std::mt19937(1234u + unsigned(i))};
        op.run(3000);
        // Then, when all have stopped, every workstation catches up with the others.
        ++stopped;
        while (stopped < 3)
            QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
        QElapsedTimer t;
        t.start();
        while (t.elapsed() < 1000) {
            QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
            QThread::msleep(5);
        }
        const QStringList images = imagesOf(reg);
        QStringList rows;
        for (Table* table : {&reg.taObj(), &reg.taCtrl(), &reg.taTokens(), &reg.taTC()})
            rows << rowsOf(*table);
        std::lock_guard lock(m);
        finalImages << images;
        finalRows << rows;
        done += op.done;
        refused += op.refused;
        numberFailures << op.numberFailures;
    });
    EXPECT_GT(done, 30);
    EXPECT_TRUE(numberFailures.isEmpty()) << numberFailures.join('\n').toStdString();

    // The final rows, read by a register of its own.
    VarekRegister fresh;
    fresh.openDatabase(url);
    QStringList rows;
    for (Table* table : {&fresh.taObj(), &fresh.taCtrl(), &fresh.taTokens(), &fresh.taTC()})
        rows << rowsOf(*table);
    const QStringList images = imagesOf(fresh);
    for (int i = 0; i < finalImages.size(); ++i) {
        EXPECT_EQ(differences(finalRows[i], rows), "") << "workstation " << i;
        EXPECT_EQ(differences(finalImages[i], images), "") << "workstation " << i;
    }
    // Numbers are distinct (the constraints say so) and every key's access
    // rows are exactly the rights its row was last saved with, less the
    // controllers deleted since.
    QHash<qint64, qint64> controllerId; // ser_num -> row id
    {
        PgConnection c(url);
        c.connect();
        const PgResult r = c.exec("SELECT ser_num, row_id FROM ctrl");
        for (int i = 0; i < r.rows(); ++i)
            controllerId.insert(r.integer(i, 0), r.integer(i, 1));
        const PgResult keys = c.exec("SELECT token_code, user_name FROM tokens");
        int withRights = 0;
        for (int k = 0; k < keys.rows(); ++k) {
            const QString code = keys.text(k, 0);
            QSet<qint64> expected;
            const QString saved = keys.text(k, 1).mid(1);
            for (const QString& part : saved.split(u',', Qt::SkipEmptyParts)) {
                const qint64 ser = part.section(u'/', 0, 0).toLongLong();
                const qint64 id = part.section(u'/', 1, 1).toLongLong();
                if (controllerId.value(ser, -1) == id) expected.insert(ser);
            }
            QSet<qint64> actual;
            const PgResult tc = c.exec("SELECT ser_num FROM tc WHERE token_code = $1", {code});
            for (int i = 0; i < tc.rows(); ++i)
                actual.insert(tc.integer(i, 0));
            EXPECT_EQ(actual, expected) << code.toStdString() << " saved as " << saved.toStdString();
            if (!actual.isEmpty()) ++withRights;
        }
        EXPECT_GT(withRights, 0);
        // No access row without its key or its controller.
        EXPECT_EQ(c.exec("SELECT count(*) FROM tc WHERE ser_num NOT IN (SELECT ser_num FROM ctrl) OR "
                         "token_code NOT IN "
                         "(SELECT token_code FROM tokens)")
                      .integer(0, 0),
                  0);
    }
}
