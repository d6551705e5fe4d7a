#include "register/table_store.h"

#include <QFileInfo>

namespace varek {

TableStore::~TableStore() = default;

int TableStore::fieldIndex(const QString& name) const {
    const QVector<DbfField>& f = fields();
    for (int i = 0; i < f.size(); ++i)
        if (f[i].name.compare(name, Qt::CaseInsensitive) == 0) return i;
    return -1;
}

DbfTableStore::DbfTableStore(QString path) : m_path(std::move(path)) {}

DbfTableStore::~DbfTableStore() = default;

QString DbfTableStore::displayName() const {
    return QFileInfo(m_path).fileName();
}

void DbfTableStore::open() {
    m_file = DbfFile::open(m_path, DbfFile::Memos::Required);
    m_file->setBatch(m_batch);
}

const QVector<DbfField>& DbfTableStore::fields() const {
    return m_file->fields();
}

quint32 DbfTableStore::sizeHint() const {
    return m_file->recordCount();
}

void DbfTableStore::load(const std::function<void(quint32 key, QVector<QVariant>&& values)>& sink) {
    m_file->readAll(sink);
}

void DbfTableStore::checkFits(const QVector<QVariant>& values) const {
    m_file->checkFits(values);
}

quint32 DbfTableStore::append(const QVector<QVariant>& values) {
    return m_file->appendRecord(values);
}

void DbfTableStore::update(quint32 key, const QVector<QVariant>& values) {
    m_file->writeRecord(key, values);
}

void DbfTableStore::remove(quint32 key) {
    m_file->deleteRecord(key);
}

int DbfTableStore::fieldWidth(int field) const {
    return m_file->fieldWidth(field);
}

QString DbfTableStore::codePageName() const {
    return m_file->codePageName();
}

void DbfTableStore::setBatch(WriteBatch* batch) {
    m_batch = batch;
    if (m_file) m_file->setBatch(batch);
}

} // namespace varek
