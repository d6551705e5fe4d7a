#include "register/known_joins.h"

#include "register/table.h"

#include <QDate>
#include <QRegularExpression>

#include <type_traits>
#include <vector>

namespace varek {

namespace {

bool hasSurrogates(QStringView text) {
    for (const QChar c : text)
        if (c.isSurrogate()) return true;
    return false;
}

// A stored text is UTF-16 or, where its column is all ASCII, one byte a character.
bool storedHasSurrogates(QAnyStringView text) {
    return text.visit([](auto v) {
        if constexpr (std::is_same_v<decltype(v), QStringView>)
            return hasSurrogates(v);
        else
            return false;
    });
}

// A text value as it comes back from SQLite: sent as UTF-8 and read back,
// then, in a column declared DATE, a date when it reads as one.
QVariant textBack(QString text, bool dateColumn) {
    if (hasSurrogates(text)) text = QString::fromUtf8(text.toUtf8());
    if (dateColumn) {
        const QDate date = QDate::fromString(text, Qt::ISODate);
        if (date.isValid()) return date;
    }
    return text;
}

// A stored value as the general way gives it: what the virtual table hands
// SQLite for the cell (sql_views.cpp, xColumn) as SqlViews::run reads it back.
QVariant valueOf(const Table& t, int id, int field, bool dateColumn) {
    if (qint64 k; t.storedInteger(id, field, &k)) return QVariant::fromValue<qint64>(k);
    QAnyStringView text;
    if (t.storedText(id, field, &text) && !text.isEmpty() && !storedHasSurrogates(text))
        return dateColumn ? textBack(text.toString(), true) : QVariant(text.toString());
    const QVariant v = t.storedValue(id, field);
    if (v.typeId() == QMetaType::QDate) {
        // An ISO text and back is the same date for the years it can write.
        const QDate date = v.toDate();
        if (date.isValid() && date.year() >= 1 && date.year() <= 9999)
            return dateColumn ? QVariant(date) : QVariant(date.toString(Qt::ISODate));
    }
    const QVariant cell = sqlCellOf(v);
    return cell.typeId() == QMetaType::QString ? textBack(cell.toString(), dateColumn) : cell;
}

bool isNumber(const QVariant& v) {
    return v.typeId() == QMetaType::LongLong || v.typeId() == QMetaType::Double;
}

// SQL's "=" between two column values of these joins (both columns of one
// affinity, so neither value is converted): null never equals; a number
// equals a number of the same value, a text the same text. Empty: a value
// these joins are not made for.
std::optional<bool> sqlEquals(const QVariant& a, const QVariant& b) {
    if (!a.isValid() || !b.isValid()) return false;
    if (isNumber(a) && isNumber(b)) {
        if (a.typeId() == QMetaType::LongLong && b.typeId() == QMetaType::LongLong)
            return a.toLongLong() == b.toLongLong();
        return a.toDouble() == b.toDouble();
    }
    if (a.typeId() == QMetaType::QString && b.typeId() == QMetaType::QString)
        return a.toString() == b.toString();
    return std::nullopt;
}

// One table of a join: its fields by name and which are declared DATE.
struct Side {
    Table* table = nullptr;
    std::vector<bool> dates;
    mutable std::vector<int> found; // the index's rows of a key, reused from key to key

    bool open(Table* t) {
        table = t;
        if (!t || !t->active()) return false;
        const int n = int(t->fieldNames().size());
        dates.assign(size_t(n), false);
        for (int f = 0; f < n; ++f)
            dates[size_t(f)] = t->fieldType(f) == 'D';
        return true;
    }
    int field(const char* name) const { return table->fieldIndex(QLatin1String(name)); }
    QVariant value(int id, int field) const { return valueOf(*table, id, field, dates[size_t(field)]); }
    QString name(int field) const { return table->fieldNames().at(field); }

    // Reads the texts of the rows' fields ahead of their use. These tables
    // are far larger than the caches, and the rows of one controller or key
    // lie all over them: read one row after another, each waits for memory
    // in turn; read here, with nothing between, many come at once.
    void touch(const std::vector<int>& ids, const std::vector<int>& fields) const {
        unsigned sum = 0;
        QAnyStringView text;
        for (const int id : ids)
            for (const int f : fields)
                if (table->storedText(id, f, &text) && !text.isEmpty()) sum += text.front().unicode();
        volatile unsigned kept = sum; // the reads are not left out
        (void)kept;
    }
    std::vector<int> allFields() const {
        std::vector<int> fields(dates.size());
        for (size_t f = 0; f < fields.size(); ++f)
            fields[f] = int(f);
        return fields;
    }

    // A stored text that comes back from SQLite as it is (not empty, not
    // a date, no lone surrogates): the joins compare it without a copy.
    bool plainText(int id, int field, QAnyStringView* text) const {
        return !dates[size_t(field)] && table->storedText(id, field, text) && !text->isEmpty() &&
               !storedHasSurrogates(*text);
    }

    // rowsEqual for a plain text key.
    bool rowsEqualText(int field, QAnyStringView key, std::vector<int>* ids) const {
        ids->clear();
        if (!table->fieldIndexed(field) || table->lookupText(field, key, &found) < 0) return false;
        QAnyStringView text;
        for (const int id : found) {
            if (!table->storedRowLive(id)) continue;
            if (plainText(id, field, &text)) {
                if (text == key) ids->push_back(id);
                continue;
            }
            const std::optional<bool> same = sqlEquals(value(id, field), key.toString());
            if (!same) return false;
            if (*same) ids->push_back(id);
        }
        return true;
    }

    // The live rows whose field equals key by SQL's "=", in the order the
    // index gives them, the order the general way reads them in. False: the
    // field has no index, the key cannot be looked up in it, or a value is
    // not one these joins are made for.
    bool rowsEqual(int field, const QVariant& key, std::vector<int>* ids) const {
        ids->clear();
        if (!key.isValid()) return true;
        if (!table->fieldIndexed(field) || table->lookup(field, key, &found) < 0) return false;
        const bool integerKey = key.typeId() == QMetaType::LongLong;
        const qint64 wanted = integerKey ? key.toLongLong() : 0;
        for (const int id : found) {
            if (!table->storedRowLive(id)) continue;
            if (qint64 k; integerKey && table->storedInteger(id, field, &k)) {
                if (k == wanted) ids->push_back(id);
                continue;
            }
            const std::optional<bool> same = sqlEquals(value(id, field), key);
            if (!same) return false;
            if (*same) ids->push_back(id);
        }
        return true;
    }
};

const QRegularExpression& keysOfControllerText() {
    static const QRegularExpression re(
        QStringLiteral(
            R"(^\s*select\s+t\.\*\s*,\s*tc\.ser_num\s+from\s+tokens\s+t\s+left\s+join\s+tc\s+tc\s+)"
            R"(on\s+t\.token_code\s*=\s*tc\.token_code\s+where\s+tc\.ser_num\s*=\s*(-?\d{1,18})\s*$)"),
        QRegularExpression::CaseInsensitiveOption);
    return re;
}

const QRegularExpression& controllersOfKeyText() {
    static const QRegularExpression re(
        QStringLiteral(
            R"(^\s*select\s+c\.ctrl_name\s*,\s*tc\.token_code\s*,\s*tc\.ser_num\s*,\s*o\.obj_name\s+)"
            R"(from\s+ctrl\s+c\s+join\s+tc\s+tc\s+on\s+c\.ser_num\s*=\s*tc\.ser_num\s+)"
            R"(join\s+obj\s+o\s+on\s+c\.obj_num\s*=\s*o\.obj_num\s+)"
            R"(where\s+tc\.token_code\s*=\s*'((?:[^']|'')*)'\s*$)"),
        QRegularExpression::CaseInsensitiveOption | QRegularExpression::DotMatchesEverythingOption);
    return re;
}

std::optional<SqlViews::Result> keysOfController(qint64 serNum, Side& tokens, Side& tc) {
    const int tcSer = tc.field("ser_num"), tcCode = tc.field("token_code"), code = tokens.field("token_code");
    if (tcSer < 0 || tcCode < 0 || code < 0) return std::nullopt;
    SqlViews::Result r;
    const int n = int(tokens.dates.size());
    for (int f = 0; f < n; ++f)
        r.columns << tokens.name(f);
    r.columns << tc.name(tcSer);
    std::vector<int> access, keys;
    if (!tc.rowsEqual(tcSer, QVariant::fromValue<qint64>(serNum), &access)) return std::nullopt;
    tc.touch(access, {tcCode});
    std::vector<std::pair<int, int>> joined; // (access row, key row)
    std::vector<int> keyRows;
    QAnyStringView text;
    for (const int a : access) {
        if (tc.plainText(a, tcCode, &text) ? !tokens.rowsEqualText(code, text, &keys)
                                           : !tokens.rowsEqual(code, tc.value(a, tcCode), &keys))
            return std::nullopt;
        for (const int k : keys) {
            joined.emplace_back(a, k);
            keyRows.push_back(k);
        }
    }
    tokens.touch(keyRows, tokens.allFields());
    r.rows.reserve(qsizetype(joined.size()));
    for (const auto& [a, k] : joined) {
        QVector<QVariant> row(n + 1);
        for (int f = 0; f < n; ++f)
            row[f] = tokens.value(k, f);
        row[n] = tc.value(a, tcSer);
        r.rows.push_back(std::move(row));
    }
    return r;
}

std::optional<SqlViews::Result> controllersOfKey(const QString& code, Side& ctrl, Side& tc, Side& obj) {
    const int tcSer = tc.field("ser_num"), tcCode = tc.field("token_code"), ser = ctrl.field("ser_num"),
              ctrlObj = ctrl.field("obj_num"), ctrlName = ctrl.field("ctrl_name"), num = obj.field("obj_num"),
              objName = obj.field("obj_name");
    if (tcSer < 0 || tcCode < 0 || ser < 0 || ctrlObj < 0 || ctrlName < 0 || num < 0 || objName < 0)
        return std::nullopt;
    SqlViews::Result r;
    r.columns << ctrl.name(ctrlName) << tc.name(tcCode) << tc.name(tcSer) << obj.name(objName);
    std::vector<int> access, ctrls, objs;
    if (!tc.rowsEqual(tcCode, code, &access)) return std::nullopt;
    for (const int a : access) {
        if (!ctrl.rowsEqual(ser, tc.value(a, tcSer), &ctrls)) return std::nullopt;
        for (const int c : ctrls) {
            if (!obj.rowsEqual(num, ctrl.value(c, ctrlObj), &objs)) return std::nullopt;
            for (const int o : objs)
                r.rows.push_back({ctrl.value(c, ctrlName), tc.value(a, tcCode), tc.value(a, tcSer),
                                  obj.value(o, objName)});
        }
    }
    return r;
}

} // namespace

std::optional<SqlViews::Result> runKnownJoin(const QString& sql,
                                             const std::function<Table*(const QString& name)>& table) {
    if (const QRegularExpressionMatch m = keysOfControllerText().match(sql); m.hasMatch()) {
        Side tokens, tc;
        if (!tokens.open(table(QStringLiteral("tokens"))) || !tc.open(table(QStringLiteral("tc"))))
            return std::nullopt;
        bool ok = false;
        const qint64 n = m.captured(1).toLongLong(&ok);
        if (!ok) return std::nullopt;
        return keysOfController(n, tokens, tc);
    }
    if (const QRegularExpressionMatch m = controllersOfKeyText().match(sql); m.hasMatch()) {
        Side ctrl, tc, obj;
        if (!ctrl.open(table(QStringLiteral("ctrl"))) || !tc.open(table(QStringLiteral("tc"))) ||
            !obj.open(table(QStringLiteral("obj"))))
            return std::nullopt;
        QString code = m.captured(1);
        code.replace(QStringLiteral("''"), QStringLiteral("'"));
        return controllersOfKey(code, ctrl, tc, obj);
    }
    return std::nullopt;
}

} // namespace varek
