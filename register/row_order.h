#pragma once

#include <algorithm>
#include <functional>
#include <vector>

namespace varek {

// The rows a table presents, as row ids in presentation order.
//
// A table without an order field presents its live rows in id order, and
// at a million rows a list of them would take 4 MB. Such a list is kept as
// the ids below a bound with the few ids left out (rows deleted since
// opening): position p is then the p-th id that is not left out. A list in
// another order, or one assigned from ids, is kept as it is.
//
// Less is the presentation order; an id list kept by count must be ordered
// by id, and the table passes the same order to every call.
class RowOrder {
public:
    using Less = std::function<bool(int, int)>;

    // The ids 0 .. count-1, in id order.
    void assignIds(int count);
    // These ids, already in presentation order.
    void assign(std::vector<int>&& ids);
    void clear();

    int size() const;
    bool empty() const { return size() == 0; }
    // The id at a position (0 <= pos < size()).
    int at(int pos) const;
    // The position of an id, -1 when it is not in the list.
    int positionOf(int id, const Less& less) const;
    // Puts an id in its place (after those equal to it).
    void insert(int id, const Less& less);
    // Takes an id out; nothing when it is not in the list.
    void erase(int id, const Less& less);
    // Takes out every id for which gone is true.
    template <typename Gone> void eraseIf(Gone&& gone);
    // Puts in ids sorted by less, each after those equal to it.
    void mergeIn(const std::vector<int>& sorted, const Less& less);
    // Calls f with each id in order.
    template <typename F> void forEach(F&& f) const;

    // Whether the list is kept by count (for tests).
    bool keptByCount() const { return m_byCount; }

private:
    void toList();
    void trimLeftOut();
    std::vector<int>::const_iterator leftOutAt(int id) const;

    bool m_byCount = false;
    int m_count = 0;            // by count: the ids below it
    std::vector<int> m_leftOut; // by count: ids below m_count not in the list, sorted
    std::vector<int> m_ids;     // otherwise
};

template <typename Gone> void RowOrder::eraseIf(Gone&& gone) {
    if (!m_byCount) {
        m_ids.erase(std::remove_if(m_ids.begin(), m_ids.end(), gone), m_ids.end());
        return;
    }
    std::vector<int> leftOut;
    size_t next = 0;
    for (int id = 0; id < m_count; ++id) {
        if (next < m_leftOut.size() && m_leftOut[next] == id) {
            leftOut.push_back(id);
            ++next;
        } else if (gone(id)) {
            leftOut.push_back(id);
        }
    }
    m_leftOut.swap(leftOut);
    trimLeftOut();
}

template <typename F> void RowOrder::forEach(F&& f) const {
    if (!m_byCount) {
        for (int id : m_ids)
            f(id);
        return;
    }
    size_t next = 0;
    for (int id = 0; id < m_count; ++id) {
        if (next < m_leftOut.size() && m_leftOut[next] == id)
            ++next;
        else
            f(id);
    }
}

} // namespace varek
