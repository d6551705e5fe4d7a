// The rows kept by column: every value reads back exactly as it was put
// (type, value, null or empty), through appends, rewrites and deletes, and
// the indexes and the ordering agree with the values.
#include "dbase/dbf.h"
#include "register/row_order.h"
#include "register/row_store.h"
#include "register/table.h"
#include "register/values.h"

#include <QDate>
#include <QTemporaryDir>
#include <gtest/gtest.h>

#include <algorithm>
#include <limits>
#include <numeric>

using namespace varek;
using Kind = RowStore::Kind;

namespace {

constexpr qint64 kMin32 = std::numeric_limits<qint32>::min();
constexpr qint64 kMax32 = std::numeric_limits<qint32>::max();

bool same(const QVariant& a, const QVariant& b) {
    if (a.typeId() != b.typeId() || a.isValid() != b.isValid()) return false;
    if (a.typeId() == QMetaType::QString && a.toString().isNull() != b.toString().isNull()) return false;
    return a == b;
}

struct Case {
    Kind kind;
    QVariant value;
};

// Values of each kind of column, and values the column's kind does not hold.
const std::vector<Case>& cases() {
    static const std::vector<Case> all = {
        {Kind::Text, QString("")},
        {Kind::Text, QString()},
        {Kind::Text, QString("Иванов  ")},
        {Kind::Text, QString("ёлка Ёж")},
        {Kind::Text, QString(254, QChar(u'ж'))},
        {Kind::Text, QString("строка 1\r\nстрока 2")},
        {Kind::Text, QVariant()},
        {Kind::Text, QVariant::fromValue<qint64>(5)},
        {Kind::Text, QDate(2024, 1, 31)},
        {Kind::Integer, QVariant::fromValue<qint64>(0)},
        {Kind::Integer, QVariant::fromValue<qint64>(-1)},
        {Kind::Integer, QVariant::fromValue<qint64>(kMax32)},
        {Kind::Integer, QVariant::fromValue<qint64>(kMin32)},
        {Kind::Integer, QVariant::fromValue<qint64>(kMin32 + 1)},
        {Kind::Integer, QVariant::fromValue<qint64>(1LL << 40)},
        {Kind::Integer, QVariant::fromValue<qint64>(-(1LL << 40))},
        {Kind::Integer, QVariant()},
        {Kind::Integer, QVariant::fromValue<qint32>(7)},
        {Kind::Integer, QString("12")},
        {Kind::Integer, 1.5},
        {Kind::Int32, QVariant::fromValue<qint32>(-7)},
        {Kind::Int32, QVariant::fromValue<qint32>(std::numeric_limits<qint32>::min())},
        {Kind::Int32, QVariant()},
        {Kind::Int32, QVariant::fromValue<qint64>(5)},
        {Kind::Date, QDate(2024, 2, 29)},
        {Kind::Date, QDate(1, 1, 1)},
        {Kind::Date, QDate(9999, 12, 31)},
        {Kind::Date, QDate()},
        {Kind::Date, QVariant()},
        {Kind::Date, QString("31.01.2024")},
        {Kind::Any, true},
        {Kind::Any, 2.5},
        {Kind::Any, QVariant()},
    };
    return all;
}

// Two fields, a text and an integer, each with its index.
RowStore indexedTextAndNumber() {
    RowStore rows;
    rows.reset(2);
    rows.setKind(0, Kind::Text);
    rows.setKind(1, Kind::Integer);
    rows.addIndex(0, false);
    rows.addIndex(1, true);
    return rows;
}

} // namespace

TEST(RowStore, EveryValueReadsBackExactlyThroughAppendsRewritesAndDeletes) {
    for (const Kind kind : {Kind::Text, Kind::Integer, Kind::Int32, Kind::Date, Kind::Any}) {
        std::vector<QVariant> values;
        for (const Case& c : cases())
            if (c.kind == kind) values.push_back(c.value);
        RowStore rows;
        rows.reset(2);
        rows.setKind(0, kind);
        rows.setKind(1, Kind::Integer);
        for (size_t i = 0; i < values.size(); ++i) {
            QVector<QVariant> row{values[i], QVariant::fromValue<qint64>(qint64(i))};
            if (i % 2)
                rows.appendLoaded(quint32(i), std::move(row));
            else
                rows.append(quint32(i), std::move(row));
        }
        for (int id = 0; id < rows.size(); ++id) {
            SCOPED_TRACE(values[id].toString().toStdString());
            EXPECT_TRUE(same(rows.at(id, 0), values[id])) << int(kind);
            EXPECT_EQ(rows.at(id, 1).toLongLong(), id);
            QAnyStringView view;
            if (rows.textView(id, 0, &view)) // the views' way to the text: the same characters
                EXPECT_EQ(view.toString(), values[id].toString());
            else
                EXPECT_TRUE(kind != Kind::Text || values[id].typeId() != QMetaType::QString ||
                            values[id].toString().isNull());
        }
        // Each row rewritten with its neighbour's value, then with its own again.
        const int n = rows.size();
        for (int id = 0; id < n; ++id)
            rows.set(id, {values[(id + 1) % n], QVariant()});
        for (int id = 0; id < n; ++id)
            EXPECT_TRUE(same(rows.at(id, 0), values[(id + 1) % n])) << int(kind) << " row " << id;
        for (int id = 0; id < n; ++id)
            rows.set(id, {values[id], QVariant()});
        for (int id = 0; id < n; ++id) {
            EXPECT_TRUE(same(rows.at(id, 0), values[id])) << int(kind) << " row " << id;
            EXPECT_FALSE(rows.at(id, 1).isValid());
        }
        rows.kill(0);
        EXPECT_FALSE(rows.live(0));
        EXPECT_FALSE(rows.at(0, 0).isValid());
        EXPECT_EQ(rows.liveCount(), n - 1);
        EXPECT_TRUE(same(rows.values(1)[0], values[1]));
    }
}

// Cells and index links are packed as narrow as their largest number: the
// values and the chains hold as the rows grow past each width, loaded or
// appended, and when a negative number widens an integer column at the end.
TEST(RowStore, ValuesAndIndexesHoldAsTheRowsGrowPastEachWidth) {
    RowStore rows = indexedTextAndNumber();
    const auto textOf = [](int i) { return QString("k%1").arg(i / 2); };
    const auto numberOf = [](int i) { return qint64(i % 1000); };
    const int loaded = 40'000, appended = 30'000;
    for (int i = 0; i < loaded; ++i)
        rows.appendLoaded(quint32(i), {textOf(i), QVariant::fromValue(numberOf(i))});
    rows.indexLoaded();
    for (int i = loaded; i < loaded + appended; ++i) // past 2^16 rows and 2^15 texts
        rows.append(quint32(i), {textOf(i), QVariant::fromValue(numberOf(i))});
    rows.kill(5);
    const int last = rows.append(quint32(rows.size()), {QString("k0"), QVariant::fromValue<qint64>(-3)});
    for (int id = 0; id < rows.size(); id += 997) {
        if (id == 5) continue;
        EXPECT_EQ(rows.at(id, 0).toString(), id == last ? QString("k0") : textOf(id)) << id;
        EXPECT_EQ(rows.at(id, 1).toLongLong(), id == last ? -3 : numberOf(id)) << id;
    }
    EXPECT_EQ(rows.at(last, 1).toLongLong(), -3);
    std::vector<int> ids;
    EXPECT_EQ(rows.lookup(0, QString("k0"), &ids), 3);
    EXPECT_EQ(ids, (std::vector<int>{0, 1, last}));
    EXPECT_EQ(rows.lookup(0, textOf(loaded + appended - 1), &ids), 2);
    EXPECT_EQ(ids, (std::vector<int>{loaded + appended - 2, loaded + appended - 1}));
    EXPECT_EQ(rows.lookup(1, QVariant::fromValue<qint64>(5), &ids), (loaded + appended) / 1000 - 1);
    EXPECT_EQ(ids.front(), 1005);
    EXPECT_EQ(ids.back(), 69'005);
    EXPECT_EQ(rows.lookup(1, QVariant::fromValue<qint64>(-3), &ids), 1);
    EXPECT_EQ(ids, (std::vector<int>{last}));
}

// A column whose texts move into another store's pool reads, views and
// finds every row as before, a text the other lacked included; edits on
// either side afterwards keep both right.
TEST(RowStore, TextsKeptInAnotherStoresPoolReadAndFindTheSame) {
    RowStore keys, access;
    for (RowStore* r : {&keys, &access}) {
        r->reset(2);
        r->setKind(0, Kind::Text);
        r->setKind(1, Kind::Integer);
        r->addIndex(0, false);
    }
    for (int i = 0; i < 100; ++i)
        keys.appendLoaded(quint32(i), {QString("code%1").arg(i), QVariant::fromValue<qint64>(i)});
    keys.indexLoaded();
    for (int i = 0; i < 300; ++i)
        access.appendLoaded(quint32(i),
                            {QString("code%1").arg((i * 7) % 100), QVariant::fromValue<qint64>(i)});
    access.appendLoaded(300, {QString("чужой"), QVariant()});               // not among the keys
    access.appendLoaded(301, {QVariant::fromValue<qint64>(5), QVariant()}); // kept aside
    access.indexLoaded();
    access.kill(3);
    const auto snapshot = [&] {
        std::vector<QVariant> v;
        for (int id = 0; id < access.size(); ++id)
            v.push_back(access.at(id, 0));
        return v;
    };
    const std::vector<QVariant> before = snapshot();
    std::vector<int> rowsBefore, rowsAfter;
    EXPECT_EQ(access.lookup(0, QString("code7"), &rowsBefore), 3);

    access.shareTexts(0, keys, 0);
    const std::vector<QVariant> after = snapshot();
    ASSERT_EQ(after.size(), before.size());
    for (size_t i = 0; i < before.size(); ++i)
        EXPECT_TRUE(same(after[i], before[i])) << i;
    QAnyStringView view;
    ASSERT_TRUE(access.textView(300, 0, &view));
    EXPECT_EQ(view.toString(), QString("чужой"));
    EXPECT_EQ(access.lookup(0, QString("code7"), &rowsAfter), 3);
    EXPECT_EQ(rowsAfter, rowsBefore);
    EXPECT_EQ(access.lookupText(0, u"чужой", &rowsAfter), 1);
    EXPECT_EQ(access.lookup(0, QString("5"), nullptr), 1);
    EXPECT_EQ(keys.lookup(0, QString("чужой"), nullptr), 0); // in the pool, not among the keys' rows
    EXPECT_EQ(access.compare(0, 1, 0), compareValues(before[0], before[1]));

    const int added = access.append(302, {QString("новый"), QVariant()});
    keys.set(0, {QString("новый"), QVariant::fromValue<qint64>(0)});
    EXPECT_EQ(access.at(added, 0).toString(), QString("новый"));
    EXPECT_EQ(access.lookup(0, QString("новый"), &rowsAfter), 1);
    EXPECT_EQ(keys.lookup(0, QString("новый"), &rowsAfter), 1);
    EXPECT_EQ(rowsAfter, (std::vector<int>{0}));
    EXPECT_EQ(access.lookup(0, QString("code0"), nullptr), 3); // the keys' edit left the access rows alone
}

// A column without an index lets go of its lookup of texts once loaded; the
// first text put after that makes it again, so texts are still kept once.
TEST(RowStore, TextsPutAfterLoadingAreStillKeptOnce) {
    RowStore rows;
    rows.reset(2);
    rows.setKind(0, Kind::Text); // no index
    rows.setKind(1, Kind::Text);
    rows.addIndex(1, false);
    const auto text = [](int i) { return QStringLiteral("владелец %1").arg(i); };
    for (int i = 0; i < 1000; ++i)
        rows.appendLoaded(quint32(i), {text(i % 300), text(i)});
    rows.indexLoaded();
    const size_t loaded = rows.memoryBytes();

    rows.set(0, {text(299), text(0)}); // a text already there
    const size_t lookupAgain = rows.memoryBytes();
    EXPECT_GT(lookupAgain, loaded);
    for (int i = 0; i < 1000; ++i)
        rows.set(i, {text((i + 7) % 300), text(i)});
    EXPECT_EQ(rows.memoryBytes(), lookupAgain) << "a text already kept was kept again";
    rows.set(5, {QStringLiteral("новый"), text(5)});
    for (int i = 0; i < 1000; ++i) {
        const QString want = i == 5 ? QStringLiteral("новый") : text((i + 7) % 300);
        ASSERT_EQ(rows.at(i, 0).toString(), want) << i;
        QAnyStringView view;
        ASSERT_TRUE(rows.textView(i, 0, &view));
        EXPECT_EQ(view.toString(), want);
    }
    std::vector<int> found;
    EXPECT_EQ(rows.lookupText(1, text(999), &found), 1);
    EXPECT_EQ(found, std::vector<int>{999});
    EXPECT_LT(rows.compare(0, 1, 0), 0); // "владелец 7" < "владелец 8"
}

// A column whose texts are all ASCII keeps them one byte a character, and
// turns to two at its first other text; either way a text is found by a key
// of either width, reads back and sorts the same.
TEST(RowStore, TextsAreFoundAndReadTheSameInOneByteAndTwo) {
    const QString codes[] = {QStringLiteral("0100000000000163"), QStringLiteral("0100000000000281"),
                             QStringLiteral(""), QStringLiteral("A\"b,c")};
    RowStore narrow;
    narrow.reset(1);
    narrow.setKind(0, Kind::Text);
    narrow.addIndex(0, false);
    for (int i = 0; i < 400; ++i)
        narrow.appendLoaded(quint32(i),
                            {i < 4 ? codes[i] : QStringLiteral("%1").arg(i, 16, 10, QChar(u'0'))});
    narrow.indexLoaded();
    const size_t oneByte = narrow.memoryBytes();

    RowStore widened; // the same texts, and one that is not ASCII at the end
    widened.reset(1);
    widened.setKind(0, Kind::Text);
    widened.addIndex(0, false);
    for (int i = 0; i < 400; ++i)
        widened.appendLoaded(quint32(i), {narrow.at(i, 0)});
    widened.appendLoaded(400, {QStringLiteral("Ключ №5")});
    widened.indexLoaded();
    EXPECT_LT(oneByte + 400 * 16 / 2, widened.memoryBytes()) << "ASCII texts should take a byte a character";

    for (RowStore* rows : {&narrow, &widened}) {
        for (int i = 0; i < 4; ++i) {
            SCOPED_TRACE(i);
            const QByteArray latin1 = codes[i].toLatin1();
            std::vector<int> a, b;
            EXPECT_EQ(rows->lookupText(0, QStringView(codes[i]), &a), 1);
            EXPECT_EQ(rows->lookupText(0, QLatin1StringView(latin1), &b), 1);
            EXPECT_EQ(a, std::vector<int>{i});
            EXPECT_EQ(b, a);
            EXPECT_TRUE(same(rows->at(i, 0), QVariant(codes[i])));
            QAnyStringView view;
            ASSERT_TRUE(rows->textView(i, 0, &view));
            EXPECT_EQ(view, codes[i]);
        }
        EXPECT_EQ(rows->lookupText(0, QStringView(u"Ключ №5"), nullptr), rows == &widened ? 1 : 0);
        EXPECT_EQ(rows->lookupText(0, QLatin1StringView("01000000000001"), nullptr), 0);
        EXPECT_GT(rows->compare(3, 0, 0), 0); // "A..." after "0..."
        EXPECT_LT(rows->compare(2, 1, 0), 0); // "" first
    }
    // Putting a text that is not ASCII into the one-byte column turns it: the
    // texts already there stay found, under either key.
    narrow.set(5, {QStringLiteral("Ёлка")});
    std::vector<int> found;
    EXPECT_EQ(narrow.lookupText(0, QLatin1StringView("0100000000000281"), &found), 1);
    EXPECT_EQ(found, std::vector<int>{1});
    EXPECT_EQ(narrow.lookupText(0, QStringView(u"Ёлка"), &found), 1);
    EXPECT_EQ(found, std::vector<int>{5});
    EXPECT_EQ(narrow.at(6, 0).toString(), QStringLiteral("%1").arg(6, 16, 10, QChar(u'0')));
}

TEST(RowStore, CompareOfTwoRowsAgreesWithTheirValues) {
    for (const Kind kind : {Kind::Text, Kind::Integer, Kind::Int32, Kind::Date}) {
        RowStore rows;
        rows.reset(1);
        rows.setKind(0, kind);
        std::vector<QVariant> values;
        for (const Case& c : cases())
            if (c.kind == kind) values.push_back(c.value);
        if (kind == Kind::Text) values.push_back(QString("ёлка Ёж")); // the same text twice
        for (const QVariant& v : values)
            rows.appendLoaded(0, {v});
        const auto sign = [](int x) { return x < 0 ? -1 : (x > 0 ? 1 : 0); };
        for (int a = 0; a < rows.size(); ++a)
            for (int b = 0; b < rows.size(); ++b)
                EXPECT_EQ(sign(rows.compare(a, b, 0)), sign(compareValues(rows.at(a, 0), rows.at(b, 0))))
                    << values[a].toString().toStdString() << " / " << values[b].toString().toStdString();
    }
}

TEST(RowStore, IndexesFindRowsByTextAndNumberAcrossChanges) {
    RowStore rows = indexedTextAndNumber();
    const qint64 big = 1LL << 40;
    rows.appendLoaded(0, {QString("A"), QVariant::fromValue<qint64>(1)});
    rows.appendLoaded(1, {QString("B"), QVariant::fromValue<qint64>(big)});
    rows.appendLoaded(2, {QString("A"), QVariant::fromValue<qint64>(1)});
    rows.appendLoaded(3, {QVariant::fromValue<qint64>(5), QVariant()}); // a number in a text field
    rows.indexLoaded();
    std::vector<int> ids;
    EXPECT_EQ(rows.lookup(0, QString("A"), &ids), 2);
    EXPECT_EQ(ids, (std::vector<int>{0, 2}));
    EXPECT_EQ(rows.lookup(0, QString("5"), &ids), 1);
    EXPECT_EQ(ids, (std::vector<int>{3}));
    EXPECT_EQ(rows.lookup(0, QString("нет"), &ids), 0);
    EXPECT_EQ(rows.lookup(1, QVariant::fromValue<qint32>(1), nullptr), 2);
    EXPECT_EQ(rows.lookup(1, QVariant::fromValue<qint64>(big), &ids), 1);
    EXPECT_EQ(rows.lookup(1, QString("x"), nullptr), -1);
    // A text key looked up without a QString finds the same rows.
    for (const QString key : {"A", "B", "5", "нет", ""}) {
        std::vector<int> byText;
        EXPECT_EQ(rows.lookupText(0, key, &byText), rows.lookup(0, key, &ids)) << key.toStdString();
        EXPECT_EQ(byText, ids) << key.toStdString();
    }
    EXPECT_EQ(rows.lookupText(1, u"1", nullptr), -1);
    EXPECT_EQ(rows.indexKeyCount(0), 3);
    EXPECT_EQ(rows.indexKeyCount(1), 2);

    const int added = rows.append(4, {QString("A"), QVariant::fromValue<qint64>(big)});
    EXPECT_EQ(rows.lookup(0, QString("A"), &ids), 3);
    EXPECT_EQ(ids.back(), added);
    rows.set(0, {QString("C"), QVariant::fromValue<qint64>(big)});
    rows.kill(2);
    EXPECT_EQ(rows.lookup(0, QString("A"), &ids), 1);
    EXPECT_EQ(ids, (std::vector<int>{added}));
    EXPECT_EQ(rows.lookup(1, QVariant::fromValue<qint64>(1), nullptr), 0);
    EXPECT_EQ(rows.lookup(1, QVariant::fromValue<qint64>(big), &ids), 3);
    EXPECT_EQ(ids, (std::vector<int>{0, 1, added}));
    EXPECT_EQ(rows.indexKeyCount(0), 4); // A, B, C and "5"
    EXPECT_EQ(rows.indexKeyCount(1), 1);
    rows.kill(1);
    rows.kill(3);
    EXPECT_EQ(rows.indexKeyCount(0), 2);
    EXPECT_EQ(rows.lookup(0, QString("B"), nullptr), 0);
}

TEST(RowStore, ATableHoldsExactlyWhatTheCodecReads) {
    QTemporaryDir dir;
    const QString path = dir.filePath("t.dbf");
    DbfFile::create(path,
                    {{"NAME", 'C', 20, 0},
                     {"NUM", 'N', 20, 0},
                     {"PRICE", 'N', 9, 2},
                     {"DAY", 'D', 8, 0},
                     {"OK", 'L', 1, 0},
                     {"CNT", 'I', 4, 0}},
                    0x65);
    {
        auto file = DbfFile::open(path);
        file->appendRecords({
            {QString("Ёлка  "), qint64(-42), 12.5, QDate(2024, 2, 29), true, 7},
            {QVariant(), QVariant(), QVariant(), QVariant(), QVariant(), QVariant()},
            {QString("ёж"), qint64(1) << 50, -0.5, QDate(1, 1, 1), false, -1},
            {QString("ёж"), qint64(kMin32), 0.0, QDate(9999, 12, 31), QVariant(), 0},
        });
    }
    std::vector<QVector<QVariant>> read;
    DbfFile::open(path)->readAll([&](quint32, QVector<QVariant>&& v) { read.push_back(v); });
    Table table;
    table.setFileName(path);
    table.setIndexedFields({"NAME", "NUM"});
    table.open();
    ASSERT_EQ(table.storedRowCount(), int(read.size()));
    for (int id = 0; id < table.storedRowCount(); ++id)
        for (int f = 0; f < read[id].size(); ++f)
            EXPECT_TRUE(same(table.storedValue(id, f), read[id][f]))
                << "row " << id << " field " << f << ": " << read[id][f].toString().toStdString();
    std::vector<int> ids;
    EXPECT_EQ(table.lookup(0, QString("ёж"), &ids), 2);
    EXPECT_EQ(table.lookup(1, qint64(1) << 50, &ids), 1);
}

TEST(RowStore, EachRowKeepsItsRecordNumberWhateverTheDeletedRecordsBeforeIt) {
    // Record numbers as a load gives them (deleted records skipped), then appends.
    const std::vector<std::vector<quint32>> cases = {
        {0, 1, 2, 3}, {1, 2, 3}, {0, 1, 3, 4}, {0, 1, 2, 9}, {5}, {},
    };
    for (const auto& loaded : cases) {
        RowStore rows;
        rows.reset(1);
        rows.setKind(0, Kind::Integer);
        for (quint32 r : loaded)
            rows.appendLoaded(r, {QVariant::fromValue<qint64>(r)});
        rows.indexLoaded();
        const quint32 next = loaded.empty() ? 0 : loaded.back() + 1;
        const int a = rows.append(next, {QVariant()});
        const int b = rows.append(next + 3, {QVariant()});
        for (size_t id = 0; id < loaded.size(); ++id)
            EXPECT_EQ(rows.recno(int(id)), loaded[id]) << "row " << id << " of " << loaded.size();
        EXPECT_EQ(rows.recno(a), next);
        EXPECT_EQ(rows.recno(b), next + 3);
    }
}

// The rows a table presents, kept by count while they are the ids in order:
// every operation gives what a plain sorted list of the same ids gives.
TEST(RowOrder, KeptByCountAgreesWithAPlainListThroughEveryChange) {
    const RowOrder::Less byId = [](int a, int b) { return a < b; };
    RowOrder order;
    order.assignIds(50);
    std::vector<int> plain(50);
    std::iota(plain.begin(), plain.end(), 0);
    const auto agree = [&](const char* after) {
        SCOPED_TRACE(after);
        ASSERT_EQ(order.size(), int(plain.size()));
        for (int pos = 0; pos < int(plain.size()); ++pos)
            ASSERT_EQ(order.at(pos), plain[size_t(pos)]) << "at " << pos;
        for (int id = -1; id <= 60; ++id) {
            const auto it = std::find(plain.begin(), plain.end(), id);
            ASSERT_EQ(order.positionOf(id, byId), it == plain.end() ? -1 : int(it - plain.begin()))
                << "id " << id;
        }
        std::vector<int> seen;
        order.forEach([&](int id) { seen.push_back(id); });
        ASSERT_EQ(seen, plain);
    };
    const auto erase = [&](int id) {
        order.erase(id, byId);
        plain.erase(std::remove(plain.begin(), plain.end(), id), plain.end());
    };
    const auto insert = [&](int id) {
        order.insert(id, byId);
        plain.insert(std::upper_bound(plain.begin(), plain.end(), id), id);
    };
    agree("assigned");
    for (int id : {0, 7, 8, 30, 7, 49, 48, 100, -1})
        erase(id);
    agree("erased, the first, the last two, one twice and ids outside");
    EXPECT_TRUE(order.keptByCount());
    insert(7);
    insert(49);
    insert(53); // a row appended past rows never presented
    agree("inserted back and appended");
    order.eraseIf([](int id) { return id % 5 == 1; });
    plain.erase(std::remove_if(plain.begin(), plain.end(), [](int id) { return id % 5 == 1; }), plain.end());
    agree("erased by a test");
    order.mergeIn({1, 6, 54, 55}, byId);
    for (int id : {1, 6, 54, 55})
        plain.insert(std::upper_bound(plain.begin(), plain.end(), id), id);
    agree("merged in");
    EXPECT_TRUE(order.keptByCount());
    insert(6); // an id twice: kept as a list from now on, as a list keeps it
    agree("an id twice");
    EXPECT_FALSE(order.keptByCount());
    erase(6);
    erase(6);
    agree("as a list");
    order.assignIds(0);
    plain.clear();
    agree("empty");
    insert(0);
    agree("one appended to an empty table");

    // Merging in an id that is in already keeps it twice, as a list does.
    RowOrder twice;
    twice.assignIds(3);
    twice.mergeIn({1, 4}, byId);
    std::vector<int> seen;
    twice.forEach([&](int id) { seen.push_back(id); });
    EXPECT_EQ(seen, (std::vector<int>{0, 1, 1, 2, 4}));
}
