#pragma once

#include <QHash>
#include <QString>
#include <QVariant>
#include <QVector>

#include <optional>
#include <vector>

namespace varek {

// The rows of one table in memory and their hash indexes, apart from what a
// dataset does with them (current row, edit buffer, presentation order).
//
// All fields of a row stand side by side in one array (no allocation per
// row). A row's id is its position: ids are stable while the table is open,
// and deleted rows stay as dead ids. Each row remembers its record number in
// the file. Indexed fields keep, for each key, the chain of its live rows in
// id order; a text key's rows share one string with the index.
class RowStore {
public:
    // Drops every row and index and sets the number of fields.
    void reset(int fieldCount);
    // Indexes a field; numeric keys are compared as integers. Call before
    // adding rows.
    void addIndex(int field, bool numeric);
    void reserve(size_t rows);

    int fieldCount() const { return m_nf; }
    int size() const { return static_cast<int>(m_recnos.size()); } // ids, dead ones included
    int liveCount() const { return m_liveCount; }
    bool live(int id) const { return id >= 0 && id < size() && m_live[id]; }
    quint32 recno(int id) const { return m_recnos[id]; }
    const QVariant& at(int id, int field) const { return m_cells[static_cast<size_t>(id) * m_nf + field]; }
    // A field's value, null for a field outside the row.
    QVariant get(int id, int field) const { return field >= 0 && field < m_nf ? at(id, field) : QVariant(); }
    QVector<QVariant> values(int id) const;

    // Adds a live row (file record recno) and indexes it; returns its id.
    int append(quint32 recno, QVector<QVariant>&& values);
    // Loading a file: rows added with appendLoaded are indexed all at once by
    // indexLoaded, which is quicker than indexing row by row.
    void appendLoaded(quint32 recno, QVector<QVariant>&& values);
    void indexLoaded();
    // Replaces a live row's values and indexes it anew.
    void set(int id, const QVector<QVariant>& values);
    // Makes a row dead: out of the indexes, its values dropped.
    void kill(int id);

    bool indexed(int field) const;
    // Number of distinct keys in a field's index (0 without an index).
    int indexKeyCount(int field) const;
    // The live rows whose field equals key, in id order: -1 when the field
    // has no index or the key cannot be looked up in it (text in a numeric
    // index); else the number of rows, their ids put into out when given.
    int lookup(int field, const QVariant& key, std::vector<int>* out) const;

private:
    struct Chain {
        int head = -1;
        int tail = -1;
        int count = 0;
    };
    struct Index {
        bool numeric = false;
        QHash<qint64, Chain> ints;
        QHash<QString, Chain> texts;
        std::vector<int> next; // the chains, linked through one int per row
    };

    QVariant& cell(int id, int field) { return m_cells[static_cast<size_t>(id) * m_nf + field]; }
    // The chain of a key: nullptr when absent; *usable false when the key
    // cannot be looked up in this index.
    Chain* chainOf(Index& ix, const QVariant& key, bool create, bool* usable = nullptr);
    void indexAdd(int id);
    void indexRemove(int id);

    int m_nf = 0;
    std::vector<QVariant> m_cells;
    std::vector<quint32> m_recnos;
    std::vector<char> m_live;
    int m_liveCount = 0;
    std::vector<std::optional<Index>> m_indexes; // by field position
};

} // namespace varek
