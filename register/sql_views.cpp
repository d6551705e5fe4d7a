#include "register/sql_views.h"

#include "core/errors.h"
#include "register/known_joins.h"
#include "register/table.h"

#include <QDate>
#include <QDateTime>
#include <QHash>
#include <QRegularExpression>

#include <sqlite3.h>

#include <type_traits>
#include <vector>

namespace varek {

namespace {

const char* const kModuleName = "varek_live";

struct LiveVtab {
    sqlite3_vtab base;
    Table* table;
};

struct LiveCursor {
    sqlite3_vtab_cursor base;
    Table* table;
    bool scan = true;
    std::vector<int> ids; // an index's rows (index plans)
    size_t pos = 0;       // into ids
    int id = -1;          // the row (scan plans)
    int end = 0;          // scan limit
};

QString sqlTypeOf(char t, int decimals) {
    switch (t) {
    case 'N':
    case 'F':
        return decimals == 0 ? QStringLiteral("INTEGER") : QStringLiteral("REAL");
    case 'I':
        return QStringLiteral("INTEGER");
    case 'D':
        return QStringLiteral("DATE");
    case 'L':
        return QStringLiteral("BOOLEAN");
    default:
        return QStringLiteral("TEXT");
    }
}

QString quoteIdent(const QString& s) {
    QString q = s;
    q.replace(QLatin1Char('"'), QStringLiteral("\"\""));
    return QLatin1Char('"') + q + QLatin1Char('"');
}

void setError(sqlite3_vtab* vt, const QString& message) {
    sqlite3_free(vt->zErrMsg);
    vt->zErrMsg = sqlite3_mprintf("%s", message.toUtf8().constData());
}

// SQLite turns a LEFT JOIN into an inner join when the WHERE clause rejects
// the null row of the right table, but not when the comparison is on a
// virtual table's column (a virtual table may overload "="). The view of a
// controller's keys, "... from tokens t left join tc tc on ... where
// tc.ser_num=N", would then scan every key. For a text of that one shape,
// where the only WHERE term compares a column of the right table with a
// literal by "=", the two joins give the same rows, and the inner join lets
// SQLite start from the access rows of N through their index.
QString withInnerJoinWhereEquivalent(const QString& sql) {
    static const QRegularExpression shape(
        QStringLiteral(
            R"(^(\s*select\s.+?\sfrom\s+\w+\s+\w+\s+)left\s+(?:outer\s+)?join(\s+\w+\s+(\w+)\s+on\s+[\w.]+\s*=\s*[\w.]+\s+where\s+(\w+)\.\w+\s*=\s*(?:-?\d+|'(?:[^']|'')*')\s*;?\s*)$)"),
        QRegularExpression::CaseInsensitiveOption | QRegularExpression::DotMatchesEverythingOption);
    const QRegularExpressionMatch m = shape.match(sql);
    if (!m.hasMatch() || m.captured(3).compare(m.captured(4), Qt::CaseInsensitive) != 0) return sql;
    return m.captured(1) + QStringLiteral("join") + m.captured(2);
}

// The name our own parameters carry; a text's own parameters never start with it.
const char* const kLiteralParameter = "@varek_literal_";

// A text as SQLite is given it: each string literal is taken out and
// replaced by a parameter that is bound to the literal's value. A value can
// then hold any character, NUL and the other control bytes included, which
// SQLite's tokenizer cannot carry inside a literal (a NUL ends its input).
// Quoted names ("..." `...` [...]), comments and blob literals (x'..') stay
// as they are; an unterminated literal is left for SQLite to refuse.
struct BindableText {
    QString text;
    QStringList literals;
};

BindableText bindableText(const QString& sql) {
    BindableText out;
    out.text.reserve(sql.size());
    const qsizetype n = sql.size();
    qsizetype i = 0;
    auto copyUntil = [&](QStringView closing, qsizetype from) {
        const qsizetype end = sql.indexOf(closing, from);
        const qsizetype stop = end < 0 ? n : end + closing.size();
        out.text += QStringView(sql).mid(i, stop - i);
        i = stop;
    };
    while (i < n) {
        const QChar c = sql.at(i);
        if (c == u'\'') {
            const bool blob = i > 0 && (sql.at(i - 1) == u'x' || sql.at(i - 1) == u'X') &&
                              (i < 2 || !(sql.at(i - 2).isLetterOrNumber() || sql.at(i - 2) == u'_'));
            QString value;
            qsizetype k = i + 1;
            bool closed = false;
            while (k < n) {
                if (sql.at(k) == u'\'') {
                    if (k + 1 < n && sql.at(k + 1) == u'\'') {
                        value += u'\'';
                        k += 2;
                        continue;
                    }
                    closed = true;
                    break;
                }
                value += sql.at(k++);
            }
            if (!closed || blob) {
                out.text += QStringView(sql).mid(i, (closed ? k + 1 : n) - i);
                i = closed ? k + 1 : n;
                continue;
            }
            out.literals << value;
            out.text += QString::fromLatin1(kLiteralParameter) + QString::number(out.literals.size());
            i = k + 1;
        } else if (c == u'"') {
            copyUntil(u"\"", i + 1);
        } else if (c == u'`') {
            copyUntil(u"`", i + 1);
        } else if (c == u'[') {
            copyUntil(u"]", i + 1);
        } else if (c == u'-' && i + 1 < n && sql.at(i + 1) == u'-') {
            copyUntil(u"\n", i + 2);
        } else if (c == u'/' && i + 1 < n && sql.at(i + 1) == u'*') {
            copyUntil(u"*/", i + 2);
        } else {
            out.text += c;
            ++i;
        }
    }
    return out;
}

} // namespace

QVariant sqlCellOf(const QVariant& v) {
    if (!v.isValid() || v.isNull()) return {};
    switch (v.typeId()) {
    case QMetaType::Int:
    case QMetaType::UInt:
    case QMetaType::LongLong:
    case QMetaType::ULongLong:
    case QMetaType::Short:
    case QMetaType::UShort:
    case QMetaType::Long:
    case QMetaType::ULong:
        return QVariant::fromValue<qint64>(v.toLongLong());
    case QMetaType::Bool:
        return QVariant::fromValue<qint64>(v.toBool() ? 1 : 0);
    case QMetaType::Double:
    case QMetaType::Float:
        return v.toDouble();
    case QMetaType::QDate:
        return v.toDate().toString(Qt::ISODate);
    case QMetaType::QDateTime:
        return v.toDateTime().date().toString(Qt::ISODate);
    default:
        return v.toString();
    }
}

struct SqlViews::Impl {
    sqlite3* db = nullptr;
    QHash<QString, Table*> tables;             // by SQL name
    QHash<QString, quint64> createdGeneration; // vtab made for this opening

    // ---- the virtual table module ----

    static int xConnect(sqlite3* db, void* aux, int argc, const char* const* argv, sqlite3_vtab** out,
                        char** err) {
        auto* self = static_cast<Impl*>(aux);
        if (argc < 4) {
            *err = sqlite3_mprintf("varek_live: table name missing");
            return SQLITE_ERROR;
        }
        const QString name = QString::fromUtf8(argv[3]);
        Table* table = self->tables.value(name);
        if (!table) {
            *err = sqlite3_mprintf("varek_live: unknown table %s", argv[3]);
            return SQLITE_ERROR;
        }
        QStringList cols;
        const QStringList names = table->fieldNames();
        for (int i = 0; i < names.size(); ++i)
            cols << quoteIdent(names[i]) + QLatin1Char(' ') + sqlTypeOf(table->fieldType(i), 0);
        // The declared type matters for DATE columns, which come back as dates.
        const QString ddl = QStringLiteral("CREATE TABLE x(%1)").arg(cols.join(QStringLiteral(", ")));
        const int rc = sqlite3_declare_vtab(db, ddl.toUtf8().constData());
        if (rc != SQLITE_OK) {
            *err = sqlite3_mprintf("%s", sqlite3_errmsg(db));
            return rc;
        }
        auto* vt = new LiveVtab{};
        vt->table = table;
        *out = &vt->base;
        return SQLITE_OK;
    }

    static int xDisconnect(sqlite3_vtab* vt) {
        sqlite3_free(vt->zErrMsg);
        delete reinterpret_cast<LiveVtab*>(vt);
        return SQLITE_OK;
    }

    static int xBestIndex(sqlite3_vtab* vt, sqlite3_index_info* info) {
        Table* table = reinterpret_cast<LiveVtab*>(vt)->table;
        const double rows = table->active() ? std::max(1, table->liveRowCount()) : 1.0;
        int best = -1;
        double bestRows = 0;
        for (int i = 0; i < info->nConstraint; ++i) {
            const auto& c = info->aConstraint[i];
            if (!c.usable || c.op != SQLITE_INDEX_CONSTRAINT_EQ || c.iColumn < 0) continue;
            if (!table->fieldIndexed(c.iColumn)) continue;
            const double keys = std::max(1, table->indexKeyCount(c.iColumn));
            const double expected = std::max(1.0, rows / keys);
            if (best < 0 || expected < bestRows) {
                best = i;
                bestRows = expected;
            }
        }
        if (best >= 0) {
            info->aConstraintUsage[best].argvIndex = 1;
            info->aConstraintUsage[best].omit = 0; // SQLite checks the value again
            info->idxNum = info->aConstraint[best].iColumn + 1;
            info->estimatedCost = 10.0 + bestRows;
            info->estimatedRows = static_cast<sqlite3_int64>(bestRows);
        } else {
            info->idxNum = 0;
            info->estimatedCost = 1000.0 + rows * 10.0;
            info->estimatedRows = static_cast<sqlite3_int64>(rows);
        }
        return SQLITE_OK;
    }

    static int xOpen(sqlite3_vtab* vt, sqlite3_vtab_cursor** out) {
        auto* c = new LiveCursor{};
        c->table = reinterpret_cast<LiveVtab*>(vt)->table;
        *out = &c->base;
        return SQLITE_OK;
    }

    static int xClose(sqlite3_vtab_cursor* cur) {
        delete reinterpret_cast<LiveCursor*>(cur);
        return SQLITE_OK;
    }

    static QVariant variantOf(sqlite3_value* v) {
        switch (sqlite3_value_type(v)) {
        case SQLITE_INTEGER:
            return QVariant::fromValue<qint64>(sqlite3_value_int64(v));
        case SQLITE_FLOAT:
            return sqlite3_value_double(v);
        case SQLITE_TEXT:
            return QString::fromUtf8(reinterpret_cast<const char*>(sqlite3_value_text(v)),
                                     sqlite3_value_bytes(v));
        default:
            return QVariant();
        }
    }

    static void skipDead(LiveCursor* c) {
        if (c->scan) {
            while (c->id < c->end && !c->table->storedRowLive(c->id))
                ++c->id;
        } else {
            while (c->pos < c->ids.size() && !c->table->storedRowLive(c->ids[c->pos]))
                ++c->pos;
        }
    }

    static int xFilter(sqlite3_vtab_cursor* cur, int idxNum, const char*, int argc, sqlite3_value** argv) {
        auto* c = reinterpret_cast<LiveCursor*>(cur);
        if (!c->table->active()) {
            setError(cur->pVtab, QStringLiteral("Cannot perform this operation on a closed dataset"));
            return SQLITE_ERROR;
        }
        c->scan = true;
        c->ids.clear();
        c->pos = 0;
        c->id = 0;
        c->end = c->table->storedRowCount();
        if (idxNum > 0 && argc >= 1) {
            if (c->table->lookup(idxNum - 1, variantOf(argv[0]), &c->ids) >= 0) c->scan = false;
        }
        skipDead(c);
        return SQLITE_OK;
    }

    static int xNext(sqlite3_vtab_cursor* cur) {
        auto* c = reinterpret_cast<LiveCursor*>(cur);
        if (c->scan)
            ++c->id;
        else
            ++c->pos;
        skipDead(c);
        return SQLITE_OK;
    }

    static int xEof(sqlite3_vtab_cursor* cur) {
        auto* c = reinterpret_cast<LiveCursor*>(cur);
        return c->scan ? c->id >= c->end : c->pos >= c->ids.size();
    }

    static int currentId(const LiveCursor* c) { return c->scan ? c->id : c->ids[c->pos]; }

    // A stored text as UTF-8 in a buffer kept between calls; false for empty
    // text and text with surrogates (the general way gives them). A text of a
    // column kept one byte a character is ASCII, UTF-8 as it is.
    static bool resultText(sqlite3_context* ctx, QAnyStringView stored) {
        if (stored.isEmpty()) return false;
        return stored.visit([ctx](auto v) {
            if constexpr (std::is_same_v<decltype(v), QLatin1StringView>) {
                sqlite3_result_text(ctx, v.data(), int(v.size()), SQLITE_TRANSIENT);
                return true;
            } else if constexpr (std::is_same_v<decltype(v), QStringView>) {
                return resultUtf16(ctx, v);
            } else {
                return false;
            }
        });
    }

    static bool resultUtf16(sqlite3_context* ctx, QStringView text) {
        static thread_local std::vector<char> buf;
        buf.resize(size_t(text.size()) * 3);
        char* o = buf.data();
        for (const QChar qc : text) {
            const char16_t ch = qc.unicode();
            if (ch < 0x80) {
                *o++ = char(ch);
            } else if (ch < 0x800) {
                *o++ = char(0xC0 | ch >> 6);
                *o++ = char(0x80 | (ch & 0x3F));
            } else if (ch >= 0xD800 && ch <= 0xDFFF) {
                return false;
            } else {
                *o++ = char(0xE0 | ch >> 12);
                *o++ = char(0x80 | (ch >> 6 & 0x3F));
                *o++ = char(0x80 | (ch & 0x3F));
            }
        }
        sqlite3_result_text(ctx, buf.data(), int(o - buf.data()), SQLITE_TRANSIENT);
        return true;
    }

    static int xColumn(sqlite3_vtab_cursor* cur, sqlite3_context* ctx, int col) {
        auto* c = reinterpret_cast<LiveCursor*>(cur);
        QAnyStringView text;
        if (c->table->storedText(currentId(c), col, &text) && resultText(ctx, text)) return SQLITE_OK;
        const QVariant v = sqlCellOf(c->table->storedValue(currentId(c), col));
        switch (v.typeId()) {
        case QMetaType::LongLong:
            sqlite3_result_int64(ctx, v.toLongLong());
            break;
        case QMetaType::Double:
            sqlite3_result_double(ctx, v.toDouble());
            break;
        case QMetaType::QString: {
            const QByteArray s = v.toString().toUtf8();
            sqlite3_result_text(ctx, s.constData(), s.size(), SQLITE_TRANSIENT);
            break;
        }
        default:
            sqlite3_result_null(ctx);
        }
        return SQLITE_OK;
    }

    static int xRowid(sqlite3_vtab_cursor* cur, sqlite3_int64* rowid) {
        *rowid = currentId(reinterpret_cast<LiveCursor*>(cur));
        return SQLITE_OK;
    }

    sqlite3_module module{};

    void exec(const QString& sql) {
        char* err = nullptr;
        if (sqlite3_exec(db, sql.toUtf8().constData(), nullptr, nullptr, &err) != SQLITE_OK) {
            const QString message = QString::fromUtf8(err ? err : sqlite3_errmsg(db));
            sqlite3_free(err);
            throw EDatabaseError(message);
        }
    }

    // Makes each open table's virtual table match the table's present fields.
    void syncTables() {
        for (auto it = tables.cbegin(); it != tables.cend(); ++it) {
            Table* t = it.value();
            if (!t->active()) continue;
            const quint64 gen = t->openGeneration();
            if (createdGeneration.value(it.key(), 0) == gen) continue;
            const QString ident = quoteIdent(it.key());
            exec(QStringLiteral("DROP TABLE IF EXISTS %1").arg(ident));
            exec(QStringLiteral("CREATE VIRTUAL TABLE %1 USING %2(%3)")
                     .arg(ident, QString::fromLatin1(kModuleName), it.key()));
            createdGeneration.insert(it.key(), gen);
        }
    }
};

SqlViews::SqlViews() : d(std::make_unique<Impl>()) {
    if (sqlite3_open_v2(":memory:", &d->db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, nullptr) !=
        SQLITE_OK) {
        const QString message = QString::fromUtf8(sqlite3_errmsg(d->db));
        sqlite3_close(d->db);
        d->db = nullptr;
        throw EDatabaseError(message);
    }
    auto& m = d->module;
    m.iVersion = 1;
    m.xCreate = &Impl::xConnect;
    m.xConnect = &Impl::xConnect;
    m.xBestIndex = &Impl::xBestIndex;
    m.xDisconnect = &Impl::xDisconnect;
    m.xDestroy = &Impl::xDisconnect;
    m.xOpen = &Impl::xOpen;
    m.xClose = &Impl::xClose;
    m.xFilter = &Impl::xFilter;
    m.xNext = &Impl::xNext;
    m.xEof = &Impl::xEof;
    m.xColumn = &Impl::xColumn;
    m.xRowid = &Impl::xRowid;
    sqlite3_create_module_v2(d->db, kModuleName, &m, d.get(), nullptr);
}

SqlViews::~SqlViews() {
    if (d->db) sqlite3_close(d->db);
}

void SqlViews::addTable(const QString& name, Table* table) {
    d->tables.insert(name, table);
    d->createdGeneration.remove(name);
}

SqlViews::Result SqlViews::run(const QString& sql) {
    if (sql.trimmed().isEmpty()) throw EDatabaseError(QStringLiteral("No SQL statement available"));
    if (auto known = runKnownJoin(sql, [this](const QString& name) { return d->tables.value(name); }))
        return std::move(*known);
    d->syncTables();

    sqlite3_stmt* stmt = nullptr;
    const BindableText bindable = bindableText(withInnerJoinWhereEquivalent(sql));
    const QByteArray text = bindable.text.toUtf8();
    if (sqlite3_prepare_v2(d->db, text.constData(), static_cast<int>(text.size()), &stmt, nullptr) !=
        SQLITE_OK)
        throw EDatabaseError(QString::fromUtf8(sqlite3_errmsg(d->db)));
    if (!stmt) throw EDatabaseError(QStringLiteral("No SQL statement available"));
    struct Finalize {
        sqlite3_stmt* s;
        ~Finalize() { sqlite3_finalize(s); }
    } finalize{stmt};

    const QByteArray literalPrefix(kLiteralParameter);
    const int parameters = sqlite3_bind_parameter_count(stmt);
    for (int p = 1; p <= parameters; ++p) {
        const char* raw = sqlite3_bind_parameter_name(stmt, p);
        const QByteArray rawName(raw ? raw : "");
        if (rawName.startsWith(literalPrefix)) {
            const int at = rawName.mid(literalPrefix.size()).toInt() - 1;
            const QByteArray value = bindable.literals.value(at).toUtf8();
            sqlite3_bind_text(stmt, p, value.constData(), int(value.size()), SQLITE_TRANSIENT);
            continue;
        }
        QString name = QString::fromUtf8(rawName);
        if (!name.isEmpty() && (name[0] == QLatin1Char(':') || name[0] == QLatin1Char('@') ||
                                name[0] == QLatin1Char('$') || name[0] == QLatin1Char('?')))
            name.remove(0, 1);
        throw EDatabaseError(QStringLiteral("No value for parameter '%1'").arg(name));
    }

    Result result;
    const int n = sqlite3_column_count(stmt);
    QVector<bool> isDate(n, false);
    for (int i = 0; i < n; ++i) {
        result.columns << QString::fromUtf8(sqlite3_column_name(stmt, i));
        const char* decl = sqlite3_column_decltype(stmt, i);
        isDate[i] = decl && qstricmp(decl, "DATE") == 0;
    }
    for (;;) {
        const int rc = sqlite3_step(stmt);
        if (rc == SQLITE_DONE) break;
        if (rc != SQLITE_ROW) throw EDatabaseError(QString::fromUtf8(sqlite3_errmsg(d->db)));
        QVector<QVariant> row(n);
        for (int i = 0; i < n; ++i) {
            QVariant v = Impl::variantOf(sqlite3_column_value(stmt, i));
            if (isDate[i] && v.typeId() == QMetaType::QString) {
                const QDate date = QDate::fromString(v.toString(), Qt::ISODate);
                if (date.isValid()) v = date;
            }
            row[i] = std::move(v);
        }
        result.rows.push_back(std::move(row));
    }
    return result;
}

QStringList SqlViews::queryPlan(const QString& sql) {
    const Result r = run(QStringLiteral("EXPLAIN QUERY PLAN ") + withInnerJoinWhereEquivalent(sql));
    QStringList lines;
    for (const auto& row : r.rows)
        lines << row.value(3).toString();
    return lines;
}

} // namespace varek
