#include "register/row_store.h"

#include "register/values.h"

#include <QDate>
#include <QStringView>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>
#include <type_traits>
#include <utility>

namespace varek {

// ---- the text pool ----

RowStore::TextPool::Chars::Chars(Chars&& o) noexcept
    : m_data(std::exchange(o.m_data, nullptr)), m_size(std::exchange(o.m_size, 0)),
      m_capacity(std::exchange(o.m_capacity, 0)) {}

RowStore::TextPool::Chars& RowStore::TextPool::Chars::operator=(Chars&& o) noexcept {
    if (this != &o) {
        std::free(m_data);
        m_data = std::exchange(o.m_data, nullptr);
        m_size = std::exchange(o.m_size, 0);
        m_capacity = std::exchange(o.m_capacity, 0);
    }
    return *this;
}

RowStore::TextPool::Chars::~Chars() {
    std::free(m_data);
}

void RowStore::TextPool::Chars::resize(size_t capacity) {
    if (capacity == 0) {
        std::free(m_data);
        m_data = nullptr;
        m_capacity = 0;
        return;
    }
    void* p = std::realloc(m_data, capacity);
    if (!p) throw std::bad_alloc();
    m_data = static_cast<char*>(p);
    m_capacity = capacity;
}

char* RowStore::TextPool::Chars::reserveMore(size_t n) {
    if (m_size + n > m_capacity) resize(std::max({m_capacity + m_capacity / 2, m_size + n, size_t(2048)}));
    return m_data + m_size;
}

void RowStore::TextPool::Chars::squeeze() {
    if (m_capacity > m_size) resize(m_size);
}

void RowStore::TextPool::squeeze() {
    m_chars.squeeze();
    m_starts.shrink_to_fit();
    m_tags.shrink_to_fit();
}

namespace {

bool isAscii(const char16_t* s, qsizetype n) {
    char16_t any = 0;
    for (qsizetype i = 0; i < n; ++i)
        any |= s[i];
    return any < 0x80;
}

// f(QStringView) over the text's characters, widened first when they are
// one byte each.
template <class F> auto asUtf16(QAnyStringView s, F&& f) {
    return s.visit([&](auto v) {
        if constexpr (std::is_same_v<decltype(v), QStringView>) {
            return f(v);
        } else if constexpr (std::is_same_v<decltype(v), QLatin1StringView>) {
            char16_t small[64];
            std::u16string big;
            char16_t* w = small;
            if (v.size() > qsizetype(std::size(small))) {
                big.resize(size_t(v.size()));
                w = big.data();
            }
            for (qsizetype i = 0; i < v.size(); ++i)
                w[i] = char16_t(uchar(v.data()[i]));
            return f(QStringView(w, v.size()));
        } else {
            const QString wide = v.toString();
            return f(QStringView(wide));
        }
    });
}

// Beside each text, the top 8 bits of its hash (m_tags, a byte a text, small
// enough to stay in the cache): a probe passes over most other texts without
// reading their characters, which lie all over memory.
quint8 tagOf(size_t hash) {
    return quint8(hash >> (sizeof(size_t) * 8 - 8));
}

} // namespace

size_t RowStore::TextPool::hashOf(QAnyStringView s) {
    return asUtf16(s, [](QStringView v) { return size_t(qHash(v, 0)); });
}

bool RowStore::TextPool::holds(quint32 id, QAnyStringView s) const {
    const quint32 b = m_starts[id], e = m_starts[id + 1];
    if (qsizetype(e - b) != s.size()) return false;
    if (b == e) return true;
    return s.visit([&](auto v) {
        using V = decltype(v);
        if constexpr (std::is_same_v<V, QStringView>) {
            if (m_wide)
                return std::memcmp(m_chars.data() + size_t(b) * 2, v.data(), size_t(v.size()) * 2) == 0;
        } else if constexpr (std::is_same_v<V, QLatin1StringView>) {
            if (!m_wide) return std::memcmp(m_chars.data() + b, v.data(), size_t(v.size())) == 0;
        }
        return QAnyStringView::equal(view(id), v);
    });
}

quint32 RowStore::TextPool::find(QAnyStringView s) const {
    if (m_slots.empty()) return kNone;
    return find(s, hashOf(s));
}

quint32 RowStore::TextPool::find(QAnyStringView s, size_t hash) const {
    if (m_slots.empty()) return kNone;
    const size_t mask = m_slots.size() - 1;
    const quint8 tag = tagOf(hash);
    for (size_t i = hash & mask;; i = (i + 1) & mask) {
        const quint32 slot = m_slots[i];
        if (slot == 0) return kNone;
        const quint32 id = slot - 1;
        if (m_tags[id] == tag && holds(id, s)) return id;
    }
}

void RowStore::TextPool::place(quint32 id, size_t hash) {
    const size_t mask = m_slots.size() - 1;
    size_t i = hash & mask;
    while (m_slots[i] != 0)
        i = (i + 1) & mask;
    m_slots[i] = id + 1;
}

void RowStore::TextPool::grow() {
    size_t size = std::max<size_t>(64, m_slots.size() * 2);
    while (size < (size_t(count()) + 1) * 2)
        size *= 2;
    m_slots.assign(size, 0);
    const bool retag = m_tags.size() != count();
    if (retag) m_tags.resize(count());
    for (quint32 id = 0; id < count(); ++id) {
        const size_t hash = hashOf(view(id));
        if (retag) m_tags[id] = tagOf(hash);
        place(id, hash);
    }
}

void RowStore::TextPool::widen() {
    const size_t n = m_chars.size();
    Chars wide;
    auto* w = reinterpret_cast<char16_t*>(wide.reserveMore(n * 2));
    for (size_t i = 0; i < n; ++i)
        w[i] = char16_t(uchar(m_chars.data()[i]));
    wide.grew(n * 2);
    m_chars = std::move(wide);
    m_wide = true; // a text's hash is of its characters: the lookup stays as it is
}

void RowStore::TextPool::dropLookup() {
    std::vector<quint32>().swap(m_slots); // = {} would keep the room
    std::vector<quint8>().swap(m_tags);
}

void RowStore::TextPool::keepLookup() {
    if (m_slots.empty() && count() > 0) grow();
}

quint32 RowStore::TextPool::intern(const char16_t* s, qsizetype n) {
    keepLookup(); // the lookup may have been dropped
    const QStringView text(s, n);
    const size_t hash = hashOf(text);
    if (m_wide || isAscii(s, n)) {
        const quint32 found = find(text, hash);
        if (found != kNone) return found;
    } else {
        widen(); // no text kept can be this one, and it needs two bytes a character
    }
    if ((count() + 1) * 2 > m_slots.size()) grow();
    const quint32 id = count();
    if (m_wide) {
        std::memcpy(m_chars.reserveMore(size_t(n) * 2), s, size_t(n) * 2);
        m_chars.grew(size_t(n) * 2);
    } else {
        char* o = m_chars.reserveMore(size_t(n));
        for (qsizetype i = 0; i < n; ++i)
            o[i] = char(s[i]);
        m_chars.grew(size_t(n));
    }
    m_starts.push_back(static_cast<quint32>(m_starts.back() + quint32(n)));
    m_tags.push_back(tagOf(hash));
    place(id, hash);
    return id;
}

quint32 RowStore::TextPool::intern(QAnyStringView s) {
    return asUtf16(s, [this](QStringView v) { return intern(v.utf16(), v.size()); });
}

QString RowStore::TextPool::text(quint32 id) const {
    const quint32 b = m_starts[id], e = m_starts[id + 1];
    if (b == e) return QStringLiteral(""); // empty, not null
    if (!m_wide) return QString::fromLatin1(m_chars.data() + b, qsizetype(e - b));
    return QString(reinterpret_cast<const QChar*>(m_chars.data()) + b, qsizetype(e - b));
}

size_t RowStore::TextPool::memoryBytes() const {
    return m_chars.capacity() + (m_starts.capacity() + m_slots.capacity()) * sizeof(quint32) +
           m_tags.capacity();
}

// ---- rows ----

void RowStore::reset(int fieldCount) {
    m_nf = fieldCount;
    m_columns = std::vector<Column>(static_cast<size_t>(fieldCount));
    m_aside = {};
    m_size = 0;
    m_recnos = {};
    m_live = {};
    m_liveCount = 0;
    m_indexes = std::vector<std::optional<Index>>(static_cast<size_t>(fieldCount));
}

void RowStore::setKind(int field, Kind kind) {
    if (field < 0 || field >= m_nf || size() > 0) return;
    m_columns[field].kind = kind;
}

void RowStore::addIndex(int field, bool numeric) {
    if (field < 0 || field >= m_nf) return;
    Index ix;
    ix.numeric = numeric;
    m_indexes[field] = std::move(ix);
    m_columns[field].pool->keepLookup();
}

void RowStore::reserve(size_t rows) {
    for (Column& c : m_columns) {
        if (c.kind == Kind::Any)
            c.any.reserve(rows);
        else
            c.cells.reserve(rows);
    }
    m_live.reserve(rows);
}

void RowStore::pushRecno(quint32 recno) {
    if (m_recnos.empty() && recno != quint32(m_size)) {
        // The first row whose record number is not its id: from now on each is kept.
        m_recnos.reserve(std::max(m_live.capacity(), size_t(m_size) + 1));
        for (int id = 0; id < m_size; ++id)
            m_recnos.push_back(quint32(id));
        m_recnos.push_back(recno);
    } else if (!m_recnos.empty()) {
        m_recnos.push_back(recno);
    }
    ++m_size;
}

QVariant RowStore::at(int id, int field) const {
    const Column& c = m_columns[field];
    if (c.kind == Kind::Any) return c.any[id];
    const qint32 x = cell(c, id);
    if (x == kNull) return QVariant();
    if (x == kAside) return m_aside.value(asideKey(id, field));
    switch (c.kind) {
    case Kind::Text:
        return QVariant(c.pool->text(quint32(x)));
    case Kind::Integer:
        return QVariant::fromValue<qint64>(x);
    case Kind::Int32:
        return QVariant::fromValue<qint32>(x);
    case Kind::Date:
        return QVariant(QDate::fromJulianDay(x));
    case Kind::Any:
        break;
    }
    return QVariant();
}

QVector<QVariant> RowStore::values(int id) const {
    QVector<QVariant> v(m_nf);
    for (int f = 0; f < m_nf; ++f)
        v[f] = at(id, f);
    return v;
}

bool RowStore::integerView(int id, int field, qint64* out) const {
    const Column& c = m_columns[field];
    if (c.kind != Kind::Integer && c.kind != Kind::Int32) return false;
    const qint32 x = cell(c, id);
    if (x == kNull || x == kAside) return false;
    *out = x;
    return true;
}

bool RowStore::textView(int id, int field, QAnyStringView* out) const {
    const Column& c = m_columns[field];
    if (c.kind != Kind::Text) return false;
    const qint32 x = cell(c, id);
    if (x == kNull || x == kAside) return false;
    *out = c.pool->view(quint32(x));
    return true;
}

int RowStore::compare(int a, int b, int field) const {
    const Column& c = m_columns[field];
    if (c.kind != Kind::Any) {
        const qint32 x = cell(c, a), y = cell(c, b);
        if (x != kAside && y != kAside) {
            if (x == y) return 0;
            if (x == kNull || y == kNull) return x == kNull ? -1 : 1;
            if (c.kind != Kind::Text) return x < y ? -1 : 1;
            return QAnyStringView::compare(c.pool->view(quint32(x)), c.pool->view(quint32(y)));
        }
    }
    return compareValues(at(a, field), at(b, field));
}

// The compact cell of a value, or kAside when the column cannot hold it.
namespace {

qint32 compactInt(qint64 v) {
    return v > std::numeric_limits<qint32>::min() + 1 && v <= std::numeric_limits<qint32>::max()
               ? static_cast<qint32>(v)
               : std::numeric_limits<qint32>::min();
}

} // namespace

void RowStore::put(int id, int field, const QVariant& v) {
    Column& c = m_columns[field];
    if (c.kind == Kind::Any) {
        c.any[id] = v;
        return;
    }
    if (cell(c, id) == kAside) m_aside.remove(asideKey(id, field));
    qint32 x = kAside;
    if (!v.isValid()) {
        x = kNull;
    } else {
        switch (c.kind) {
        case Kind::Text:
            if (v.typeId() == QMetaType::QString) {
                const QString& s = *static_cast<const QString*>(v.constData());
                if (!s.isNull()) {
                    if (s.constData() == c.lastText.constData() && s.size() == c.lastText.size() &&
                        !c.lastText.isNull()) {
                        x = qint32(c.lastId);
                    } else {
                        c.lastId = c.pool->intern(reinterpret_cast<const char16_t*>(s.constData()), s.size());
                        c.lastText = s;
                        x = qint32(c.lastId);
                    }
                }
            }
            break;
        case Kind::Integer:
            if (v.typeId() == QMetaType::LongLong) x = compactInt(*static_cast<const qint64*>(v.constData()));
            break;
        case Kind::Int32:
            if (v.typeId() == QMetaType::Int) x = compactInt(*static_cast<const int*>(v.constData()));
            break;
        case Kind::Date:
            if (v.typeId() == QMetaType::QDate) {
                const QDate& d = *static_cast<const QDate*>(v.constData());
                if (d.isValid()) x = compactInt(d.toJulianDay());
            }
            break;
        case Kind::Any:
            break;
        }
    }
    c.cells.set(size_t(id), cellCode(x));
    if (x == kAside) m_aside.insert(asideKey(id, field), v);
}

void RowStore::push(int field, QVariant&& v) {
    Column& c = m_columns[field];
    const int id = size() - 1; // the row's id is pushed first
    if (c.kind == Kind::Any) {
        c.any.push_back(std::move(v));
        return;
    }
    c.cells.push_back(cellCode(kNull));
    put(id, field, v);
}

void RowStore::appendLoaded(quint32 recno, QVector<QVariant>&& v) {
    pushRecno(recno);
    m_live.push_back(true);
    ++m_liveCount;
    for (int f = 0; f < m_nf; ++f)
        push(f, f < v.size() ? std::move(v[f]) : QVariant());
}

void RowStore::indexLoaded() {
    for (int f = 0; f < m_nf; ++f) {
        if (!m_indexes[f]) continue;
        Index& ix = *m_indexes[f];
        ix.next.assign(static_cast<size_t>(m_size), 0, PackedInts::bitsFor(uint64_t(m_size)));
        const Column& c = m_columns[f];
        const bool byNumber = !ix.numeric && c.kind == Kind::Text;
        if (byNumber && c.pool->count() > 0) textChain(ix, 0, c.pool->count(), m_size, true);
        for (int id = 0; id < m_size; ++id) {
            const qint32 x = byNumber ? cell(c, id) : kAside;
            if (x == kNull) continue;
            if (x == kAside) { // a number, or a value kept aside
                indexAdd(ix, f, id);
                continue;
            }
            // The rows come in id order: each goes at its chain's end.
            const ChainSlot slot{&ix, nullptr, size_t(x)};
            Chain chain = slot.get();
            linkAtEnd(ix, chain, id);
            slot.put(chain);
        }
    }
    for (int f = 0; f < m_nf; ++f) {
        Column& c = m_columns[f];
        c.pool->squeeze();
        // Only an index looks texts up; the others' lookup served to keep each
        // text once while loading, and is made again by the next text put.
        if (!indexed(f)) c.pool->dropLookup();
        c.lastText = QString();
    }
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
        put(id, f, v.value(f));
    indexAdd(id);
}

void RowStore::kill(int id) {
    if (!live(id)) return;
    indexRemove(id);
    m_live[id] = false;
    --m_liveCount;
    for (int f = 0; f < m_nf; ++f)
        put(id, f, QVariant());
}

void RowStore::shareTexts(int field, RowStore& from, int fromField) {
    if (field < 0 || field >= m_nf || fromField < 0 || fromField >= from.m_nf) return;
    Column& c = m_columns[field];
    const std::shared_ptr<TextPool>& shared = from.m_columns[fromField].pool;
    if (c.kind != Kind::Text || from.m_columns[fromField].kind != Kind::Text || c.pool == shared) return;
    // Each text's number in the other pool; a text it lacks is put there.
    const TextPool& own = *c.pool;
    const quint32 before = shared->count();
    std::vector<quint32> number(own.count());
    for (quint32 i = 0; i < own.count(); ++i)
        number[i] = shared->intern(own.view(i));
    if (shared->count() != before) shared->squeeze();
    // Renumbered in place: no second copy of the cells (widened once, if
    // the other pool's numbers need more bits).
    for (int id = 0; id < m_size; ++id) {
        const qint32 x = cell(c, id);
        if (x >= 0) c.cells.set(size_t(id), cellCode(qint32(number[size_t(x)])));
    }
    if (indexed(field) && !m_indexes[field]->numeric) {
        Index& ix = *m_indexes[field];
        for (PackedInts* ends : {&ix.heads, &ix.tails}) {
            PackedInts renumbered;
            renumbered.assign(shared->count(), 0, ends->bits());
            for (size_t i = 0; i < ends->size() && i < number.size(); ++i)
                renumbered.set(number[i], ends->get(i));
            *ends = std::move(renumbered);
        }
    }
    c.pool = shared;
    c.lastText = QString();
    c.lastId = 0;
}

bool RowStore::indexed(int field) const {
    return field >= 0 && field < static_cast<int>(m_indexes.size()) && m_indexes[field].has_value();
}

int RowStore::indexKeyCount(int field) const {
    if (!indexed(field)) return 0;
    const Index& ix = *m_indexes[field];
    return ix.numeric ? static_cast<int>(ix.ints.size()) : ix.textKeys;
}

RowStore::ChainSlot RowStore::textChain(Index& ix, quint32 text, quint32 texts, int rows, bool create) {
    if (create && ix.heads.size() <= text) {
        // Room for every text of the pool (resize makes more room when the
        // pool grows a text at a time, by edits).
        const size_t n = std::max<size_t>(texts, size_t(text) + 1);
        if (ix.heads.empty()) {
            // As wide as a row's id + 1 from the start, not widened row by row.
            ix.heads.assign(n, 0, PackedInts::bitsFor(uint64_t(rows) + 1));
            ix.tails.assign(n, 0, PackedInts::bitsFor(uint64_t(rows) + 1));
        } else {
            ix.heads.resize(n, 0);
            ix.tails.resize(n, 0);
        }
    }
    if (text >= ix.heads.size()) return {};
    return {&ix, nullptr, text};
}

RowStore::ChainSlot RowStore::chainOf(int field, const QVariant& key, bool create, bool* usable) {
    if (usable) *usable = true;
    Index& ix = *m_indexes[field];
    if (ix.numeric) {
        const auto k = integralOf(key);
        if (!k) {
            if (usable) *usable = key.typeId() != QMetaType::QString;
            return {};
        }
        if (create) return {&ix, &ix.ints[*k]};
        auto it = ix.ints.find(*k);
        return it == ix.ints.end() ? ChainSlot{} : ChainSlot{&ix, &it.value()};
    }
    const QString text = key.toString();
    TextPool& pool = *m_columns[field].pool;
    const quint32 id = create ? pool.intern(reinterpret_cast<const char16_t*>(text.constData()), text.size())
                              : pool.find(QStringView(text));
    if (id == TextPool::kNone) return {};
    return textChain(ix, id, pool.count(), m_size, create);
}

RowStore::ChainSlot RowStore::chainOfCell(int id, int field, bool create) {
    Index& ix = *m_indexes[field];
    const Column& c = m_columns[field];
    if (!ix.numeric && c.kind == Kind::Text && cell(c, id) != kAside) {
        // The text's number in the pool is its key.
        const qint32 x = cell(c, id);
        if (x == kNull) return {};
        return textChain(ix, quint32(x), c.pool->count(), m_size, create);
    }
    if (ix.numeric && (c.kind == Kind::Integer || c.kind == Kind::Int32) && cell(c, id) != kAside) {
        const qint32 x = cell(c, id);
        if (x == kNull) return {};
        if (create) return {&ix, &ix.ints[x]};
        auto it = ix.ints.find(x);
        return it == ix.ints.end() ? ChainSlot{} : ChainSlot{&ix, &it.value()};
    }
    const QVariant v = at(id, field);
    if (isNullValue(v)) return {};
    return chainOf(field, v, create);
}

void RowStore::linkAtEnd(Index& ix, Chain& c, int id) {
    if (c.head < 0) {
        if (!ix.numeric) ++ix.textKeys;
        c.head = id;
    } else {
        setNext(ix, c.tail, id);
    }
    c.tail = id;
}

void RowStore::indexAdd(int id) {
    for (int f = 0; f < m_nf; ++f)
        if (m_indexes[f]) indexAdd(*m_indexes[f], f, id);
}

void RowStore::indexAdd(Index& ix, int field, int id) {
    if (ix.next.size() <= static_cast<size_t>(id))
        ix.next.resize(std::max(static_cast<size_t>(id) + 1, static_cast<size_t>(m_size)), 0);
    setNext(ix, id, -1);
    const ChainSlot slot = chainOfCell(id, field, true);
    if (!slot) return;
    Chain c = slot.get();
    if (c.head < 0 || c.tail < id) {
        linkAtEnd(ix, c, id);
    } else {
        int prev = -1, x = c.head;
        while (x >= 0 && x < id) {
            prev = x;
            x = nextOf(ix, x);
        }
        setNext(ix, id, x);
        if (prev < 0)
            c.head = id;
        else
            setNext(ix, prev, id);
    }
    slot.put(c);
}

void RowStore::indexRemove(int id) {
    for (size_t f = 0; f < m_indexes.size(); ++f) {
        if (!m_indexes[f]) continue;
        Index& ix = *m_indexes[f];
        const ChainSlot slot = chainOfCell(id, static_cast<int>(f), false);
        if (!slot) continue;
        Chain c = slot.get();
        int prev = -1, x = c.head;
        while (x >= 0 && x != id) {
            prev = x;
            x = nextOf(ix, x);
        }
        if (x != id) continue;
        if (prev < 0)
            c.head = nextOf(ix, id);
        else
            setNext(ix, prev, nextOf(ix, id));
        if (c.tail == id) c.tail = prev;
        setNext(ix, id, -1);
        if (c.head >= 0) {
            slot.put(c);
        } else if (ix.numeric) {
            ix.ints.remove(*integralOf(at(id, static_cast<int>(f))));
        } else {
            slot.put(Chain{});
            --ix.textKeys;
        }
    }
}

int RowStore::lookup(int field, const QVariant& key, std::vector<int>* out) const {
    if (out) out->clear();
    if (!indexed(field)) return -1;
    if (isNullValue(key)) return 0;
    bool usable = true;
    const ChainSlot slot = const_cast<RowStore*>(this)->chainOf(field, key, false, &usable);
    if (!usable) return -1;
    return chainRows(field, slot, out);
}

int RowStore::lookupText(int field, QAnyStringView key, std::vector<int>* out) const {
    if (out) out->clear();
    if (!indexed(field) || m_indexes[field]->numeric) return -1;
    Index& ix = const_cast<Index&>(*m_indexes[field]);
    const quint32 id = m_columns[field].pool->find(key);
    if (id == TextPool::kNone) return 0;
    return chainRows(field, textChain(ix, id, 0, 0, false), out);
}

int RowStore::chainRows(int field, const ChainSlot& slot, std::vector<int>* out) const {
    if (!slot) return 0;
    const Index& ix = *m_indexes[field];
    int n = 0;
    for (int x = slot.get().head; x >= 0; x = nextOf(ix, x)) {
        if (out) out->push_back(x);
        ++n;
    }
    return n;
}

size_t RowStore::memoryBytes() const {
    size_t n = m_recnos.capacity() * sizeof(quint32) + m_live.capacity() / 8;
    for (const Column& c : m_columns)
        n += c.cells.memoryBytes() + c.any.capacity() * sizeof(QVariant) +
             c.pool->memoryBytes() / size_t(c.pool.use_count()); // a shared pool, a share each
    for (const auto& ix : m_indexes)
        if (ix)
            n += ix->next.memoryBytes() + ix->heads.memoryBytes() + ix->tails.memoryBytes() +
                 size_t(ix->ints.capacity()) * (sizeof(qint64) + sizeof(Chain) + 8);
    return n;
}

} // namespace varek
