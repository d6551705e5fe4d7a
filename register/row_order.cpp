#include "register/row_order.h"

#include <algorithm>
#include <iterator>

namespace varek {

void RowOrder::assignIds(int count) {
    m_byCount = true;
    m_count = std::max(0, count);
    m_leftOut.clear();
    m_leftOut.shrink_to_fit();
    m_ids.clear();
    m_ids.shrink_to_fit();
}

void RowOrder::assign(std::vector<int>&& ids) {
    m_byCount = false;
    m_count = 0;
    m_leftOut.clear();
    m_ids = std::move(ids);
}

void RowOrder::clear() {
    assign({});
    m_ids.shrink_to_fit();
}

int RowOrder::size() const {
    return m_byCount ? m_count - static_cast<int>(m_leftOut.size()) : static_cast<int>(m_ids.size());
}

int RowOrder::at(int pos) const {
    if (!m_byCount) return m_ids[static_cast<size_t>(pos)];
    // The id is pos + j, where j ids left out come before it: the first j
    // with m_leftOut[j] - j > pos (that difference never decreases).
    size_t lo = 0, hi = m_leftOut.size();
    while (lo < hi) {
        const size_t mid = (lo + hi) / 2;
        if (m_leftOut[mid] - static_cast<int>(mid) > pos)
            hi = mid;
        else
            lo = mid + 1;
    }
    return pos + static_cast<int>(lo);
}

std::vector<int>::const_iterator RowOrder::leftOutAt(int id) const {
    return std::lower_bound(m_leftOut.begin(), m_leftOut.end(), id);
}

int RowOrder::positionOf(int id, const Less& less) const {
    if (m_byCount) {
        if (id < 0 || id >= m_count) return -1;
        const auto it = leftOutAt(id);
        if (it != m_leftOut.end() && *it == id) return -1;
        return id - static_cast<int>(it - m_leftOut.begin());
    }
    const auto it = std::lower_bound(m_ids.begin(), m_ids.end(), id, less);
    if (it != m_ids.end() && *it == id) return static_cast<int>(it - m_ids.begin());
    return -1;
}

void RowOrder::insert(int id, const Less& less) {
    if (m_byCount && id >= m_count) {
        for (int gap = m_count; gap < id; ++gap)
            m_leftOut.push_back(gap);
        m_count = id + 1;
        return;
    }
    if (m_byCount && id >= 0) {
        const auto it = leftOutAt(id);
        if (it != m_leftOut.end() && *it == id) {
            m_leftOut.erase(it);
            return;
        }
    }
    toList(); // an id twice, or a negative one: as a list does
    m_ids.insert(std::upper_bound(m_ids.begin(), m_ids.end(), id, less), id);
}

void RowOrder::erase(int id, const Less& less) {
    if (m_byCount) {
        if (id < 0 || id >= m_count) return;
        const auto it = leftOutAt(id);
        if (it != m_leftOut.end() && *it == id) return;
        m_leftOut.insert(m_leftOut.begin() + (it - m_leftOut.begin()), id);
        trimLeftOut();
        return;
    }
    const int pos = positionOf(id, less);
    if (pos >= 0) m_ids.erase(m_ids.begin() + pos);
}

void RowOrder::mergeIn(const std::vector<int>& sorted, const Less& less) {
    if (m_byCount) {
        // Ids below the bound come back out of those left out, in one pass
        // over both; ids past it raise it. An id twice (already in, or twice
        // among these) makes a list, as a list keeps it.
        const auto below = std::lower_bound(sorted.begin(), sorted.end(), m_count);
        const bool distinct = std::adjacent_find(sorted.begin(), sorted.end()) == sorted.end();
        if (distinct && (sorted.empty() || sorted.front() >= 0) &&
            std::includes(m_leftOut.begin(), m_leftOut.end(), sorted.begin(), below)) {
            std::vector<int> leftOut;
            leftOut.reserve(m_leftOut.size() - size_t(below - sorted.begin()));
            std::set_difference(m_leftOut.begin(), m_leftOut.end(), sorted.begin(), below,
                                std::back_inserter(leftOut));
            m_leftOut.swap(leftOut);
            for (auto it = below; it != sorted.end(); ++it)
                insert(*it, less);
            return;
        }
        toList();
    }
    std::vector<int> merged;
    merged.reserve(m_ids.size() + sorted.size());
    std::merge(m_ids.begin(), m_ids.end(), sorted.begin(), sorted.end(), std::back_inserter(merged), less);
    m_ids.swap(merged);
}

// Ids left out at the end lower the bound instead.
void RowOrder::trimLeftOut() {
    while (!m_leftOut.empty() && m_leftOut.back() == m_count - 1) {
        m_leftOut.pop_back();
        --m_count;
    }
}

void RowOrder::toList() {
    if (!m_byCount) return;
    std::vector<int> ids;
    ids.reserve(static_cast<size_t>(size()));
    forEach([&](int id) { ids.push_back(id); });
    assign(std::move(ids));
}

} // namespace varek
