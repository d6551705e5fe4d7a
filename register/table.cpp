#include "register/table.h"

#include "core/errors.h"
#include "dbase/dbf.h"
#include "register/data_link.h"

#include <QDateTime>
#include <QFileInfo>
#include <QHash>

#include <algorithm>
#include <cmath>
#include <limits>
#include <optional>

namespace varek {

namespace {

bool isNullValue(const QVariant& v) {
    return !v.isValid() || v.isNull();
}

bool isNumericType(char t) {
    return t == 'N' || t == 'F' || t == 'I';
}

// An integral number held by a value, when it holds one exactly.
std::optional<qint64> integralOf(const QVariant& v) {
    if (isNullValue(v)) return std::nullopt;
    switch (v.typeId()) {
    case QMetaType::Int:
    case QMetaType::UInt:
    case QMetaType::LongLong:
    case QMetaType::ULongLong:
    case QMetaType::Short:
    case QMetaType::UShort:
    case QMetaType::Long:
    case QMetaType::ULong:
    case QMetaType::Char:
    case QMetaType::SChar:
    case QMetaType::UChar:
        return v.toLongLong();
    case QMetaType::Bool:
        return v.toBool() ? 1 : 0;
    case QMetaType::Double:
    case QMetaType::Float: {
        const double d = v.toDouble();
        if (std::isfinite(d) && d == std::floor(d) && std::fabs(d) < 9.0e18) return static_cast<qint64>(d);
        return std::nullopt;
    }
    case QMetaType::QString: {
        bool ok = false;
        const qint64 n = v.toString().trimmed().toLongLong(&ok);
        if (ok) return n;
        return std::nullopt;
    }
    default:
        return std::nullopt;
    }
}

bool isNumberVariant(const QVariant& v) {
    switch (v.typeId()) {
    case QMetaType::QString:
    case QMetaType::QDate:
    case QMetaType::QDateTime:
        return false;
    default:
        return v.canConvert<double>();
    }
}

QDate dateOf(const QVariant& v) {
    if (v.typeId() == QMetaType::QDate) return v.toDate();
    if (v.typeId() == QMetaType::QDateTime) return v.toDateTime().date();
    if (v.typeId() == QMetaType::QString) return QDate::fromString(v.toString(), Qt::ISODate);
    return QDate();
}

// Three-way comparison used for the presentation order (nulls first).
int compareValues(const QVariant& a, const QVariant& b) {
    const bool an = isNullValue(a), bn = isNullValue(b);
    if (an || bn) return an == bn ? 0 : (an ? -1 : 1);
    if (isNumberVariant(a) && isNumberVariant(b)) {
        const auto ia = integralOf(a), ib = integralOf(b);
        if (ia && ib) return *ia < *ib ? -1 : (*ia > *ib ? 1 : 0);
        const double da = a.toDouble(), db = b.toDouble();
        return da < db ? -1 : (da > db ? 1 : 0);
    }
    if (a.typeId() == QMetaType::QDate && b.typeId() == QMetaType::QDate) {
        const QDate x = a.toDate(), y = b.toDate();
        return x < y ? -1 : (x > y ? 1 : 0);
    }
    return a.toString().compare(b.toString());
}

} // namespace

struct Table::Impl {
    // Stored rows, all fields of a row side by side in one array (no
    // allocation per row); ids are positions, deleted rows stay as dead ids.
    struct Rows {
        int nf = 0;
        std::vector<QVariant> cells;
        std::vector<quint32> recnos;
        std::vector<char> live;

        size_t size() const { return recnos.size(); }
        QVariant& at(int id, int f) { return cells[static_cast<size_t>(id) * nf + f]; }
        const QVariant& at(int id, int f) const { return cells[static_cast<size_t>(id) * nf + f]; }
        QVariant get(int id, int f) const { return f >= 0 && f < nf ? at(id, f) : QVariant(); }
        void reserve(size_t n) {
            cells.reserve(n * nf);
            recnos.reserve(n);
            live.reserve(n);
        }
        int append(quint32 recno, QVector<QVariant>&& v) {
            for (int f = 0; f < nf; ++f)
                cells.push_back(f < v.size() ? std::move(v[f]) : QVariant());
            recnos.push_back(recno);
            live.push_back(1);
            return static_cast<int>(recnos.size()) - 1;
        }
        QVector<QVariant> values(int id) const {
            QVector<QVariant> v(nf);
            for (int f = 0; f < nf; ++f)
                v[f] = at(id, f);
            return v;
        }
        void set(int id, const QVector<QVariant>& v) {
            for (int f = 0; f < nf; ++f)
                at(id, f) = v.value(f);
        }
        void kill(int id) {
            live[id] = 0;
            for (int f = 0; f < nf; ++f)
                at(id, f) = QVariant();
        }
        void clear() {
            cells = {};
            recnos = {};
            live = {};
            nf = 0;
        }
    };

    // A hash index: for each key the chain of its rows in file order, linked
    // through next[] (one int per row), so loading a big table allocates
    // nothing per key beyond the hash's own storage.
    struct Chain {
        int head = -1;
        int tail = -1;
        int count = 0;
    };
    struct Index {
        bool numeric = false;
        QHash<qint64, Chain> ints;
        QHash<QString, Chain> texts;
        std::vector<int> next;
    };

    Table* q = nullptr;
    QString fileName;
    QStringList required;
    QStringList indexedNames;
    std::function<void(const DbfFile&)> openCheck;

    std::unique_ptr<DbfFile> file;
    QVector<DbfField> fields;
    QStringList names;
    Rows rows;
    std::vector<std::optional<Index>> indexes; // by field position
    int liveCount = 0;
    quint64 generation = 0;

    // Presentation: every live row in order (orderField, then file order),
    // and, while the restriction is in force, the rows of the master's row.
    std::vector<int> all;
    std::vector<int> view;
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

    const std::vector<int>& presented() const { return restricted ? view : all; }

    int presentedId(int pos) const {
        const auto& p = presented();
        if (pos < 0 || pos >= static_cast<int>(p.size())) return -1;
        return p[pos];
    }

    bool less(int a, int b) const {
        if (orderField >= 0) {
            const int c = compareValues(rows.at(a, orderField), rows.at(b, orderField));
            if (c != 0) return c < 0;
        }
        return a < b;
    }

    // Position of a live id in a list ordered by less(); -1 when absent.
    int positionIn(const std::vector<int>& list, int id) const {
        auto it = std::lower_bound(list.begin(), list.end(), id, [this](int x, int y) { return less(x, y); });
        if (it != list.end() && *it == id) return static_cast<int>(it - list.begin());
        return -1;
    }

    int positionOf(int id) const { return positionIn(presented(), id); }

    void insertSorted(std::vector<int>& list, int id) {
        auto it = std::upper_bound(list.begin(), list.end(), id, [this](int x, int y) { return less(x, y); });
        list.insert(it, id);
    }

    void eraseFrom(std::vector<int>& list, int id) {
        const int pos = positionIn(list, id);
        if (pos >= 0) list.erase(list.begin() + pos);
    }

    // ---- indexes ----

    std::optional<qint64> intKey(const QVariant& v) const { return integralOf(v); }

    // The chain of a key in an index: nullptr when absent; *usable false
    // when the key cannot be looked up in this index (text in a numeric one).
    Chain* chainOf(Index& ix, const QVariant& key, bool create, bool* usable = nullptr) {
        if (usable) *usable = true;
        if (ix.numeric) {
            const auto k = intKey(key);
            if (!k) {
                if (usable) *usable = key.typeId() != QMetaType::QString;
                return nullptr;
            }
            if (create) return &ix.ints[*k];
            auto it = ix.ints.find(*k);
            return it == ix.ints.end() ? nullptr : &it.value();
        }
        const QString text = key.toString();
        if (create) return &ix.texts[text];
        auto it = ix.texts.find(text);
        return it == ix.texts.end() ? nullptr : &it.value();
    }

    void indexAdd(int id) {
        for (size_t f = 0; f < indexes.size(); ++f) {
            if (!indexes[f]) continue;
            Index& ix = *indexes[f];
            if (ix.next.size() <= static_cast<size_t>(id))
                ix.next.resize(std::max(static_cast<size_t>(id) + 1, rows.size()), -1);
            ix.next[id] = -1;
            QVariant& v = rows.at(id, static_cast<int>(f));
            if (isNullValue(v)) continue;
            Chain* c = nullptr;
            if (ix.numeric) {
                c = chainOf(ix, v, true);
            } else {
                // The row keeps the index's copy of the text: rows of one key
                // share one string (an access table repeats each code).
                const QString text = v.toString();
                auto it = ix.texts.find(text);
                if (it == ix.texts.end()) it = ix.texts.insert(text, Chain{});
                if (v.typeId() == QMetaType::QString) v = QVariant(it.key());
                c = &it.value();
            }
            if (!c) continue;
            ++c->count;
            if (c->head < 0) {
                c->head = c->tail = id;
            } else if (c->tail < id) {
                ix.next[c->tail] = id;
                c->tail = id;
            } else {
                int prev = -1, x = c->head;
                while (x >= 0 && x < id) {
                    prev = x;
                    x = ix.next[x];
                }
                ix.next[id] = x;
                if (prev < 0)
                    c->head = id;
                else
                    ix.next[prev] = id;
            }
        }
    }

    void indexRemove(int id) {
        for (size_t f = 0; f < indexes.size(); ++f) {
            if (!indexes[f]) continue;
            Index& ix = *indexes[f];
            const QVariant& v = rows.at(id, static_cast<int>(f));
            if (isNullValue(v)) continue;
            Chain* c = chainOf(ix, v, false);
            if (!c) continue;
            int prev = -1, x = c->head;
            while (x >= 0 && x != id) {
                prev = x;
                x = ix.next[x];
            }
            if (x != id) continue;
            if (prev < 0)
                c->head = ix.next[id];
            else
                ix.next[prev] = ix.next[id];
            if (c->tail == id) c->tail = prev;
            ix.next[id] = -1;
            if (--c->count == 0) {
                if (ix.numeric)
                    ix.ints.remove(*intKey(v));
                else
                    ix.texts.remove(v.toString());
            }
        }
    }

    // Rows of a key, in file order: -1 when the field has no index or the
    // key cannot be looked up in it, else the number of rows (ids into out
    // when out is given).
    int lookup(int field, const QVariant& key, std::vector<int>* out) const {
        if (out) out->clear();
        if (field < 0 || field >= static_cast<int>(indexes.size()) || !indexes[field]) return -1;
        if (isNullValue(key)) return 0;
        Index& ix = const_cast<Index&>(*indexes[field]);
        bool usable = true;
        const Chain* c = const_cast<Impl*>(this)->chainOf(ix, key, false, &usable);
        if (!usable) return -1;
        if (!c) return 0;
        if (out) {
            out->reserve(c->count);
            for (int x = c->head; x >= 0; x = ix.next[x])
                out->push_back(x);
        }
        return c->count;
    }

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
            if (!isNullValue(mv)) {
                if (lookup(orderField, mv, &view) < 0) { // same key: file order is the order
                    for (int id : all) {
                        if (matches(orderField, rows.at(id, orderField), mv)) view.push_back(id);
                    }
                }
            }
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
        file.reset();
        fields.clear();
        names.clear();
        rows.clear();
        indexes.clear();
        all.clear();
        all.shrink_to_fit();
        view.clear();
        restricted = false;
        cur = -1;
        buffer.clear();
        liveCount = 0;
        orderField = -1;
    }
};

Table::Table(QObject* parent) : Dataset(parent), d(std::make_unique<Impl>()) {
    d->q = this;
}

Table::~Table() = default;

void Table::setFileName(const QString& path) {
    d->fileName = path;
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

void Table::open() {
    if (active()) return;
    d->clear();
    d->file = DbfFile::open(d->fileName, DbfFile::Memos::Required);
    try {
        d->fields = d->file->fields();
        for (const DbfField& f : d->fields)
            d->names << f.name.toLower();
        for (const QString& r : d->required) {
            if (d->file->fieldIndex(r) < 0) {
                throw EDatabaseError(QStringLiteral("В таблице %1 нет поля %2.")
                                         .arg(QFileInfo(d->fileName).fileName(), r.toUpper()));
            }
        }
        if (d->openCheck) d->openCheck(*d->file);
        d->indexes.assign(d->fields.size(), std::nullopt);
        for (const QString& n : d->indexedNames) {
            const int f = d->file->fieldIndex(n);
            if (f < 0) continue;
            Impl::Index ix;
            ix.numeric = isNumericType(d->fields[f].type);
            d->indexes[f] = std::move(ix);
        }
        d->orderField = d->detailFieldName.isEmpty() ? -1 : d->file->fieldIndex(d->detailFieldName);
        if (!d->detailFieldName.isEmpty() && d->orderField < 0) {
            throw EDatabaseError(QStringLiteral("В таблице %1 нет поля %2.")
                                     .arg(QFileInfo(d->fileName).fileName(), d->detailFieldName.toUpper()));
        }
        d->rows.nf = static_cast<int>(d->fields.size());
        d->rows.reserve(d->file->recordCount() + 64);
        d->file->readAll(
            [this](quint32 recno, QVector<QVariant>&& values) { d->rows.append(recno, std::move(values)); });
        d->liveCount = static_cast<int>(d->rows.size());
        d->all.resize(d->rows.size());
        for (size_t i = 0; i < d->rows.size(); ++i) {
            d->all[i] = static_cast<int>(i);
            d->indexAdd(static_cast<int>(i));
        }
        if (d->orderField >= 0)
            std::stable_sort(d->all.begin(), d->all.end(), [this](int a, int b) { return d->less(a, b); });
    } catch (...) {
        d->clear();
        throw;
    }
    ++d->generation;
    setState(State::Browse);
    d->present(true);
    announceOpened(d->presented().empty());
}

void Table::close() {
    if (!active()) return;
    setState(State::Inactive);
    d->clear();
    setEofBof(true, true);
    emit rowsReset();
}

int Table::recordCount() const {
    if (!active()) return 0;
    return static_cast<int>(d->presented().size());
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
    moveCurrentRow(d->cur, row, static_cast<int>(d->presented().size()));
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
        d->file->writeRecord(d->rows.recnos[id], d->buffer);
        d->indexRemove(id);
        d->eraseFrom(d->all, id);
        d->rows.set(id, d->buffer);
        d->insertSorted(d->all, id);
        d->indexAdd(id);
        d->insertReturnPos = d->cur;
    } else {
        const quint32 recno = d->file->appendRecord(d->buffer);
        id = d->rows.append(recno, QVector<QVariant>(d->buffer));
        ++d->liveCount;
        d->insertSorted(d->all, id);
        d->indexAdd(id);
    }
    d->buffer.clear();
    setState(State::Browse);
    // Present the rows again; the posted row stays current when it is still
    // presented (a controller moved to another object leaves the list).
    const int back = d->insertReturnPos;
    d->cur = -1;
    d->present(true);
    const int pos = d->positionOf(id);
    const int n = static_cast<int>(d->presented().size());
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
        const int n = static_cast<int>(d->presented().size());
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
    d->file->deleteRecord(d->rows.recnos[id]);
    d->buffer.clear();
    setState(State::Browse);
    d->indexRemove(id);
    d->eraseFrom(d->all, id);
    if (d->restricted) d->eraseFrom(d->view, id);
    d->rows.kill(id);
    --d->liveCount;
    const int n = static_cast<int>(d->presented().size());
    d->cur = n == 0 ? -1 : std::min(d->cur, n - 1);
    setEofBof(n == 0, n == 0);
    emit rowsReset();
    notifyDataEvent();
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
        const int n = d->lookup(fs[i], values[i], nullptr);
        if (n >= 0 && (best < 0 || n < bestCount)) {
            best = i;
            bestCount = n;
        }
    }

    int found = -1;
    if (best >= 0) {
        std::vector<int> candidates;
        d->lookup(fs[best], values[best], &candidates);
        for (int id : candidates) {
            if (!rowMatches(id)) continue;
            const int pos = d->positionOf(id);
            if (pos >= 0 && (found < 0 || pos < found)) found = pos;
            if (found >= 0 && d->orderField < 0)
                break; // file order is the presented order: the first is the one
        }
    } else {
        const auto& p = d->presented();
        for (size_t i = 0; i < p.size(); ++i) {
            if (rowMatches(p[i])) {
                found = static_cast<int>(i);
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
    return static_cast<int>(d->rows.size());
}

bool Table::storedRowLive(int id) const {
    return id >= 0 && id < static_cast<int>(d->rows.size()) && d->rows.live[id];
}

QVariant Table::storedValue(int id, int field) const {
    if (!storedRowLive(id)) return QVariant();
    return d->rows.get(id, field);
}

int Table::lookup(int field, const QVariant& key, std::vector<int>* ids) const {
    return d->lookup(field, key, ids);
}

bool Table::fieldIndexed(int field) const {
    return field >= 0 && field < static_cast<int>(d->indexes.size()) && d->indexes[field].has_value();
}

int Table::indexKeyCount(int field) const {
    if (!fieldIndexed(field)) return 0;
    const auto& ix = *d->indexes[field];
    return static_cast<int>(ix.numeric ? ix.ints.size() : ix.texts.size());
}

int Table::liveRowCount() const {
    return d->liveCount;
}

char Table::fieldType(int field) const {
    if (field < 0 || field >= d->fields.size()) return 'C';
    return d->fields[field].type;
}

quint64 Table::openGeneration() const {
    return d->generation;
}

} // namespace varek
