#include "register/table.h"

#include "core/errors.h"
#include "dbase/codepage.h"
#include "dbase/dbf.h"
#include "register/data_link.h"
#include "register/row_order.h"
#include "register/row_store.h"
#include "register/table_store.h"
#include "register/values.h"

#include <QDateTime>
#include <QFileInfo>
#include <QHash>

#include <algorithm>
#include <cmath>
#include <iterator>
#include <limits>
#include <numeric>
#include <optional>
#include <unordered_map>

namespace varek {

namespace {

// How the rows keep a field's values: the kinds the codec reads compactly.
RowStore::Kind storeKind(const DbfField& f) {
    switch (f.type) {
    case 'C':
    case 'M':
        return RowStore::Kind::Text;
    case 'N':
    case 'F':
        return f.decimals == 0 ? RowStore::Kind::Integer : RowStore::Kind::Any;
    case 'I':
    case '+':
        return RowStore::Kind::Int32;
    case 'D':
        return RowStore::Kind::Date;
    default:
        return RowStore::Kind::Any;
    }
}

} // namespace

struct Table::Impl {
    Table* q = nullptr;
    QString fileName;
    QStringList required;
    QStringList indexedNames;
    std::function<void(const DbfFile&)> openCheck;

    // The store the rows are read from and written through: a dBASE file
    // made from fileName at each opening, or one given by setStore.
    std::unique_ptr<TableStore> file;
    bool storeGiven = false;
    WriteBatch* batch = nullptr;
    QVector<DbfField> fields;
    QStringList names;
    RowStore rows;
    quint64 generation = 0;

    // Presentation: every live row in order (orderField, then file order),
    // and, while the restriction is in force, the rows of the master's row.
    RowOrder all;
    RowOrder view;
    bool restricted = false;
    int cur = -1; // position in presented()

    QVector<QVariant> buffer; // edit / insert buffer
    int insertReturnPos = -1; // where cancelling an insert goes back to

    // Restriction to a master.
    DataLink* masterLink = nullptr;
    QString masterField;
    QString detailFieldName;
    int orderField = -1;
    bool attached = true;

    const RowOrder& presented() const { return restricted ? view : all; }

    int presentedId(int pos) const {
        const auto& p = presented();
        if (pos < 0 || pos >= p.size()) return -1;
        return p.at(pos);
    }

    bool less(int a, int b) const {
        if (orderField >= 0) {
            const int c = rows.compare(a, b, orderField);
            if (c != 0) return c < 0;
        }
        return a < b;
    }

    // The presentation order for the row lists.
    const RowOrder::Less order = [this](int a, int b) { return less(a, b); };

    int positionOf(int id) const { return presented().positionOf(id, order); }

    // ---- values ----

    QVariant normalized(int field, const QVariant& v) const {
        if (isNullValue(v)) return QVariant();
        const DbfField& fd = fields[field];
        switch (fd.type) {
        case 'C':
            if (v.typeId() == QMetaType::QDate) return v.toDate().toString(QStringLiteral("dd.MM.yyyy"));
            return v.toString();
        case 'N':
        case 'F':
            if (fd.decimals == 0) {
                if (const auto k = integralOf(v)) return QVariant::fromValue<qint64>(*k);
            } else if (isNumberVariant(v)) {
                return v.toDouble();
            } else if (v.typeId() == QMetaType::QString) {
                bool ok = false;
                const double d = v.toString().trimmed().toDouble(&ok);
                if (ok) return d;
            }
            return v; // the file refuses it on post, naming the field
        case 'I':
            if (const auto k = integralOf(v)) {
                if (*k >= std::numeric_limits<qint32>::min() && *k <= std::numeric_limits<qint32>::max())
                    return QVariant::fromValue<qint32>(static_cast<qint32>(*k));
            }
            return v;
        case 'D': {
            const QDate d = dateOf(v);
            return d.isValid() ? QVariant(d) : v;
        }
        case 'L':
            return v.toBool();
        default:
            return v;
        }
    }

    bool matches(int field, const QVariant& stored, const QVariant& wanted) const {
        const bool sn = isNullValue(stored), wn = isNullValue(wanted);
        if (sn || wn) return sn && wn;
        const char t = fields[field].type;
        if (isNumericType(t)) {
            const auto a = integralOf(stored);
            const auto b = integralOf(wanted);
            if (a && b) return *a == *b;
            if (wanted.typeId() == QMetaType::QString) {
                bool ok = false;
                const double d = wanted.toString().trimmed().toDouble(&ok);
                return ok && d == stored.toDouble();
            }
            return isNumberVariant(wanted) && stored.toDouble() == wanted.toDouble();
        }
        if (t == 'D') return dateOf(stored) == dateOf(wanted);
        if (t == 'L') return stored.toBool() == wanted.toBool();
        return stored.toString() == wanted.toString();
    }

    // ---- restriction ----

    bool restrictionInForce() const {
        return masterLink && attached && masterLink->enabled() && orderField >= 0;
    }

    QVariant masterValue() const {
        Dataset* m = masterLink ? masterLink->dataset() : nullptr;
        if (!m || !m->active()) return QVariant();
        if (m->state() == State::Browse && m->recNo() < 0) return QVariant();
        return m->fieldValue(masterField);
    }

    // Recomputes the presented rows; the current row becomes the first one
    // (toFirst) or stays the row it was when it is still presented.
    void present(bool toFirst) {
        const int oldId = presentedId(cur);
        restricted = restrictionInForce();
        view.clear();
        if (restricted) {
            const QVariant mv = masterValue();
            std::vector<int> ids;
            if (!isNullValue(mv)) {
                if (rows.lookup(orderField, mv, &ids) < 0) { // same key: file order is the order
                    ids.clear();
                    all.forEach([&](int id) {
                        if (matches(orderField, rows.at(id, orderField), mv)) ids.push_back(id);
                    });
                }
            }
            view.assign(std::move(ids));
        }
        const auto& p = presented();
        if (p.empty()) {
            cur = -1;
        } else if (toFirst || oldId < 0) {
            cur = 0;
        } else {
            const int pos = positionOf(oldId);
            cur = pos >= 0 ? pos : 0;
        }
    }

    void clear() {
        if (!storeGiven) file.reset();
        fields.clear();
        names.clear();
        rows.reset(0);
        all.clear();
        view.clear();
        restricted = false;
        cur = -1;
        buffer.clear();
        orderField = -1;
    }
};

Table::Table(QObject* parent) : Dataset(parent), d(std::make_unique<Impl>()) {
    d->q = this;
}

Table::~Table() = default;

void Table::setFileName(const QString& path) {
    d->fileName = path;
    if (d->storeGiven) {
        d->file.reset();
        d->storeGiven = false;
    }
}

void Table::setStore(std::unique_ptr<TableStore> store) {
    d->file = std::move(store);
    d->storeGiven = d->file != nullptr;
    if (d->file) d->fileName = d->file->displayName();
}

TableStore* Table::store() const {
    return d->file.get();
}

QString Table::fileName() const {
    return d->fileName;
}

void Table::setRequiredFields(const QStringList& names) {
    d->required = names;
}

void Table::setOpenCheck(std::function<void(const DbfFile&)> check) {
    d->openCheck = std::move(check);
}

void Table::setIndexedFields(const QStringList& names) {
    d->indexedNames = names;
}

void Table::shareTexts(const QString& field, Table& from, const QString& fromField) {
    if (!d->file || !from.d->file) return;
    d->rows.shareTexts(d->file->fieldIndex(field), from.d->rows, from.d->file->fieldIndex(fromField));
}

void Table::open() {
    if (active()) return;
    load();
    finishOpen();
}

void Table::load() {
    if (active()) return;
    d->clear();
    if (!d->storeGiven) d->file = std::make_unique<DbfTableStore>(d->fileName);
    try {
        d->file->setBatch(d->batch);
        d->file->open();
        d->fields = d->file->fields();
        for (const DbfField& f : d->fields)
            d->names << f.name.toLower();
        for (const QString& r : d->required) {
            if (d->file->fieldIndex(r) < 0) {
                throw EDatabaseError(
                    QStringLiteral("В таблице %1 нет поля %2.").arg(d->file->displayName(), r.toUpper()));
            }
        }
        if (d->openCheck && d->file->dbfFile()) d->openCheck(*d->file->dbfFile());
        d->rows.reset(static_cast<int>(d->fields.size()));
        for (int f = 0; f < d->fields.size(); ++f)
            d->rows.setKind(f, storeKind(d->fields[f]));
        for (const QString& n : d->indexedNames) {
            const int f = d->file->fieldIndex(n);
            if (f >= 0) d->rows.addIndex(f, isNumericType(d->fields[f].type));
        }
        d->orderField = d->detailFieldName.isEmpty() ? -1 : d->file->fieldIndex(d->detailFieldName);
        if (!d->detailFieldName.isEmpty() && d->orderField < 0) {
            throw EDatabaseError(QStringLiteral("В таблице %1 нет поля %2.")
                                     .arg(d->file->displayName(), d->detailFieldName.toUpper()));
        }
        d->rows.reserve(d->file->sizeHint() + 64);
        d->file->load([this](quint32 recno, QVector<QVariant>&& values) {
            d->rows.appendLoaded(recno, std::move(values));
        });
        d->rows.indexLoaded();
        if (d->orderField >= 0) {
            std::vector<int> ids(static_cast<size_t>(d->rows.size()));
            std::iota(ids.begin(), ids.end(), 0);
            std::stable_sort(ids.begin(), ids.end(), [this](int a, int b) { return d->less(a, b); });
            d->all.assign(std::move(ids));
        } else {
            d->all.assignIds(d->rows.size()); // every row read is live
        }
    } catch (...) {
        d->clear();
        throw;
    }
}

void Table::finishOpen() {
    if (active() || !d->file) return;
    ++d->generation;
    setState(State::Browse);
    d->present(true);
    announceOpened(d->presented().empty());
}

void Table::setWriteBatch(WriteBatch* batch) {
    d->batch = batch;
    if (d->file) d->file->setBatch(batch);
}

void Table::reload() {
    if (!active()) return;
    const int row = recNo();
    const std::optional<quint32> key = currentKey();
    close();
    open();
    if (row < 0 || recordCount() == 0) return;
    // The row that was current, found by its key (the same record or
    // database row), else the same position.
    if (key && moveToKey(*key)) return;
    setRecNo(std::min(row, recordCount() - 1));
}

bool Table::reloadRows(const std::vector<quint32>& wanted) {
    if (!active() || state() != State::Browse) return false;
    std::vector<quint32> keys = wanted;
    std::sort(keys.begin(), keys.end());
    keys.erase(std::unique(keys.begin(), keys.end()), keys.end());
    if (keys.empty()) return true;
    std::vector<std::pair<quint32, QVector<QVariant>>> fresh;
    if (!d->file->loadRows(keys, [&](quint32 key, QVector<QVariant>&& values) {
            fresh.emplace_back(key, std::move(values));
        })) {
        reload();
        return true;
    }
    // The rows in memory of the keys (ids are in key order: one pass).
    std::unordered_map<quint32, int> idOf;
    idOf.reserve(keys.size());
    const auto wantedKey = [&](quint32 key) { return std::binary_search(keys.begin(), keys.end(), key); };
    const int n = d->rows.size();
    const quint32 lastKey = n > 0 ? d->rows.recno(n - 1) : 0;
    for (int id = 0; id < n; ++id)
        if (d->rows.live(id) && wantedKey(d->rows.recno(id))) idOf[d->rows.recno(id)] = id;
    for (const auto& [key, values] : fresh) {
        if (!idOf.count(key) && n > 0 && key <= lastKey) {
            reload();
            return true;
        }
    }
    const int oldPos = d->cur;
    const int oldId = d->presentedId(d->cur);
    // Out of the presented order first (the values decide the place), then
    // changed, killed or added, and merged back in order.
    std::vector<char> touched(static_cast<size_t>(n), 0);
    for (const auto& [key, id] : idOf)
        touched[static_cast<size_t>(id)] = 1;
    const auto isTouched = [&](int id) { return id < n && touched[static_cast<size_t>(id)] != 0; };
    d->all.eraseIf(isTouched);
    std::vector<int> back;
    for (auto& [key, values] : fresh) {
        const auto it = idOf.find(key);
        if (it != idOf.end()) {
            d->rows.set(it->second, values);
            back.push_back(it->second);
            idOf.erase(it);
        } else {
            back.push_back(d->rows.append(key, std::move(values)));
        }
    }
    for (const auto& [key, id] : idOf)
        d->rows.kill(id);
    std::sort(back.begin(), back.end(), [this](int a, int b) { return d->less(a, b); });
    d->all.mergeIn(back, d->order);
    d->present(false);
    const int shown = d->presented().size();
    // A current row deleted elsewhere: the row now at its place.
    if (oldId >= 0 && !d->rows.live(oldId) && shown > 0) d->cur = std::clamp(oldPos, 0, shown - 1);
    setEofBof(shown == 0, shown == 0);
    emit rowsReset();
    notifyDataEvent();
    return true;
}

std::optional<quint32> Table::currentKey() const {
    if (state() == State::Insert) return std::nullopt;
    const int id = d->presentedId(d->cur);
    if (id < 0 || !d->rows.live(id)) return std::nullopt;
    return d->rows.recno(id);
}

bool Table::moveToKey(quint32 key) {
    if (!active() || state() != State::Browse) return false;
    for (int i = 0; i < d->rows.size(); ++i) {
        if (d->rows.live(i) && d->rows.recno(i) == key) {
            const int pos = d->positionOf(i);
            if (pos < 0) return false;
            setRecNo(pos);
            return true;
        }
    }
    return false;
}

void Table::close() {
    if (!active()) {
        d->clear(); // a load that was not opened
        return;
    }
    setState(State::Inactive);
    d->clear();
    setEofBof(true, true);
    emit rowsReset();
}

int Table::recordCount() const {
    if (!active()) return 0;
    return d->presented().size();
}

int Table::recNo() const {
    if (state() == State::Insert) return -1;
    return d->cur;
}

void Table::setRecNo(int row) {
    requireActive();
    // Moving off a row being edited or inserted posts it first; "moving" to
    // the row itself (a grid catching up) changes nothing.
    if (state() == State::Insert && row < 0) return;
    if (state() == State::Edit && std::clamp(row, 0, std::max(0, recordCount() - 1)) == d->cur) return;
    if (state() == State::Edit || state() == State::Insert) post();
    moveCurrentRow(d->cur, row, d->presented().size());
}

QStringList Table::fieldNames() const {
    return d->names;
}

QVariant Table::value(int row, int field) const {
    if (!active() || field < 0 || field >= d->names.size()) return QVariant();
    if (state() == State::Edit && row == d->cur) return d->buffer.value(field);
    const int id = d->presentedId(row);
    if (id < 0) return QVariant();
    return d->rows.get(id, field);
}

QVariant Table::currentValue(int field) const {
    if (state() == State::Edit || state() == State::Insert) return d->buffer.value(field);
    const int id = d->presentedId(d->cur);
    if (id < 0) return QVariant();
    return d->rows.get(id, field);
}

void Table::append() {
    requireActive();
    if (state() == State::Edit || state() == State::Insert) post();
    d->insertReturnPos = d->cur;
    d->buffer = QVector<QVariant>(d->fields.size());
    if (d->restricted && d->orderField >= 0) {
        const QVariant mv = d->masterValue();
        if (!isNullValue(mv)) d->buffer[d->orderField] = d->normalized(d->orderField, mv);
    }
    setState(State::Insert);
    setEofBof(false, false);
    emit rowsReset();
    notifyDataEvent();
}

void Table::edit() {
    requireActive();
    if (state() == State::Edit || state() == State::Insert) return;
    if (d->presented().empty()) {
        append();
        return;
    }
    d->buffer = d->rows.values(d->presentedId(d->cur));
    setState(State::Edit);
    emit rowChanged(d->cur);
}

void Table::setFieldValue(const QString& name, const QVariant& value) {
    requireActive();
    if (state() != State::Edit && state() != State::Insert)
        throw EDatabaseError(QStringLiteral("Dataset not in edit or insert mode"));
    const int f = requireFieldIndex(name);
    d->buffer[f] = d->normalized(f, value);
    if (state() == State::Edit) emit rowChanged(d->cur);
    notifyDataEvent(f);
}

void Table::post() {
    requireActive();
    if (state() != State::Edit && state() != State::Insert) return;
    d->file->checkFits(d->buffer);
    int id = -1;
    if (state() == State::Edit) {
        id = d->presentedId(d->cur);
        d->file->update(d->rows.recno(id), d->buffer);
        d->all.erase(id, d->order);
        d->rows.set(id, d->buffer);
        d->all.insert(id, d->order);
        d->insertReturnPos = d->cur;
    } else {
        const quint32 recno = d->file->append(d->buffer);
        id = d->rows.append(recno, QVector<QVariant>(d->buffer));
        d->all.insert(id, d->order);
    }
    d->buffer.clear();
    setState(State::Browse);
    // Present the rows again; the posted row stays current when it is still
    // presented (a controller moved to another object leaves the list).
    const int back = d->insertReturnPos;
    d->cur = -1;
    d->present(true);
    const int pos = d->positionOf(id);
    const int n = d->presented().size();
    if (pos >= 0)
        d->cur = pos;
    else
        d->cur = n == 0 ? -1 : std::clamp(back, 0, n - 1);
    setEofBof(n == 0, n == 0);
    emit rowsReset();
    notifyDataEvent();
}

void Table::cancel() {
    if (state() != State::Edit && state() != State::Insert) return;
    const bool wasInsert = state() == State::Insert;
    d->buffer.clear();
    setState(State::Browse);
    if (wasInsert) {
        const int n = d->presented().size();
        d->cur = n == 0 ? -1 : std::clamp(d->insertReturnPos, 0, n - 1);
        emit rowsReset();
    } else {
        emit rowChanged(d->cur);
    }
    setEofBof(d->presented().empty(), d->presented().empty());
    notifyDataEvent();
}

void Table::deleteRecord() {
    requireActive();
    if (state() == State::Insert) {
        cancel();
        return;
    }
    requireRows();
    const int id = d->presentedId(d->cur);
    d->file->remove(d->rows.recno(id));
    d->buffer.clear();
    setState(State::Browse);
    d->all.erase(id, d->order);
    if (d->restricted) d->view.erase(id, d->order);
    d->rows.kill(id);
    const int n = d->presented().size();
    d->cur = n == 0 ? -1 : std::min(d->cur, n - 1);
    setEofBof(n == 0, n == 0);
    emit rowsReset();
    notifyDataEvent();
}

int Table::deleteMatching(const QString& name, const QVariantList& values) {
    requireActive();
    const int f = requireFieldIndex(name);
    if (state() != State::Browse) cancel();
    std::vector<int> ids, some;
    for (const QVariant& value : values) {
        if (d->rows.lookup(f, value, &some) < 0) {
            some.clear();
            d->all.forEach([&](int id) {
                if (d->matches(f, d->rows.at(id, f), value)) some.push_back(id);
            });
        }
        ids.insert(ids.end(), some.begin(), some.end());
    }
    std::sort(ids.begin(), ids.end());
    ids.erase(std::unique(ids.begin(), ids.end()), ids.end());
    if (ids.empty()) return 0;
    // The file first, record by record; the rows in memory follow for every
    // record the file took, also when a later one fails.
    size_t done = 0;
    const auto forget = [&] {
        if (done == 0) return;
        std::vector<char> gone(static_cast<size_t>(d->rows.size()), 0);
        for (size_t i = 0; i < done; ++i)
            gone[ids[i]] = 1;
        const auto isGone = [&gone](int id) { return gone[id] != 0; };
        d->all.eraseIf(isGone);
        d->view.eraseIf(isGone);
        for (size_t i = 0; i < done; ++i)
            d->rows.kill(ids[i]);
        const int n = d->presented().size();
        d->cur = n == 0 ? -1 : std::min(d->cur, n - 1);
        setEofBof(n == 0, n == 0);
        emit rowsReset();
        notifyDataEvent();
    };
    try {
        for (; done < ids.size(); ++done)
            d->file->remove(d->rows.recno(ids[done]));
    } catch (...) {
        forget();
        throw;
    }
    forget();
    return static_cast<int>(done);
}

bool Table::locate(const QString& fieldList, const QVariantList& values) {
    requireActive();
    const QStringList parts = fieldList.split(QLatin1Char(';'));
    if (parts.size() != values.size())
        throw EDatabaseError(
            QStringLiteral("Locate: %1 field(s) but %2 value(s)").arg(parts.size()).arg(values.size()));
    QVector<int> fs;
    for (const QString& p : parts)
        fs << requireFieldIndex(p.trimmed());
    if (state() == State::Edit || state() == State::Insert) post();

    auto rowMatches = [&](int id) {
        for (int i = 0; i < fs.size(); ++i) {
            if (!d->matches(fs[i], d->rows.at(id, fs[i]), values[i])) return false;
        }
        return true;
    };

    // The smallest candidate list that an index gives, if any.
    int best = -1, bestCount = -1;
    for (int i = 0; i < fs.size(); ++i) {
        const int n = d->rows.lookup(fs[i], values[i], nullptr);
        if (n >= 0 && (best < 0 || n < bestCount)) {
            best = i;
            bestCount = n;
        }
    }

    int found = -1;
    if (best >= 0) {
        std::vector<int> candidates;
        d->rows.lookup(fs[best], values[best], &candidates);
        for (int id : candidates) {
            if (!rowMatches(id)) continue;
            const int pos = d->positionOf(id);
            if (pos >= 0 && (found < 0 || pos < found)) found = pos;
            if (found >= 0 && d->orderField < 0)
                break; // file order is the presented order: the first is the one
        }
    } else {
        const auto& p = d->presented();
        for (int i = 0; i < p.size(); ++i) {
            if (rowMatches(p.at(i))) {
                found = i;
                break;
            }
        }
    }
    if (found < 0) return false;
    setEofBof(false, false);
    if (found != d->cur) {
        d->cur = found;
        notifyDataEvent();
    }
    return true;
}

int Table::fieldWidth(const QString& name) const {
    requireActive();
    return d->file->fieldWidth(requireFieldIndex(name));
}

TextFit Table::textFit(const QString& name, const QString& text) const {
    requireActive();
    const DbfField& field = d->fields[requireFieldIndex(name)];
    TextFit fit;
    fit.codePage = d->file->codePageName();
    if (field.type != 'C') return fit;
    const CodePage* page = CodePage::byIconvName(fit.codePage.toUpper().toLatin1().constData());
    if (!page) return fit; // the file could not have been read without it
    qsizetype end = text.size();
    while (end > 0 && text.at(end - 1) == QLatin1Char(' '))
        --end;
    const QString stored = text.left(end);
    QByteArray bytes;
    QChar bad;
    if (!page->encode(stored, bytes, &bad)) {
        fit.problem = TextFit::Problem::Character;
        fit.position = stored.indexOf(bad);
        fit.size = 1;
        fit.codePoint = bad.unicode();
        if (bad.isHighSurrogate() && fit.position + 1 < stored.size() &&
            stored.at(fit.position + 1).isLowSurrogate()) {
            fit.size = 2;
            fit.codePoint = QChar::surrogateToUcs4(bad, stored.at(fit.position + 1));
        }
        return fit;
    }
    if (bytes.size() > field.length) {
        fit.problem = TextFit::Problem::TooLong;
        fit.length = static_cast<int>(bytes.size());
        fit.width = field.length;
    }
    return fit;
}

void Table::setMaster(DataLink* masterLink, const QString& masterField, const QString& detailField) {
    d->masterLink = masterLink;
    d->masterField = masterField;
    d->detailFieldName = detailField;
    d->attached = true;
    if (!masterLink) return;
    masterLink->addChangeHandler([this] {
        if (!active() || !d->attached) return;
        Dataset* m = d->masterLink->dataset();
        // Assigning another field of the master row does not move the restriction.
        if (m && m->changedField() >= 0 && m->fieldIndex(d->masterField) != m->changedField()) return;
        if (state() == State::Edit || state() == State::Insert) post();
        presentFromFirst();
    });
    masterLink->addEnabledHandler([this](bool enabled) {
        if (!active() || !d->attached || enabled)
            return; // resuming re-applies through the change event it counts as
        presentKeepingCurrent();
    });
}

void Table::detachMaster() {
    if (!d->attached) return;
    d->attached = false;
    if (!active() || !d->restricted) return;
    presentKeepingCurrent();
}

void Table::attachMaster() {
    if (d->attached) return;
    d->attached = true;
    if (!active() || !d->restrictionInForce()) return;
    presentFromFirst();
}

void Table::presentFromFirst() {
    d->present(true);
    setEofBof(d->presented().empty(), true);
    emit rowsReset();
    notifyDataEvent();
}

void Table::presentKeepingCurrent() {
    const int before = d->presentedId(d->cur);
    d->present(false);
    emit rowsReset();
    if (d->presentedId(d->cur) != before) notifyDataEvent();
}

bool Table::masterAttached() const {
    return d->attached;
}

int Table::storedRowCount() const {
    return d->rows.size();
}

bool Table::storedRowLive(int id) const {
    return d->rows.live(id);
}

QVariant Table::storedValue(int id, int field) const {
    if (!storedRowLive(id)) return QVariant();
    return d->rows.get(id, field);
}

bool Table::storedInteger(int id, int field, qint64* value) const {
    return storedRowLive(id) && field >= 0 && field < d->rows.fieldCount() &&
           d->rows.integerView(id, field, value);
}

bool Table::storedText(int id, int field, QAnyStringView* text) const {
    return storedRowLive(id) && field >= 0 && field < d->rows.fieldCount() &&
           d->rows.textView(id, field, text);
}

int Table::lookup(int field, const QVariant& key, std::vector<int>* ids) const {
    return d->rows.lookup(field, key, ids);
}

int Table::lookupText(int field, QAnyStringView key, std::vector<int>* ids) const {
    return d->rows.lookupText(field, key, ids);
}

int Table::rowOfStored(int id) const {
    if (!d->rows.live(id)) return -1;
    return d->positionOf(id);
}

bool Table::fieldIndexed(int field) const {
    return d->rows.indexed(field);
}

int Table::indexKeyCount(int field) const {
    return d->rows.indexKeyCount(field);
}

int Table::liveRowCount() const {
    return d->rows.liveCount();
}

char Table::fieldType(int field) const {
    if (field < 0 || field >= d->fields.size()) return 'C';
    return d->fields[field].type;
}

quint64 Table::openGeneration() const {
    return d->generation;
}

} // namespace varek
