#include "register/pg_table_store.h"

#include "dbase/codepage.h"
#include "pg/connection.h"
#include "pg/schema.h"
#include "register/register_schema.h"
#include "register/values.h"

#include <charconv>
#include <limits>

namespace varek {

// ---- the session ----

PgSession::PgSession(QString conninfo) : m_conn(std::make_unique<PgConnection>(std::move(conninfo))) {}

PgSession::~PgSession() = default;

QString PgSession::conninfo() const {
    return m_conn->conninfo();
}

QString PgSession::displayName() const {
    return m_conn->displayName();
}

void PgSession::connect() {
    m_inTransaction = false;
    m_conn->connect();
    // Dates travel as yyyy-mm-dd whatever the server's default style.
    m_conn->exec(QStringLiteral("SET DateStyle TO ISO, YMD"));
    checkPgSchema(*m_conn);
    m_conn->listen(QStringLiteral("varek_changes"));
    m_lost = false;
}

bool PgSession::usable() const {
    return !m_lost && m_conn->connected();
}

void PgSession::setUnitOpen(bool open) {
    m_unitOpen = open;
}

void PgSession::enterUnit() {
    if (!m_unitOpen || m_inTransaction) return;
    m_conn->begin();
    m_inTransaction = true;
}

void PgSession::commit() {
    if (!m_inTransaction) return;
    m_inTransaction = false;
    try {
        m_conn->commit();
    } catch (const EDatabaseError&) {
        noteFailure();
        throw;
    }
}

void PgSession::rollback() {
    if (!m_inTransaction) return;
    m_inTransaction = false;
    m_conn->rollback();
}

void PgSession::noteFailure() {
    if (!m_conn->connected()) m_lost = true;
}

// ---- COPY's text format ----

namespace {

int hexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

QByteArray unescape(const char* b, const char* e) {
    QByteArray out;
    out.reserve(e - b);
    for (const char* p = b; p < e; ++p) {
        if (*p != '\\' || p + 1 == e) {
            out.append(*p);
            continue;
        }
        const char c = *++p;
        switch (c) {
        case 'b':
            out.append('\b');
            break;
        case 'f':
            out.append('\f');
            break;
        case 'n':
            out.append('\n');
            break;
        case 'r':
            out.append('\r');
            break;
        case 't':
            out.append('\t');
            break;
        case 'v':
            out.append('\v');
            break;
        case 'x': {
            int v = 0, n = 0;
            while (n < 2 && p + 1 < e && hexDigit(p[1]) >= 0) {
                v = v * 16 + hexDigit(*++p);
                ++n;
            }
            if (n == 0)
                out.append('x');
            else
                out.append(char(v));
            break;
        }
        default:
            if (c >= '0' && c <= '7') {
                int v = c - '0', n = 1;
                while (n < 3 && p + 1 < e && p[1] >= '0' && p[1] <= '7') {
                    v = v * 8 + (*++p - '0');
                    ++n;
                }
                out.append(char(v));
            } else {
                out.append(c);
            }
        }
    }
    return out;
}

} // namespace

void parseCopyText(const QByteArray& data, int columns,
                   const std::function<void(const QVector<QByteArray>& fields)>& sink) {
    QVector<QByteArray> fields(columns);
    const char* p = data.constData();
    const char* const end = p + data.size();
    while (p < end) {
        const char* eol = static_cast<const char*>(std::memchr(p, '\n', size_t(end - p)));
        if (!eol) eol = end;
        int n = 0;
        const char* f = p;
        while (true) {
            const char* t = static_cast<const char*>(std::memchr(f, '\t', size_t(eol - f)));
            const char* fe = t ? t : eol;
            if (n >= columns)
                throw EDatabaseError(QStringLiteral("Сервер базы данных прислал строку с лишними полями."));
            if (fe - f == 2 && f[0] == '\\' && f[1] == 'N')
                fields[n] = QByteArray();
            else if (std::memchr(f, '\\', size_t(fe - f)))
                fields[n] = unescape(f, fe);
            else // no copy: the cells are read before data goes
                fields[n] = QByteArray::fromRawData(f, fe - f);
            ++n;
            if (!t) break;
            f = t + 1;
        }
        if (n != columns)
            throw EDatabaseError(QStringLiteral("Сервер базы данных прислал строку без части полей."));
        sink(fields);
        p = eol + 1;
    }
}

// ---- the table ----

namespace {

std::optional<qint64> integerOf(const QByteArray& b) {
    qint64 v = 0;
    const auto [ptr, ec] = std::from_chars(b.constData(), b.constData() + b.size(), v);
    if (ec != std::errc() || ptr != b.constData() + b.size()) return std::nullopt;
    return v;
}

// The code page of the register's dBASE files.
const CodePage& registerCodePage() {
    static const CodePage* page = CodePage::byIconvName("CP866");
    return *page;
}

} // namespace

PgTableStore::PgTableStore(PgSession& session, QString table, const TableSchema& schema)
    : m_session(session), m_table(std::move(table)), m_fields(schema.fields) {
    QStringList cols;
    for (DbfField& f : m_fields) {
        f.name = f.name.toLower();
        cols << f.name;
    }
    m_columns = cols.join(QStringLiteral(", "));
    const auto at = [&](const QString& name) { return static_cast<int>(cols.indexOf(name)); };
    if (m_table == QLatin1String("ctrl")) {
        m_parents.append({at(QStringLiteral("obj_num")), QStringLiteral("obj"), QStringLiteral("obj_num"),
                          QStringLiteral("Объект №%1")});
        m_cascadeField = QStringLiteral("ser_num");
        m_cascades << QStringLiteral("DELETE FROM tc WHERE ser_num = $1");
    } else if (m_table == QLatin1String("tc")) {
        m_parents.append({at(QStringLiteral("ser_num")), QStringLiteral("ctrl"), QStringLiteral("ser_num"),
                          QStringLiteral("Контроллер №%1")});
    } else if (m_table == QLatin1String("obj")) {
        m_cascadeField = QStringLiteral("obj_num");
        m_cascades << QStringLiteral(
                          "DELETE FROM tc WHERE ser_num IN (SELECT ser_num FROM ctrl WHERE obj_num = $1)")
                   << QStringLiteral("DELETE FROM ctrl WHERE obj_num = $1");
    }
    m_parents.removeIf([](const Parent& p) { return p.field < 0; });
}

void PgTableStore::requireParents(const QVector<QVariant>& values) {
    for (const Parent& p : m_parents) {
        const QVariant& v = values.value(p.field);
        const auto n = integralOf(v);
        if (!n) continue;
        const PgResult r = m_session.run([&] {
            return m_session.connection().exec(
                QStringLiteral("SELECT 1 FROM %1 WHERE %2 = $1 FOR KEY SHARE").arg(p.table, p.column),
                {QString::number(*n)});
        });
        if (r.rows() == 0)
            throw ERowChanged(
                p.what.arg(*n) +
                QStringLiteral(" удалён на другом рабочем месте; данные обновлены, повторите действие."));
    }
}

PgTableStore::~PgTableStore() = default;

std::pair<quint32, QVector<QVariant>> PgTableStore::rowOf(const QByteArray* cells) {
    const auto id = integerOf(cells[0]);
    const auto version = integerOf(cells[1]);
    if (!id || !version || *id <= 0 || *id > std::numeric_limits<quint32>::max())
        throw EDatabaseError(
            QStringLiteral("В таблице %1 на сервере строка с недопустимым номером строки.").arg(m_table));
    const int nf = static_cast<int>(m_fields.size());
    QVector<QVariant> values(nf);
    for (int k = 0; k < nf; ++k) {
        const QByteArray& c = cells[k + 2];
        if (c.isNull()) continue;
        switch (m_fields[k].type) {
        case 'N':
            if (const auto v = integerOf(c)) values[k] = QVariant::fromValue<qint64>(*v);
            break;
        case 'D':
            values[k] = QDate::fromString(QString::fromLatin1(c), Qt::ISODate);
            break;
        default: {
            // As a dBASE file reads: blanks at the end are not kept, and
            // an empty text is null.
            QString text = QString::fromUtf8(c);
            qsizetype e = text.size();
            while (e > 0 && text.at(e - 1) == QLatin1Char(' '))
                --e;
            text.truncate(e);
            if (!text.isEmpty()) values[k] = text;
        }
        }
    }
    const quint32 key = static_cast<quint32>(*id);
    m_versions[key] = *version;
    return {key, std::move(values)};
}

bool PgTableStore::loadRows(const std::vector<quint32>& keys,
                            const std::function<void(quint32 key, QVector<QVariant>&& values)>& sink) {
    QString list;
    list.reserve(static_cast<qsizetype>(keys.size()) * 8 + 2);
    list += u'{';
    for (size_t i = 0; i < keys.size(); ++i) {
        if (i) list += u',';
        list += QString::number(keys[i]);
    }
    list += u'}';
    const PgResult r = m_session.run([&] {
        return m_session.connection().exec(
            QStringLiteral("SELECT row_id, row_version, %1 FROM %2 WHERE row_id = ANY($1::bigint[]) ORDER BY "
                           "row_id")
                .arg(m_columns, m_table),
            {list});
    });
    for (quint32 key : keys)
        m_versions.erase(key);
    const int nc = static_cast<int>(m_fields.size()) + 2;
    if (r.columns() != nc)
        throw EDatabaseError(QStringLiteral("Сервер базы данных прислал строку без части полей."));
    std::vector<QByteArray> cells(static_cast<size_t>(nc));
    for (int row = 0; row < r.rows(); ++row) {
        for (int c = 0; c < nc; ++c)
            cells[size_t(c)] = r.isNull(row, c) ? QByteArray() : r.bytes(row, c);
        auto [key, values] = rowOf(cells.data());
        sink(key, std::move(values));
    }
    return true;
}

void PgTableStore::load(const std::function<void(quint32 key, QVector<QVariant>&& values)>& sink) {
    const QString sql =
        QStringLiteral("COPY (SELECT row_id, row_version, %1 FROM %2 ORDER BY row_id) TO STDOUT")
            .arg(m_columns, m_table);
    m_versions.clear();
    quint32 count = 0;
    // Rows are read as they arrive, while the server sends the rest.
    const auto rows = [&](const QByteArray& data) {
        parseCopyText(data, static_cast<int>(m_fields.size()) + 2, [&](const QVector<QByteArray>& cells) {
            auto [key, values] = rowOf(cells.constData());
            sink(key, std::move(values));
            ++count;
        });
    };
    if (m_loadConnection)
        m_loadConnection->copyOut(sql, rows);
    else
        m_session.run([&] { m_session.connection().copyOut(sql, rows); });
    m_lastCount = count;
}

void PgTableStore::checkFits(const QVector<QVariant>& values) const {
    if (values.size() != m_fields.size())
        throw EDatabaseError(QStringLiteral("В таблице %1 %2 полей, запись из %3 значений не записать.")
                                 .arg(m_table)
                                 .arg(m_fields.size())
                                 .arg(values.size()));
    for (int k = 0; k < m_fields.size(); ++k) {
        const QVariant& v = values[k];
        if (isNullValue(v)) continue;
        const DbfField& f = m_fields[k];
        const QString where = QStringLiteral("Поле %1 таблицы %2: ").arg(f.name.toUpper(), m_table);
        switch (f.type) {
        case 'N': {
            const auto n = integralOf(v);
            if (!n || *n < std::numeric_limits<qint32>::min() || *n > std::numeric_limits<qint32>::max())
                throw EDatabaseError(
                    where + QStringLiteral("значение «%1» не целое число от -2147483648 до 2147483647.")
                                .arg(v.toString()));
            break;
        }
        case 'D':
            if (!dateOf(v).isValid())
                throw EDatabaseError(where + QStringLiteral("значение «%1» не дата.").arg(v.toString()));
            break;
        default: {
            QString text = v.toString();
            qsizetype e = text.size();
            while (e > 0 && text.at(e - 1) == QLatin1Char(' '))
                --e;
            text.truncate(e);
            QByteArray bytes;
            QChar bad;
            if (!registerCodePage().encode(text, bytes, &bad))
                throw EDatabaseError(where + QStringLiteral("знак «%1» (U+%2) не записать в кодировке cp866.")
                                                 .arg(bad)
                                                 .arg(bad.unicode(), 4, 16, QLatin1Char('0')));
            if (bytes.size() > f.length)
                throw EDatabaseError(
                    where +
                    QStringLiteral("текст из %1 знаков длиннее поля (%2).").arg(bytes.size()).arg(f.length));
        }
        }
    }
}

QVariantList PgTableStore::params(const QVector<QVariant>& values) const {
    QVariantList out;
    out.reserve(values.size());
    for (int k = 0; k < m_fields.size(); ++k) {
        const QVariant& v = values.value(k);
        if (isNullValue(v)) {
            out << QVariant();
            continue;
        }
        switch (m_fields[k].type) {
        case 'N':
            out << QString::number(*integralOf(v));
            break;
        case 'D':
            out << dateOf(v).toString(Qt::ISODate);
            break;
        default: {
            QString text = v.toString();
            qsizetype e = text.size();
            while (e > 0 && text.at(e - 1) == QLatin1Char(' '))
                --e;
            text.truncate(e);
            out << (text.isEmpty() ? QVariant() : QVariant(text));
        }
        }
    }
    return out;
}

namespace {

// A unique key refused by the server: the number or code was taken at
// another workstation meanwhile.
[[noreturn]] void refuseTaken(const QString& table) {
    throw ERowChanged(QStringLiteral("Такая запись уже есть в таблице %1: её только что добавили на другом "
                                     "рабочем месте. Данные обновлены; повторите действие.")
                          .arg(table));
}

} // namespace

void PgTableStore::refuseChanged() const {
    throw ERowChanged(
        QStringLiteral("Запись изменена на другом рабочем месте (таблица %1); данные обновлены, "
                       "сохраните ещё раз.")
            .arg(m_table));
}

quint32 PgTableStore::append(const QVector<QVariant>& values) {
    checkFits(values);
    requireParents(values);
    QStringList marks;
    for (int k = 1; k <= m_fields.size(); ++k)
        marks << QStringLiteral("$%1").arg(k);
    try {
        const PgResult r = m_session.run([&] {
            return m_session.connection().exec(
                QStringLiteral("INSERT INTO %1 (%2) VALUES (%3) RETURNING row_id, "
                               "row_version")
                    .arg(m_table, m_columns, marks.join(QStringLiteral(", "))),
                params(values));
        });
        const qint64 id = r.integer(0, 0);
        if (id <= 0 || id > std::numeric_limits<quint32>::max())
            throw EDatabaseError(
                QStringLiteral("Таблица %1 на сервере исчерпала номера строк.").arg(m_table));
        m_versions[static_cast<quint32>(id)] = r.integer(0, 1);
        return static_cast<quint32>(id);
    } catch (const EPgError& e) {
        if (e.sqlState() == QLatin1String("23505")) refuseTaken(m_table);
        throw;
    }
}

void PgTableStore::update(quint32 key, const QVector<QVariant>& values) {
    checkFits(values);
    const auto it = m_versions.find(key);
    if (it == m_versions.end()) refuseChanged();
    requireParents(values);
    QStringList sets;
    for (int k = 0; k < m_fields.size(); ++k)
        sets << QStringLiteral("%1 = $%2").arg(m_fields[k].name).arg(k + 1);
    const int n = static_cast<int>(m_fields.size());
    QVariantList p = params(values);
    p << QString::number(key) << QString::number(it->second);
    try {
        const PgResult r = m_session.run([&] {
            return m_session.connection().exec(
                QStringLiteral("UPDATE %1 SET %2, row_version = row_version + 1 WHERE row_id = $%3 AND "
                               "row_version = $%4 RETURNING row_version")
                    .arg(m_table, sets.join(QStringLiteral(", ")))
                    .arg(n + 1)
                    .arg(n + 2),
                p);
        });
        if (r.rows() == 0) refuseChanged();
        it->second = r.integer(0, 0);
    } catch (const EPgError& e) {
        if (e.sqlState() == QLatin1String("23505")) refuseTaken(m_table);
        throw;
    }
}

void PgTableStore::remove(quint32 key) {
    const auto it = m_versions.find(key);
    if (it == m_versions.end()) refuseChanged();
    const QString returning =
        m_cascadeField.isEmpty() ? QString() : QStringLiteral(" RETURNING ") + m_cascadeField;
    m_session.run([&] {
        PgConnection& c = m_session.connection();
        const PgResult r = c.exec(
            QStringLiteral("DELETE FROM %1 WHERE row_id = $1 AND row_version = $2").arg(m_table) + returning,
            {QString::number(key), QString::number(it->second)});
        if (r.affected() == 0) refuseChanged();
        if (!m_cascadeField.isEmpty() && !r.isNull(0, 0)) {
            const QString value = r.text(0, 0);
            for (const QString& sql : m_cascades)
                c.exec(sql, {value});
        }
    });
    m_versions.erase(it);
}

int PgTableStore::fieldWidth(int field) const {
    if (field < 0 || field >= m_fields.size()) return 0;
    return m_fields[field].type == 'D' ? 10 : m_fields[field].length;
}

QString PgTableStore::codePageName() const {
    return QStringLiteral("cp866");
}

} // namespace varek
