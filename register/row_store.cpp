#include "register/row_store.h"

#include "register/values.h"

#include <algorithm>

namespace varek {

void RowStore::reset(int fieldCount) {
    m_nf = fieldCount;
    m_cells = {};
    m_recnos = {};
    m_live = {};
    m_liveCount = 0;
    m_indexes.assign(static_cast<size_t>(fieldCount), std::nullopt);
}

void RowStore::addIndex(int field, bool numeric) {
    if (field < 0 || field >= m_nf) return;
    Index ix;
    ix.numeric = numeric;
    m_indexes[field] = std::move(ix);
}

void RowStore::reserve(size_t rows) {
    m_cells.reserve(rows * m_nf);
    m_recnos.reserve(rows);
    m_live.reserve(rows);
}

QVector<QVariant> RowStore::values(int id) const {
    QVector<QVariant> v(m_nf);
    for (int f = 0; f < m_nf; ++f)
        v[f] = at(id, f);
    return v;
}

void RowStore::appendLoaded(quint32 recno, QVector<QVariant>&& v) {
    for (int f = 0; f < m_nf; ++f)
        m_cells.push_back(f < v.size() ? std::move(v[f]) : QVariant());
    m_recnos.push_back(recno);
    m_live.push_back(1);
    ++m_liveCount;
}

void RowStore::indexLoaded() {
    for (auto& ix : m_indexes)
        if (ix) ix->next.assign(m_recnos.size(), -1);
    for (int id = 0; id < size(); ++id)
        indexAdd(id);
}

int RowStore::append(quint32 recno, QVector<QVariant>&& v) {
    appendLoaded(recno, std::move(v));
    const int id = size() - 1;
    indexAdd(id);
    return id;
}

void RowStore::set(int id, const QVector<QVariant>& v) {
    indexRemove(id);
    for (int f = 0; f < m_nf; ++f)
        cell(id, f) = v.value(f);
    indexAdd(id);
}

void RowStore::kill(int id) {
    if (!live(id)) return;
    indexRemove(id);
    m_live[id] = 0;
    --m_liveCount;
    for (int f = 0; f < m_nf; ++f)
        cell(id, f) = QVariant();
}

bool RowStore::indexed(int field) const {
    return field >= 0 && field < static_cast<int>(m_indexes.size()) && m_indexes[field].has_value();
}

int RowStore::indexKeyCount(int field) const {
    if (!indexed(field)) return 0;
    const Index& ix = *m_indexes[field];
    return static_cast<int>(ix.numeric ? ix.ints.size() : ix.texts.size());
}

RowStore::Chain* RowStore::chainOf(Index& ix, const QVariant& key, bool create, bool* usable) {
    if (usable) *usable = true;
    if (ix.numeric) {
        const auto k = integralOf(key);
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

void RowStore::indexAdd(int id) {
    for (size_t f = 0; f < m_indexes.size(); ++f) {
        if (!m_indexes[f]) continue;
        Index& ix = *m_indexes[f];
        if (ix.next.size() <= static_cast<size_t>(id))
            ix.next.resize(std::max(static_cast<size_t>(id) + 1, m_recnos.size()), -1);
        ix.next[id] = -1;
        QVariant& v = cell(id, static_cast<int>(f));
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

void RowStore::indexRemove(int id) {
    for (size_t f = 0; f < m_indexes.size(); ++f) {
        if (!m_indexes[f]) continue;
        Index& ix = *m_indexes[f];
        const QVariant& v = at(id, static_cast<int>(f));
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
                ix.ints.remove(*integralOf(v));
            else
                ix.texts.remove(v.toString());
        }
    }
}

int RowStore::lookup(int field, const QVariant& key, std::vector<int>* out) const {
    if (out) out->clear();
    if (!indexed(field)) return -1;
    if (isNullValue(key)) return 0;
    Index& ix = const_cast<Index&>(*m_indexes[field]);
    bool usable = true;
    const Chain* c = const_cast<RowStore*>(this)->chainOf(ix, key, false, &usable);
    if (!usable) return -1;
    if (!c) return 0;
    if (out) {
        out->reserve(c->count);
        for (int x = c->head; x >= 0; x = ix.next[x])
            out->push_back(x);
    }
    return c->count;
}

} // namespace varek
