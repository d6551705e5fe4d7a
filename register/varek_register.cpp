#include "register/varek_register.h"
#include "register/fields.h"

#include "core/errors.h"
#include "dbase/write_batch.h"
#include "register/data_link.h"
#include "register/dir_lock.h"
#include "register/pg_table_store.h"
#include "register/register_schema.h"
#include "register/sql_views.h"
#include "register/table.h"
#include "register/view.h"

#include "pg/connection.h"
#include "pg/schema.h"

#include <QDir>
#include <QFileInfo>
#include <QRegularExpression>
#include <QSet>
#include <QSocketNotifier>
#include <QTimer>

#include <malloc.h>

#include <future>
#include <vector>

namespace varek {

namespace {

constexpr const char* kJournalName = ".varek.journal";

const QString kCtrlTokenInitialSql =
    QStringLiteral("select t.*, tc.ser_num from tokens t left join tc tc on t.token_code=tc.token_code\n"
                   "where tc.ser_num=:ser_num");

// The file of a table in the data directory: the name as given, or, when the
// directory holds it under another case only (OBJ.DBF copied from elsewhere),
// that file.
QString tableFile(const QString& dir, const QString& name) {
    const QString exact = dir + name;
    if (QFileInfo::exists(exact)) return exact;
    const QStringList entries = QDir(dir).entryList(QDir::Files | QDir::Hidden);
    for (const QString& e : entries) {
        if (e.compare(name, Qt::CaseInsensitive) == 0) return dir + e;
    }
    return exact;
}

} // namespace

// What other workstations changed in a table, not yet read anew: the rows
// (their ids), or all of them.
struct VarekRegister::ChangedRows {
    bool all = false;
    std::vector<quint32> ids;
};

struct VarekRegister::Impl {
    SqlViews engine;
    Table obj, ctrl, tokens, tc;
    View ctrlToken{engine};
    View tokenCtrl{engine};
    DataLink ds1{&tokens};
    DataLink ds2{&tokenCtrl};
    DataLink ds3{&obj};
    DataLink ds4{&ctrl};
    DataLink ds5{&ctrlToken};
    DirLock lock;
    QString dir;
    std::unique_ptr<WriteBatch> batch;
    int unitDepth = 0;
    QString keyCount = QStringLiteral("Всего:");

    // The register on a PostgreSQL server.
    std::unique_ptr<PgSession> pg;
    std::unique_ptr<QSocketNotifier> notifier;
    QHash<QString, ChangedRows> pending;
    // Beyond this many rows of a table, the whole table is read.
    static constexpr size_t kMaxChangedRows = 20000;
    void notePending(const QString& table, QStringView rows) {
        ChangedRows& c = pending[table];
        if (c.all) return;
        if (rows.isEmpty() || c.ids.size() >= kMaxChangedRows ||
            !parsePgChangedRows(rows, c.ids, kMaxChangedRows - c.ids.size())) {
            c.all = true;
            c.ids.clear();
        }
    }
    QTimer retry; // reads them once the current row's editing is over
    // libpq reads the notifications that come with a statement's answer
    // into its own queue, where the socket notifier cannot see them: they
    // are looked for now and then as well.
    QTimer poll;
    bool unitFailed = false;

    Table* tableNamed(const QString& name) {
        if (name == QLatin1String("obj")) return &obj;
        if (name == QLatin1String("ctrl")) return &ctrl;
        if (name == QLatin1String("tokens")) return &tokens;
        if (name == QLatin1String("tc")) return &tc;
        return nullptr;
    }
};

VarekRegister::VarekRegister(QObject* parent) : QObject(parent), d(std::make_unique<Impl>()) {
    d->obj.setObjectName(QStringLiteral("taObj"));
    d->ctrl.setObjectName(QStringLiteral("taCtrl"));
    d->tokens.setObjectName(QStringLiteral("taTokens"));
    d->tc.setObjectName(QStringLiteral("taTC"));
    d->ctrlToken.setObjectName(QStringLiteral("quCtrlToken"));
    d->tokenCtrl.setObjectName(QStringLiteral("quTokenCtrl"));

    // Every table must have the fields the register uses, of kinds it can use.
    const std::pair<Table*, const char*> files[] = {
        {&d->obj, "obj.dbf"}, {&d->ctrl, "ctrl.dbf"}, {&d->tokens, "tokens.dbf"}, {&d->tc, "tc.dbf"}};
    for (const auto& [table, name] : files) {
        const TableSchema* schema = registerTable(QString::fromLatin1(name));
        table->setOpenCheck([schema](const DbfFile& file) { checkRequiredFields(file, *schema); });
    }

    d->obj.setIndexedFields({field::objNum});
    d->ctrl.setIndexedFields({field::objNum, field::serNum});
    d->tokens.setIndexedFields({field::tokenCode});
    d->tc.setIndexedFields({field::tokenCode, field::serNum});

    // The controllers follow the current object, in obj_num order.
    d->ctrl.setMaster(&d->ds3, field::objNum, field::objNum);

    d->engine.addTable(QStringLiteral("tokens"), &d->tokens);
    d->engine.addTable(QStringLiteral("tc"), &d->tc);
    d->engine.addTable(QStringLiteral("ctrl"), &d->ctrl);
    d->engine.addTable(QStringLiteral("obj"), &d->obj);

    d->ctrlToken.setSql(kCtrlTokenInitialSql);

    d->ds4.addChangeHandler([this] { DataSource4DataChange(); });
    d->ds1.addChangeHandler([this] { DataSource1DataChange(); });

    auto updateCount = [this] {
        const QString text = d->tokens.active()
                                 ? QStringLiteral("Всего ") + QString::number(d->tokens.liveRowCount())
                                 : QStringLiteral("Всего:");
        if (text != d->keyCount) {
            d->keyCount = text;
            emit keyCountChanged(text);
        }
    };
    // taTokensAfterOpen, and after every change of the keys' rows.
    connect(&d->tokens, &Dataset::afterOpen, this, updateCount);
    connect(&d->tokens, &Dataset::rowsReset, this, updateCount);

    d->retry.setSingleShot(true);
    d->retry.setInterval(200);
    connect(&d->retry, &QTimer::timeout, this, [this] { processNotifications(); });
    d->poll.setInterval(250);
    connect(&d->poll, &QTimer::timeout, this, [this] { processNotifications(); });
}

VarekRegister::~VarekRegister() {
    close();
}

void VarekRegister::open(const QString& dataDir) {
    close();
    d->pg.reset();
    QString dir = dataDir;
    if (!dir.endsWith(QLatin1Char('/'))) dir += QLatin1Char('/');
    d->lock.acquire(dir);
    d->dir = dir;
    // A unit of work a crash interrupted is completed, or dropped when it
    // never reached the files, before any table is read.
    try {
        WriteBatch::recover(dir + QLatin1String(kJournalName));
    } catch (...) {
        d->lock.release();
        throw;
    }
    d->obj.setFileName(tableFile(dir, QStringLiteral("obj.dbf")));
    d->ctrl.setFileName(tableFile(dir, QStringLiteral("ctrl.dbf")));
    d->tokens.setFileName(tableFile(dir, QStringLiteral("tokens.dbf")));
    d->tc.setFileName(tableFile(dir, QStringLiteral("tc.dbf")));
    // The views read all four tables, so the handlers of the controllers and
    // the keys wait until the access table is open too; resuming their links
    // runs each once, as the openings would have.
    d->ds4.suspend();
    d->ds1.suspend();
    try {
        openTablesReadingAccessBeside();
        d->ds4.resume();
        d->ds1.resume();
    } catch (...) {
        close();
        d->ds4.resume();
        d->ds1.resume();
        throw;
    }
}

void VarekRegister::openDatabase(const QString& conninfo) {
    close();
    d->dir.clear();
    d->pg = std::make_unique<PgSession>(conninfo);
    const std::pair<Table*, const char*> tables[] = {
        {&d->obj, "obj"}, {&d->ctrl, "ctrl"}, {&d->tokens, "tokens"}, {&d->tc, "tc"}};
    for (const auto& [table, name] : tables) {
        const QString n = QString::fromLatin1(name);
        table->setStore(
            std::make_unique<PgTableStore>(*d->pg, n, *registerTable(n + QStringLiteral(".dbf"))));
    }
    d->ds4.suspend();
    d->ds1.suspend();
    try {
        d->pg->connect();
        watchNotifications();
        readDatabaseTables();
        d->ds4.resume();
        d->ds1.resume();
    } catch (...) {
        close();
        d->pg.reset();
        d->ds4.resume();
        d->ds1.resume();
        throw;
    }
}

namespace {

// A second connection to the database that sees exactly what connection's
// transaction sees (its snapshot); null when the server gives none.
std::unique_ptr<PgConnection> connectionOfTheSameSnapshot(PgConnection& connection) {
    const QString snapshot = connection.exec(QStringLiteral("SELECT pg_export_snapshot()")).text(0, 0);
    static const QRegularExpression plain(QStringLiteral("^[0-9A-Fa-f-]+$"));
    if (!plain.match(snapshot).hasMatch()) return nullptr;
    try {
        auto side = std::make_unique<PgConnection>(connection.conninfo());
        side->connect();
        side->exec(QStringLiteral("SET DateStyle TO ISO, YMD"));
        side->exec(QStringLiteral("BEGIN ISOLATION LEVEL REPEATABLE READ READ ONLY"));
        side->exec(QStringLiteral("SET TRANSACTION SNAPSHOT '%1'").arg(snapshot));
        return side;
    } catch (const EDatabaseError&) {
        return nullptr; // e.g. no connection left on the server: one is enough
    }
}

} // namespace

void VarekRegister::openTablesReadingAccessBeside() {
    // The access table, the largest by far, is read on a second thread
    // while the other three are read here; it opens once both are done.
    auto tcRead = std::async(std::launch::async, [this] { d->tc.load(); });
    try {
        d->obj.open();
        d->ctrl.open();
        d->tokens.open();
    } catch (...) {
        tcRead.wait();
        throw;
    }
    tcRead.get();
    d->tc.finishOpen();
    shareKeyCodes();
    // What the reading used and gave back (chiefly on the second thread,
    // whose free memory no other thread takes) goes back to the system.
    malloc_trim(0);
}

void VarekRegister::shareKeyCodes() {
    // The access table's key codes are, but for stray rows, the keys
    // table's: read on two threads each into a pool of its own, they are
    // kept once from now on (3 MB at 100,000 keys).
    d->tc.shareTexts(field::tokenCode, d->tokens, field::tokenCode);
}

void VarekRegister::readDatabaseTables() {
    // The four tables as one moment held them. The access table, the
    // largest by far, is read on a second connection of the same snapshot
    // on a second thread while the other three are read here.
    PgConnection& c = d->pg->connection();
    c.exec(QStringLiteral("BEGIN ISOLATION LEVEL REPEATABLE READ READ ONLY"));
    auto* tcStore = dynamic_cast<PgTableStore*>(d->tc.store());
    try {
        std::unique_ptr<PgConnection> side = tcStore ? connectionOfTheSameSnapshot(c) : nullptr;
        if (side) {
            tcStore->setLoadConnection(side.get());
            openTablesReadingAccessBeside();
            tcStore->setLoadConnection(nullptr);
        } else {
            d->obj.open();
            d->ctrl.open();
            d->tokens.open();
            d->tc.open();
            shareKeyCodes();
        }
        c.exec(QStringLiteral("COMMIT"));
    } catch (...) {
        if (tcStore) tcStore->setLoadConnection(nullptr);
        c.rollback();
        throw;
    }
}

VarekRegister::Backend VarekRegister::backend() const {
    if (d->pg) return Backend::Database;
    if (!d->dir.isEmpty()) return Backend::Directory;
    return Backend::None;
}

QString VarekRegister::backendDescription() const {
    switch (backend()) {
    case Backend::Database:
        return QStringLiteral("PostgreSQL ") + d->pg->displayName();
    case Backend::Directory:
        return QStringLiteral("каталог ") + QDir::toNativeSeparators(d->dir);
    case Backend::None:
        break;
    }
    return QString();
}

void VarekRegister::watchNotifications() {
    d->notifier.reset();
    if (!d->pg) return;
    const int fd = d->pg->connection().socket();
    if (fd < 0) return;
    d->notifier = std::make_unique<QSocketNotifier>(fd, QSocketNotifier::Read);
    d->poll.start();
    connect(d->notifier.get(), &QSocketNotifier::activated, this, [this] { processNotifications(); });
}

void VarekRegister::processNotifications() {
    if (!d->pg) return;
    // Reading tables takes statements, whose answers may bring further
    // notifications: until none is left.
    for (int round = 0; round < 8; ++round) {
        if (d->pg->usable()) {
            try {
                const int own = d->pg->connection().backendPid();
                for (const PgConnection::Notification& n : d->pg->connection().takeNotifications()) {
                    // "<table> <pid> <rows>" (see parsePgChangedRows).
                    const QStringList parts = n.payload.split(QLatin1Char(' '));
                    if (parts.size() != 3 || parts[1].toInt() == own) continue;
                    if (d->tableNamed(parts[0])) d->notePending(parts[0], parts[2]);
                }
            } catch (const EDatabaseError&) {
                // The link is lost: the next unit connects again and reads every table.
                d->pg->noteFailure();
                d->notifier.reset();
                return;
            }
        }
        if (d->pending.isEmpty()) return;
        // Never while a unit is open (its end reads them) or a row is being
        // edited (the typing would be lost): later.
        if (d->unitDepth > 0) return;
        for (Table* t : {&d->obj, &d->ctrl, &d->tokens, &d->tc}) {
            if (t->state() == Dataset::State::Edit || t->state() == Dataset::State::Insert) {
                d->retry.start();
                return;
            }
        }
        QHash<QString, ChangedRows> changes;
        changes.swap(d->pending);
        try {
            reloadChanges(changes);
        } catch (const EDatabaseError&) {
            // Read again later (or after connecting again), whole.
            for (auto it = changes.cbegin(); it != changes.cend(); ++it)
                d->notePending(it.key(), QStringView());
            d->pg->noteFailure();
            return;
        }
        emit tablesReloaded();
    }
}

void VarekRegister::reloadTables(const QStringList& names) {
    QHash<QString, ChangedRows> changes;
    for (const char* n : {"obj", "ctrl", "tokens", "tc"}) {
        const QString name = QString::fromLatin1(n);
        if (names.contains(name) || names.contains(QStringLiteral("*"))) changes[name].all = true;
    }
    reloadChanges(changes);
}

void VarekRegister::reloadChanges(const QHash<QString, ChangedRows>& changes) {
    Table* const all[] = {&d->obj, &d->ctrl, &d->tokens, &d->tc};
    std::optional<quint32> keys[4];
    // A row left half-written by a refused save goes: the rows are read anew.
    for (Table* t : all)
        if (t->state() == Dataset::State::Edit || t->state() == Dataset::State::Insert) t->cancel();
    for (int i = 0; i < 4; ++i)
        keys[i] = all[i]->active() ? all[i]->currentKey() : std::nullopt;
    // The views run once, after the last table.
    LinkSuspension views4(d->ds4);
    LinkSuspension views1(d->ds1);
    for (int i = 0; i < 4; ++i) {
        const auto it = changes.constFind(all[i]->fileName());
        if (it == changes.cend() || !all[i]->active()) continue;
        if (it->all)
            all[i]->reload();
        else
            all[i]->reloadRows(it->ids);
    }
    // The controllers follow the current object: the one that was current
    // is made current again when it is still among them.
    for (int i = 0; i < 4; ++i)
        if (keys[i] && all[i]->active() && all[i]->currentKey() != keys[i]) all[i]->moveToKey(*keys[i]);
}

void VarekRegister::refresh() {
    if (!d->pg) return;
    d->pg->rollback();
    d->pending.clear();
    reloadTables({QStringLiteral("*")});
}

std::optional<qint64> VarekRegister::nextNumber(Table& table, const QString& field) {
    if (!d->pg) return std::nullopt;
    const QString name = table.fileName();
    if (!d->tableNamed(name)) return std::nullopt;
    return d->pg->run([&] {
        PgConnection& c = d->pg->connection();
        // Adds to the table wait for this unit's end from here on; the
        // highest number then counts every row committed before.
        if (d->pg->inTransaction())
            c.exec(QStringLiteral("LOCK TABLE %1 IN SHARE ROW EXCLUSIVE MODE").arg(name));
        const PgResult r =
            c.exec(QStringLiteral("SELECT coalesce(max(%1), 0)::bigint + 1 FROM %2").arg(field, name));
        return r.integer(0, 0);
    });
}

void VarekRegister::beginUnit() {
    if (d->unitDepth > 0) {
        ++d->unitDepth;
        return;
    }
    if (d->pg) {
        // A link lost since the last unit: connect again and read every
        // table, which may have changed meanwhile.
        if (!d->pg->usable()) {
            d->pg->connect();
            watchNotifications();
            d->pending.clear();
            reloadTables({QStringLiteral("*")});
        }
        ++d->unitDepth;
        d->unitFailed = false;
        d->pg->setUnitOpen(true);
        return;
    }
    // A unit whose writing into the files failed half-way left its journal
    // whole: it is completed before a new unit may write the journal again.
    WriteBatch::recover(d->dir + QLatin1String(kJournalName));
    ++d->unitDepth;
    d->batch = std::make_unique<WriteBatch>(d->dir + QLatin1String(kJournalName));
    for (Table* t : {&d->obj, &d->ctrl, &d->tokens, &d->tc})
        t->setWriteBatch(d->batch.get());
}

void VarekRegister::endUnit() {
    if (d->unitDepth == 0 || --d->unitDepth > 0) return;
    if (d->pg) {
        d->pg->setUnitOpen(false);
        if (d->unitFailed) {
            // An inner unit was abandoned: none of it stays.
            d->unitFailed = false;
            undoDatabaseUnit();
            return;
        }
        try {
            d->pg->commit();
        } catch (...) {
            undoDatabaseUnit();
            throw;
        }
        processNotifications();
        return;
    }
    std::unique_ptr<WriteBatch> batch = std::move(d->batch);
    for (Table* t : {&d->obj, &d->ctrl, &d->tokens, &d->tc})
        t->setWriteBatch(nullptr);
    try {
        batch->commit();
    } catch (...) {
        // A failure after the journal was whole leaves it so: complete the
        // unit from it now if the files take it (else the next unit or
        // opening tries again). Either way the rows in memory went ahead of
        // the files: read them anew.
        try {
            WriteBatch::recover(d->dir + QLatin1String(kJournalName));
        } catch (...) {
        }
        for (Table* t : {&d->obj, &d->ctrl, &d->tokens, &d->tc}) {
            try {
                if (t->active()) t->reload();
            } catch (...) {
            }
        }
        throw;
    }
}

void VarekRegister::abandonUnit() {
    if (d->unitDepth == 0) return;
    if (!d->pg) {
        try {
            endUnit();
        } catch (...) {
        }
        return;
    }
    rollbackUnit();
}

void VarekRegister::rollbackUnit() {
    if (--d->unitDepth > 0) {
        d->unitFailed = true;
        return;
    }
    d->pg->setUnitOpen(false);
    d->unitFailed = false;
    undoDatabaseUnit();
    try {
        processNotifications();
    } catch (...) {
    }
}

void VarekRegister::undoDatabaseUnit() {
    // The rows in memory went ahead of the database: read them anew (when
    // the link is lost, the next unit does, after connecting again).
    d->pg->rollback();
    d->pending.clear();
    if (!d->pg->usable()) return;
    try {
        reloadTables({QStringLiteral("*")});
    } catch (...) {
        d->pg->noteFailure();
    }
}

void VarekRegister::dropUnit() {
    if (d->unitDepth == 0) return;
    if (d->pg) {
        rollbackUnit();
        return;
    }
    d->batch->abandon();
    if (--d->unitDepth == 0) {
        d->batch.reset();
        for (Table* t : {&d->obj, &d->ctrl, &d->tokens, &d->tc})
            t->setWriteBatch(nullptr);
    }
    // The rows in memory went ahead of the files: read them anew.
    for (Table* t : {&d->obj, &d->ctrl, &d->tokens, &d->tc})
        if (t->active()) t->reload();
}

bool VarekRegister::unitOpen() const {
    return d->unitDepth > 0;
}

QString VarekRegister::journalFileName() {
    return QString::fromLatin1(kJournalName);
}

void VarekRegister::close() {
    if (d->unitDepth > 0) {
        d->unitDepth = 1;
        try {
            endUnit();
        } catch (...) {
        }
    }
    d->notifier.reset();
    d->retry.stop();
    d->poll.stop();
    d->pending.clear();
    d->ctrlToken.close();
    d->tokenCtrl.close();
    d->obj.close();
    d->ctrl.close();
    d->tokens.close();
    d->tc.close();
    d->lock.release();
}

Table& VarekRegister::taObj() {
    return d->obj;
}

Table& VarekRegister::taCtrl() {
    return d->ctrl;
}

Table& VarekRegister::taTokens() {
    return d->tokens;
}

Table& VarekRegister::taTC() {
    return d->tc;
}

View& VarekRegister::quCtrlToken() {
    return d->ctrlToken;
}

View& VarekRegister::quTokenCtrl() {
    return d->tokenCtrl;
}

DataLink& VarekRegister::dataSource1() {
    return d->ds1;
}

DataLink& VarekRegister::dataSource2() {
    return d->ds2;
}

DataLink& VarekRegister::dataSource3() {
    return d->ds3;
}

DataLink& VarekRegister::dataSource4() {
    return d->ds4;
}

DataLink& VarekRegister::dataSource5() {
    return d->ds5;
}

SqlViews& VarekRegister::sqlViews() {
    return d->engine;
}

void VarekRegister::DataSource4DataChange() {
    d->ctrlToken.close();
    if (d->ctrl.isNull(field::serNum)) return;
    d->ctrlToken.setSql(QStringLiteral(" select t.*, tc.ser_num from tokens t left join tc tc on "
                                       "t.token_code=tc.token_code  where tc.ser_num=") +
                        QString::number(d->ctrl.asInteger(field::serNum)));
    d->ctrlToken.open();
}

void VarekRegister::DataSource1DataChange() {
    d->tokenCtrl.close();
    if (d->tokens.isNull(field::tokenCode)) return;
    if (d->tokens.state() == Dataset::State::Edit || d->tokens.state() == Dataset::State::Insert) return;
    // The code goes in as an SQL string literal: a quote in it is doubled, so
    // a hand-typed code can neither break the text nor widen the selection.
    QString code = d->tokens.asString(field::tokenCode);
    code.replace(QLatin1Char('\''), QStringLiteral("''"));
    d->tokenCtrl.setSql(
        QStringLiteral(" select c.ctrl_name, tc.token_code, tc.ser_num, o.obj_name from ctrl c  "
                       "join tc tc on c.ser_num=tc.ser_num join obj o on c.obj_num=o.obj_num "
                       "where tc.token_code='") +
        code + QLatin1Char('\''));
    d->tokenCtrl.open();
}

QString VarekRegister::keyCountText() const {
    return d->keyCount;
}

} // namespace varek
