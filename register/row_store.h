#pragma once

#include <QAnyStringView>
#include <QHash>
#include <QString>
#include <QStringView>
#include <QVariant>
#include <QVector>

#include "register/packed_ints.h"

#include <limits>
#include <memory>
#include <optional>
#include <vector>

namespace varek {

// The rows of one table in memory and their hash indexes, apart from what a
// dataset does with them (current row, edit buffer, presentation order).
//
// The rows are kept by column, compactly: a field of a kind told by
// setKind keeps one number per row (the integer, the date's day number, or
// the number of a text in the column's pool, where each distinct text is
// kept once), packed in as many bits as the column's largest number needs
// (PackedInts), and values are made on access. A value that the column's
// kind does not hold (another type, a number beyond 32 bits, a null string)
// is kept aside as it is, so every value reads back exactly as it was put.
// Fields of other kinds keep one QVariant per row.
//
// A row's id is its position: ids are stable while the table is open, and
// deleted rows stay as dead ids. Each row remembers its record number in the
// file. Indexed fields keep, for each key, the chain of its live rows in id
// order.
class RowStore {
public:
    // How a field's values are kept.
    enum class Kind {
        Any,     // one QVariant per row
        Text,    // QString
        Integer, // qint64 (numbers without decimals)
        Int32,   // qint32
        Date,    // QDate
    };

    // Drops every row and index and sets the number of fields (all Any).
    void reset(int fieldCount);
    // Sets how a field is kept. Call before adding rows.
    void setKind(int field, Kind kind);
    // Indexes a field; numeric keys are compared as integers. Call before
    // adding rows.
    void addIndex(int field, bool numeric);
    void reserve(size_t rows);

    int fieldCount() const { return m_nf; }
    int size() const { return m_size; } // ids, dead ones included
    int liveCount() const { return m_liveCount; }
    bool live(int id) const { return id >= 0 && id < size() && m_live[id]; }
    quint32 recno(int id) const { return m_recnos.empty() ? quint32(id) : m_recnos[id]; }
    QVariant at(int id, int field) const;
    // A field's value, null for a field outside the row.
    QVariant get(int id, int field) const { return field >= 0 && field < m_nf ? at(id, field) : QVariant(); }
    QVector<QVariant> values(int id) const;
    // The text of a field kept as text in the column's pool, without making
    // a QString: false when the cell is null or holds another value (at()
    // gives it then).
    bool textView(int id, int field, QAnyStringView* out) const;
    // The integer of a field kept as integers, without making a value:
    // false when the cell is null or holds another value.
    bool integerView(int id, int field, qint64* out) const;
    // compareValues of a field of two rows, without making the values.
    int compare(int a, int b, int field) const;

    // Adds a live row (file record recno) and indexes it; returns its id.
    int append(quint32 recno, QVector<QVariant>&& values);
    // Loading a file: rows added with appendLoaded are indexed all at once by
    // indexLoaded, which is quicker than indexing row by row.
    void appendLoaded(quint32 recno, QVector<QVariant>&& values);
    // Also gives back the room the loading kept spare.
    void indexLoaded();
    // Replaces a live row's values and indexes it anew.
    void set(int id, const QVector<QVariant>& values);
    // Makes a row dead: out of the indexes, its values dropped.
    void kill(int id);

    // The texts of a field are kept in the pool of a field of another store
    // from now on, the texts this one has that the other lacks put there:
    // the access table's key codes are the keys table's codes, kept once.
    // Values, views and lookups stay as they were. Both fields are texts.
    void shareTexts(int field, RowStore& from, int fromField);

    bool indexed(int field) const;
    // Number of distinct keys in a field's index (0 without an index).
    int indexKeyCount(int field) const;
    // The live rows whose field equals key, in id order: -1 when the field
    // has no index or the key cannot be looked up in it (text in a numeric
    // index); else the number of rows, their ids put into out when given.
    int lookup(int field, const QVariant& key, std::vector<int>* out) const;
    // The same for a text key, without making a QString from it: -1 too
    // when the index is not of texts.
    int lookupText(int field, QAnyStringView key, std::vector<int>* out) const;

    // Bytes held by the rows and indexes (for benchmarks).
    size_t memoryBytes() const;

private:
    // Distinct texts of a column, each kept once: one byte a character while
    // every text of the column is ASCII (codes, numbers, card numbers), two
    // (UTF-16) from the first text that is not.
    class TextPool {
    public:
        static constexpr quint32 kNone = 0xFFFFFFFFu;
        quint32 find(QAnyStringView s) const;
        quint32 intern(const char16_t* s, qsizetype n);
        quint32 intern(QAnyStringView s);
        QString text(quint32 id) const;
        QAnyStringView view(quint32 id) const {
            const quint32 b = m_starts[id];
            const qsizetype n = qsizetype(m_starts[id + 1] - b);
            if (m_wide) return QStringView(reinterpret_cast<const char16_t*>(m_chars.data()) + b, n);
            return QLatin1StringView(m_chars.data() + b, n);
        }
        quint32 count() const { return static_cast<quint32>(m_starts.size() - 1); }
        size_t memoryBytes() const;
        void squeeze();
        // Frees the lookup of texts (find gives kNone until the next intern
        // makes it anew); the texts stay.
        void dropLookup();
        void keepLookup(); // makes a dropped lookup again

    private:
        // The bytes of every text, one after the other. Grown and squeezed
        // with realloc, which moves big blocks without copying.
        class Chars {
        public:
            Chars() = default;
            Chars(Chars&& o) noexcept;
            Chars& operator=(Chars&& o) noexcept;
            ~Chars();
            const char* data() const { return m_data; }
            size_t size() const { return m_size; }
            size_t capacity() const { return m_capacity; }
            // Room for n more bytes at the end, and where they begin; grew(n)
            // then counts them in.
            char* reserveMore(size_t n);
            void grew(size_t n) { m_size += n; }
            void squeeze();

        private:
            void resize(size_t capacity);
            char* m_data = nullptr;
            size_t m_size = 0;
            size_t m_capacity = 0;
        };
        // The hash of a text's characters, the same in either width.
        static size_t hashOf(QAnyStringView s);
        quint32 find(QAnyStringView s, size_t hash) const;
        bool holds(quint32 id, QAnyStringView s) const;
        void place(quint32 id, size_t hash);
        void grow();
        void widen();
        Chars m_chars;
        bool m_wide = false;
        std::vector<quint32> m_starts{0}; // text i is characters [m_starts[i], m_starts[i + 1])
        std::vector<quint8> m_tags;       // per text: the top bits of its hash (see find)
        std::vector<quint32> m_slots;     // open addressing: id + 1, 0 free
    };
    struct Column {
        Kind kind = Kind::Any;
        PackedInts cells;          // compact kinds, as cellCode gives them
        std::vector<QVariant> any; // Kind::Any
        // Kind::Text, and the keys of a text index; shared with a column of
        // another table by shareTexts.
        std::shared_ptr<TextPool> pool = std::make_shared<TextPool>();
        QString lastText;   // the text put last and its number: the codec
        quint32 lastId = 0; // shares the string of repeated texts
    };
    // A key's live rows, linked through Index::next in id order.
    struct Chain {
        int head = -1;
        int tail = -1;
    };
    struct Index {
        bool numeric = false;
        QHash<qint64, Chain> ints;
        // The chains of a text index, by the number of the text in the
        // column's pool: the head's and the tail's id + 1, 0 for none.
        PackedInts heads, tails;
        int textKeys = 0;
        PackedInts next; // the chains, linked through one number a row: the next id + 1, 0 at the end
    };

    // Cell markers of the compact kinds; a value equal to one is kept aside.
    static constexpr qint32 kAside = std::numeric_limits<qint32>::min();
    static constexpr qint32 kNull = std::numeric_limits<qint32>::min() + 1;

    // A compact cell as packed: the markers 0 and 1, a cell x as x + 2
    // (mod 2^32, so that small numbers stay small).
    static uint64_t cellCode(qint32 x) { return x == kNull ? 0 : x == kAside ? 1 : uint64_t(quint32(x)) + 2; }
    static qint32 cellOfCode(uint64_t c) { return c == 0 ? kNull : c == 1 ? kAside : qint32(quint32(c - 2)); }
    static qint32 cell(const Column& c, int id) { return cellOfCode(c.cells.get(size_t(id))); }
    static int nextOf(const Index& ix, int id) { return int(ix.next.get(size_t(id))) - 1; }
    static void setNext(Index& ix, int id, int next) { ix.next.set(size_t(id), uint64_t(next + 1)); }

    void put(int id, int field, const QVariant& v);
    void push(int field, QVariant&& v);
    void pushRecno(quint32 recno);
    quint64 asideKey(int id, int field) const { return quint64(id) * quint64(m_nf) + quint64(field); }
    // Where a key's chain is kept: in the hash of a numeric index, or by the
    // text's number in a text index.
    struct ChainSlot {
        Index* ix = nullptr; // none when null
        Chain* number = nullptr;
        size_t text = 0;
        explicit operator bool() const { return ix != nullptr; }
        Chain get() const {
            if (number) return *number;
            return {int(ix->heads.get(text)) - 1, int(ix->tails.get(text)) - 1};
        }
        void put(const Chain& c) const {
            if (number) {
                *number = c;
            } else {
                ix->heads.set(text, uint64_t(c.head + 1));
                ix->tails.set(text, uint64_t(c.tail + 1));
            }
        }
    };
    // The chain of a key: none when absent; *usable false when the key
    // cannot be looked up in this index.
    ChainSlot chainOf(int field, const QVariant& key, bool create, bool* usable = nullptr);
    // The chain of a stored cell.
    ChainSlot chainOfCell(int id, int field, bool create);
    // The slot of a text's chain, made when create and absent (texts: the
    // pool's count, rows: the store's).
    static ChainSlot textChain(Index& ix, quint32 text, quint32 texts, int rows, bool create);
    // A chain's rows in id order into out; their number.
    int chainRows(int field, const ChainSlot& slot, std::vector<int>* out) const;
    // Puts id at the end of the chain c, whose rows all come before it.
    static void linkAtEnd(Index& ix, Chain& c, int id);
    void indexAdd(int id);
    void indexAdd(Index& ix, int field, int id);
    void indexRemove(int id);

    int m_nf = 0;
    std::vector<Column> m_columns;
    QHash<quint64, QVariant> m_aside; // values the compact columns do not hold
    int m_size = 0;
    std::vector<quint32> m_recnos; // empty while every row's record number is its id
    std::vector<bool> m_live;      // one bit a row
    int m_liveCount = 0;
    std::vector<std::optional<Index>> m_indexes; // by field position
};

} // namespace varek
