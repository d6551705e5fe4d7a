#include "register/varek_register.h"
#include "register/fields.h"

#include "core/errors.h"
#include "dbase/write_batch.h"
#include "register/data_link.h"
#include "register/dir_lock.h"
#include "register/register_schema.h"
#include "register/sql_views.h"
#include "register/table.h"
#include "register/view.h"

#include <QDir>
#include <QFileInfo>

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
}

VarekRegister::~VarekRegister() {
    close();
}

void VarekRegister::open(const QString& dataDir) {
    close();
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
        d->obj.open();
        d->ctrl.open();
        d->tokens.open();
        d->tc.open();
        d->ds4.resume();
        d->ds1.resume();
    } catch (...) {
        close();
        d->ds4.resume();
        d->ds1.resume();
        throw;
    }
}

void VarekRegister::beginUnit() {
    if (d->unitDepth > 0) {
        ++d->unitDepth;
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
