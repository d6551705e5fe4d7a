// varek-register init DATABASE: creates the register's tables in an empty database.
// varek-register upgrade DATABASE: brings the tables of an older version to this program's.
// varek-register copy FROM TO: copies a register between a data directory and
// a database, in either direction (and directory to directory, database to
// database). A database is a libpq URL (postgresql://, postgres://) or a
// keyword string (service=NAME, host=... dbname=...); anything else is a
// directory. The rows keep their order; the target must hold no register.
// Exit status: 0 done, 1 refused or failed (the reason on stderr), 2 usage.
#include "core/errors.h"
#include "dbase/codepage.h"
#include "dbase/dbf.h"
#include "dbase/write_batch.h"
#include "pg/connection.h"
#include "pg/schema.h"
#include "register/dir_lock.h"
#include "register/register_schema.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QHash>
#include <QRegularExpression>
#include <QStringList>

#include <cstdio>
#include <functional>
#include <limits>
#include <memory>

using namespace varek;

namespace {

const char* const kUsage =
    "Использование:\n"
    "  varek-register init БАЗА          создать таблицы реестра в пустой базе данных\n"
    "  varek-register upgrade БАЗА       обновить таблицы реестра прежней версии\n"
    "  varek-register copy ОТКУДА КУДА   скопировать реестр из папки с данными в базу\n"
    "                                    данных, из базы в папку, из базы в базу или\n"
    "                                    из папки в папку\n"
    "БАЗА — адрес postgresql://сервер/база, postgres://..., service=ИМЯ (pg_service.conf)\n"
    "или строка параметров libpq (host=... dbname=...); пароль берётся из ~/.pgpass или\n"
    "файла служб. Всё остальное — путь к папке с данными (Data).\n";

constexpr int kChunkRows = 50000;

void say(const QString& text) {
    std::fputs((text + QLatin1Char('\n')).toUtf8().constData(), stdout);
    std::fflush(stdout);
}

void warn(const QString& text) {
    std::fputs((QStringLiteral("varek-register: ") + text + QLatin1Char('\n')).toUtf8().constData(), stderr);
}

bool isDatabase(const QString& place) {
    static const QRegularExpression keyword(
        QStringLiteral("^\\s*(service|host|hostaddr|dbname|user|port|sslmode)\\s*="));
    return place.startsWith(QLatin1String("postgresql://")) ||
           place.startsWith(QLatin1String("postgres://")) || keyword.match(place).hasMatch();
}

QString tableName(const TableSchema& t) {
    return QFileInfo(t.fileName).completeBaseName();
}

// The file of a table in dir, whatever the case of its name (as the register finds it).
QString findTableFile(const QString& dir, const QString& name) {
    const QDir d(dir);
    if (QFileInfo::exists(d.filePath(name))) return d.filePath(name);
    for (const QString& e : d.entryList(QDir::Files | QDir::Hidden))
        if (e.compare(name, Qt::CaseInsensitive) == 0) return d.filePath(e);
    return QString();
}

// A row of a register table: the values of its fields in the register's order;
// integers as qint64, text as QString, dates as QDate, null as an invalid QVariant.
using Row = QVector<QVariant>;
// Gets the rows of one table in their order; the row number counts from 1.
using RowSink = std::function<void(Row&& row, qint64 number)>;

class Source {
public:
    virtual ~Source() = default;
    virtual void read(const TableSchema& table, const RowSink& sink) = 0;
};

class Target {
public:
    virtual ~Target() = default;
    virtual void begin() = 0;
    virtual void add(const TableSchema& table, Row&& row, qint64 number) = 0;
    virtual void endTable(const TableSchema& table) = 0;
    virtual void commit() = 0;
    virtual void abandon() = 0; // after a failure: leave the target as it was
};

// ---- a data directory ----

class DirSource : public Source {
public:
    explicit DirSource(const QString& dir) : m_dir(dir) {
        m_lock.acquire(dir);
        // What the program does on opening the register: a unit of work a
        // crash interrupted is completed (or dropped) before anything is read.
        WriteBatch::recover(QDir(dir).filePath(QStringLiteral(".varek.journal")));
        for (const TableSchema& t : registerTables())
            if (findTableFile(dir, t.fileName).isEmpty())
                throw EDatabaseError(QStringLiteral("В папке %1 нет таблицы %2: это не папка реестра.")
                                         .arg(QDir::toNativeSeparators(dir), t.fileName));
    }

    void read(const TableSchema& table, const RowSink& sink) override {
        const QString path = findTableFile(m_dir, table.fileName);
        // The codec's own reasons name the file, the record and the field.
        bool inSink = false;
        try {
            readFile(path, table, sink, inSink);
        } catch (const EDatabaseError& e) {
            if (inSink) throw;
            throw EDatabaseError(
                QStringLiteral("Не удалось прочитать таблицу %1 (%2). Проверьте файл программой "
                               "varek-dbf; ничего не скопировано.")
                    .arg(QDir::toNativeSeparators(path), e.message()));
        }
    }

private:
    void readFile(const QString& path, const TableSchema& table, const RowSink& sink, bool& inSink) {
        const std::unique_ptr<DbfFile> file = DbfFile::open(path, DbfFile::Memos::Required);
        checkRequiredFields(*file, table);
        QVector<int> index;
        for (const DbfField& f : table.fields)
            index << file->fieldIndex(f.name);
        for (const DbfField& f : file->fields())
            if (!std::any_of(table.fields.begin(), table.fields.end(), [&](const DbfField& r) {
                    return r.name.compare(f.name, Qt::CaseInsensitive) == 0;
                }))
                warn(QStringLiteral("поле %1 файла %2 не входит в реестр и не копируется.")
                         .arg(f.name, QDir::toNativeSeparators(path)));
        qint64 number = 0;
        file->readAll([&](quint32, QVector<QVariant>&& values) {
            Row row(index.size());
            for (int k = 0; k < index.size(); ++k) {
                QVariant& v = values[index[k]];
                if (!v.isValid() || v.isNull()) continue;
                switch (v.typeId()) {
                case QMetaType::Int:
                case QMetaType::LongLong:
                    row[k] = v.toLongLong();
                    break;
                default:
                    row[k] = std::move(v);
                }
            }
            inSink = true;
            sink(std::move(row), ++number);
            inSink = false;
        });
    }

    QString m_dir;
    DirLock m_lock;
};

class DirTarget : public Target {
public:
    explicit DirTarget(const QString& dir) : m_dir(dir) {
        QStringList present;
        for (const TableSchema& t : registerTables())
            if (!findTableFile(dir, t.fileName).isEmpty())
                present << QFileInfo(findTableFile(dir, t.fileName)).fileName();
        if (!present.isEmpty())
            throw EDatabaseError(
                QStringLiteral("В папке %1 уже есть реестр (%2): копировать можно только в пустую "
                               "или новую папку. Ничего не изменено.")
                    .arg(QDir::toNativeSeparators(dir), present.join(QStringLiteral(", "))));
        m_created = !QFileInfo::exists(dir);
        if (!QDir().mkpath(dir))
            throw EDatabaseError(
                QStringLiteral("Не удалось создать папку %1.").arg(QDir::toNativeSeparators(dir)));
        try {
            m_lock.acquire(dir);
        } catch (...) {
            if (m_created) QDir(dir).removeRecursively();
            throw;
        }
    }

    void begin() override {
        m_madeFiles = true; // the directory held none of them: whatever exists after a failure is ours
        writing([&] { createRegisterFiles(m_dir); });
    }

    void add(const TableSchema& table, Row&& row, qint64 number) override {
        openFor(table);
        check(table, row, number);
        m_rows.append(std::move(row));
        if (m_rows.size() >= kChunkRows) writing([&] { flush(); });
    }

    void endTable(const TableSchema& table) override {
        openFor(table);
        writing([&] { flush(); });
        m_file.reset();
        m_table = nullptr;
    }

    void commit() override {}

    void abandon() override {
        m_file.reset();
        if (!m_madeFiles) return;
        m_lock.release();
        if (m_created) {
            QDir(m_dir).removeRecursively();
            return;
        }
        for (const TableSchema& t : registerTables())
            QFile::remove(QDir(m_dir).filePath(t.fileName));
        QFile::remove(QDir(m_dir).filePath(DirLock::lockFileName()));
    }

private:
    // The codec's own reason (a full disk, a refused permission) after a Russian lead.
    void writing(const std::function<void()>& body) {
        try {
            body();
        } catch (const EDatabaseError& e) {
            throw EDatabaseError(
                QStringLiteral("Не удалось записать реестр в папку %1 (%2); ничего не скопировано.")
                    .arg(QDir::toNativeSeparators(m_dir), e.message()));
        }
    }

    void openFor(const TableSchema& table) {
        if (m_table == &table) return;
        m_table = &table;
        writing([&] { m_file = DbfFile::open(QDir(m_dir).filePath(table.fileName)); });
    }

    void flush() {
        if (m_rows.isEmpty()) return;
        m_file->appendRecords(m_rows);
        m_rows.clear();
    }

    // The register's files hold text in cp866, within each field's width.
    void check(const TableSchema& table, const Row& row, qint64 number) const {
        for (int k = 0; k < row.size(); ++k) {
            const DbfField& f = table.fields[k];
            const QVariant& v = row[k];
            if (!v.isValid()) continue;
            auto refuse = [&](const QString& why) {
                throw EDatabaseError(
                    QStringLiteral("Таблица %1, строка %2: поле %3 нельзя записать в файл %4: %5. "
                                   "Исправьте значение в базе и повторите копирование.")
                        .arg(tableName(table))
                        .arg(number)
                        .arg(f.name, table.fileName, why));
            };
            if (f.type == 'C') {
                QByteArray bytes;
                QChar bad;
                QString text = v.toString();
                while (text.endsWith(QLatin1Char(' ')))
                    text.chop(1);
                if (!CodePage::cp866().encode(text, bytes, &bad))
                    refuse(
                        QStringLiteral("в тексте «%1» есть знак «%2» (U+%3), которого нет в кодировке cp866 "
                                       "файлов реестра")
                            .arg(text, QString(bad),
                                 QString::number(bad.unicode(), 16)
                                     .toUpper()
                                     .rightJustified(4, QLatin1Char('0'))));
                if (bytes.size() > f.length)
                    refuse(QStringLiteral("текст «%1» длиной %2 знаков не помещается в поле шириной %3")
                               .arg(text)
                               .arg(bytes.size())
                               .arg(f.length));
            } else if (f.type == 'N') {
                const qint64 n = v.toLongLong();
                if (n < std::numeric_limits<qint32>::min() || n > std::numeric_limits<qint32>::max())
                    refuse(QStringLiteral("число %1 больше, чем помещается в поле").arg(n));
            } else if (f.type == 'D') {
                const QDate d = v.toDate();
                if (!d.isValid() || d.year() < 1 || d.year() > 9999)
                    refuse(QStringLiteral("дату %1 нельзя записать в файл").arg(v.toString()));
            }
        }
    }

    QString m_dir;
    DirLock m_lock;
    bool m_created = false;
    bool m_madeFiles = false;
    const TableSchema* m_table = nullptr;
    std::unique_ptr<DbfFile> m_file;
    QVector<Row> m_rows;
};

// ---- a database ----

QString columnList(const TableSchema& t) {
    QStringList names;
    for (const DbfField& f : t.fields)
        names << f.name.toLower();
    return names.join(QStringLiteral(", "));
}

void appendEscaped(QByteArray& out, const QByteArray& text) {
    for (const char c : text) {
        switch (c) {
        case '\\':
            out += "\\\\";
            break;
        case '\t':
            out += "\\t";
            break;
        case '\n':
            out += "\\n";
            break;
        case '\r':
            out += "\\r";
            break;
        default:
            out += c;
        }
    }
}

QByteArray unescaped(const char* p, qsizetype n) {
    QByteArray out;
    out.reserve(n);
    for (qsizetype i = 0; i < n; ++i) {
        if (p[i] != '\\' || i + 1 == n) {
            out += p[i];
            continue;
        }
        const char c = p[++i];
        switch (c) {
        case 't':
            out += '\t';
            break;
        case 'n':
            out += '\n';
            break;
        case 'r':
            out += '\r';
            break;
        case 'b':
            out += '\b';
            break;
        case 'f':
            out += '\f';
            break;
        case 'v':
            out += '\v';
            break;
        default:
            out += c;
        }
    }
    return out;
}

class DbSource : public Source {
public:
    explicit DbSource(const QString& conninfo) : m_conn(conninfo) {
        m_conn.connect();
        // One snapshot for all four tables: the copy is what one moment held.
        m_conn.exec(QStringLiteral("BEGIN ISOLATION LEVEL REPEATABLE READ READ ONLY"));
        m_conn.exec(QStringLiteral("SET LOCAL DateStyle = ISO"));
        checkPgSchema(m_conn);
    }
    ~DbSource() override { m_conn.rollback(); }

    void read(const TableSchema& table, const RowSink& sink) override {
        const QByteArray data =
            m_conn.copyOut(QStringLiteral("COPY (SELECT %1 FROM %2 ORDER BY row_id) TO STDOUT")
                               .arg(columnList(table), tableName(table)));
        const int width = table.fields.size();
        qint64 number = 0;
        qsizetype at = 0;
        while (at < data.size()) {
            qsizetype end = data.indexOf('\n', at);
            if (end < 0) end = data.size();
            Row row(width);
            qsizetype from = at;
            for (int k = 0; k < width; ++k) {
                qsizetype to = data.indexOf('\t', from);
                if (to < 0 || to > end || k == width - 1) to = end;
                const char* p = data.constData() + from;
                const qsizetype n = to - from;
                if (!(n == 2 && p[0] == '\\' && p[1] == 'N')) {
                    const QByteArray text = unescaped(p, n);
                    const DbfField& f = table.fields[k];
                    bool ok = true;
                    if (f.type == 'N')
                        row[k] = text.toLongLong(&ok);
                    else if (f.type == 'D') {
                        const QDate d = QDate::fromString(QString::fromLatin1(text), Qt::ISODate);
                        ok = d.isValid();
                        row[k] = d;
                    } else
                        row[k] = QString::fromUtf8(text);
                    if (!ok)
                        throw EDatabaseError(
                            QStringLiteral("Таблица %1, строка %2: значение «%3» поля %4 не прочитать.")
                                .arg(tableName(table))
                                .arg(number + 1)
                                .arg(QString::fromUtf8(text), f.name));
                }
                from = to + 1;
            }
            sink(std::move(row), ++number);
            at = end + 1;
        }
    }

private:
    mutable PgConnection m_conn;
};

class DbTarget : public Target {
public:
    explicit DbTarget(const QString& conninfo) : m_conn(conninfo) { m_conn.connect(); }

    void begin() override {
        m_conn.begin();
        m_open = true;
        checkPgSchema(m_conn);
        m_conn.exec(QStringLiteral("LOCK TABLE obj, ctrl, tokens, tc IN EXCLUSIVE MODE"));
        QStringList filled;
        for (const TableSchema& t : registerTables()) {
            const qint64 n =
                m_conn.exec(QStringLiteral("SELECT count(*) FROM %1").arg(tableName(t))).integer(0, 0);
            if (n > 0) filled << QStringLiteral("%1: %2").arg(tableName(t)).arg(n);
        }
        if (!filled.isEmpty())
            throw EDatabaseError(
                QStringLiteral("В базе данных %1 уже есть записи реестра (%2): копировать можно "
                               "только в базу с пустыми таблицами. Ничего не изменено.")
                    .arg(m_conn.displayName(), filled.join(QStringLiteral(", "))));
        const PgResult widths = m_conn.exec(QStringLiteral(
            "SELECT table_name, column_name, character_maximum_length FROM information_schema.columns "
            "WHERE table_schema = current_schema() AND character_maximum_length IS NOT NULL"));
        for (int r = 0; r < widths.rows(); ++r)
            m_width.insert(widths.text(r, 0) + QLatin1Char('.') + widths.text(r, 1),
                           int(widths.integer(r, 2)));
    }

    void add(const TableSchema& table, Row&& row, qint64 number) override {
        for (int k = 0; k < row.size(); ++k) {
            if (k > 0) m_data += '\t';
            const QVariant& v = row[k];
            if (!v.isValid()) {
                m_data += "\\N";
                continue;
            }
            const DbfField& f = table.fields[k];
            auto refuse = [&](const QString& why) {
                throw EDatabaseError(
                    QStringLiteral("Таблица %1, строка %2: поле %3 нельзя записать в базу данных: "
                                   "%4. Исправьте значение в программе и повторите копирование.")
                        .arg(table.fileName)
                        .arg(number)
                        .arg(f.name, why));
            };
            switch (v.typeId()) {
            case QMetaType::QDate:
                m_data += v.toDate().toString(Qt::ISODate).toLatin1();
                break;
            case QMetaType::LongLong: {
                const qint64 n = v.toLongLong();
                if (n < std::numeric_limits<qint32>::min() || n > std::numeric_limits<qint32>::max())
                    refuse(QStringLiteral("число %1 больше, чем помещается в поле").arg(n));
                m_data += QByteArray::number(n);
                break;
            }
            default: {
                const QString text = v.toString();
                if (text.contains(QChar(0))) refuse(QStringLiteral("в тексте есть нулевой символ"));
                const int width = m_width.value(tableName(table) + QLatin1Char('.') + f.name.toLower(), 0);
                if (width > 0 && text.size() > width)
                    refuse(
                        QStringLiteral("текст «%1» длиной %2 знаков длиннее %3 знаков, которые вмещает база")
                            .arg(text)
                            .arg(text.size())
                            .arg(width));
                appendEscaped(m_data, text.toUtf8());
            }
            }
        }
        m_data += '\n';
    }

    void endTable(const TableSchema& table) override {
        try {
            m_conn.copyIn(QStringLiteral("COPY %1 (%2) FROM STDIN").arg(tableName(table), columnList(table)),
                          m_data);
        } catch (const EPgError& e) {
            if (e.sqlState() == QLatin1String("23505"))
                throw EDatabaseError(
                    QStringLiteral("В таблице %1 повторяется значение, которое в базе данных должно "
                                   "быть единственным, — %2. Устраните повтор и повторите "
                                   "копирование; ничего не записано.")
                        .arg(table.fileName, e.message()));
            throw;
        }
        m_data.clear();
    }

    void commit() override {
        m_conn.commit();
        m_open = false;
    }

    void abandon() override {
        if (m_open) m_conn.rollback();
        m_open = false;
    }

private:
    PgConnection m_conn;
    bool m_open = false;
    QByteArray m_data;
    QHash<QString, int> m_width;
};

int init(const QString& conninfo) {
    PgConnection conn(conninfo);
    conn.connect();
    initPgSchema(conn);
    say(QStringLiteral("Таблицы реестра (версия %1) созданы в базе данных %2.")
            .arg(kPgSchemaVersion)
            .arg(conn.displayName()));
    return 0;
}

int upgrade(const QString& conninfo) {
    PgConnection conn(conninfo);
    conn.connect();
    const int before = pgSchemaVersion(conn);
    upgradePgSchema(conn);
    say(QStringLiteral("Таблицы реестра в базе данных %1 обновлены с версии %2 до версии %3.")
            .arg(conn.displayName())
            .arg(before)
            .arg(kPgSchemaVersion));
    return 0;
}

int copy(const QString& from, const QString& to) {
    if (!isDatabase(from) && !isDatabase(to) &&
        QFileInfo(from).canonicalFilePath() == QFileInfo(to).canonicalFilePath() && QFileInfo::exists(from))
        throw EDatabaseError(QStringLiteral("Откуда и куда копировать — одна и та же папка %1.").arg(from));
    std::unique_ptr<Source> source;
    if (isDatabase(from))
        source = std::make_unique<DbSource>(from);
    else
        source = std::make_unique<DirSource>(from);
    std::unique_ptr<Target> target;
    if (isDatabase(to))
        target = std::make_unique<DbTarget>(to);
    else
        target = std::make_unique<DirTarget>(to);
    try {
        target->begin();
        for (const TableSchema& t : registerTables()) {
            qint64 rows = 0;
            source->read(t, [&](Row&& row, qint64 number) {
                target->add(t, std::move(row), number);
                rows = number;
            });
            target->endTable(t);
            say(QStringLiteral("%1: %2 строк").arg(tableName(t)).arg(rows));
        }
        target->commit();
    } catch (...) {
        target->abandon();
        throw;
    }
    say(QStringLiteral("Реестр скопирован."));
    return 0;
}

} // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments().mid(1);
    const bool initCall = args.size() == 2 && args[0] == QLatin1String("init");
    const bool upgradeCall = args.size() == 2 && args[0] == QLatin1String("upgrade");
    const bool copyCall = args.size() == 3 && args[0] == QLatin1String("copy");
    if (!initCall && !upgradeCall && !copyCall) {
        std::fputs(kUsage, stderr);
        return 2;
    }
    try {
        if (initCall) return init(args[1]);
        if (upgradeCall) return upgrade(args[1]);
        return copy(args[1], args[2]);
    } catch (const VarekError& e) {
        warn(e.message());
        return 1;
    }
}
