#include "register/packed_ints.h"

#include <algorithm>
#include <new>
#include <stdexcept>
#include <utility>

namespace varek {

PackedInts::Words::Words(size_t n)
    : m_data(static_cast<uint64_t*>(std::calloc(n, sizeof(uint64_t)))), m_size(n) {
    if (!m_data) throw std::bad_alloc();
}

PackedInts PackedInts::laidOut(size_t capacity, size_t size, int bits) {
    if (bits > kMaxBits) throw std::out_of_range("PackedInts: a number beyond 33 bits");
    PackedInts to;
    to.m_bits = bits;
    to.m_mask = (uint64_t(1) << bits) - 1;
    to.m_capacity = capacity;
    to.m_size = size;
    to.m_words = Words(wordsFor(capacity, bits));
    return to;
}

void PackedInts::widen(int bits) {
    relayout(m_capacity, bits);
}

void PackedInts::relayout(size_t capacity, int bits) {
    if (bits == m_bits && capacity >= m_size) { // the same layout in more or less room
        Words words(wordsFor(capacity, bits));
        // Only the words in use: room not yet written stays untouched.
        const size_t used = std::min({words.size(), m_words.size(), wordsFor(m_size, bits)});
        if (used > 0) std::memcpy(words.data(), m_words.data(), used * sizeof(uint64_t));
        m_words = std::move(words);
        m_capacity = capacity;
        return;
    }
    PackedInts to = laidOut(capacity, m_size, bits);
    // The numbers written one after the other, a word at a time.
    uint64_t* out = to.m_words.data();
    uint64_t word = 0;
    int filled = 0; // bits of word taken
    for (size_t i = 0; i < m_size; ++i) {
        const uint64_t v = get(i);
        word |= v << filled;
        filled += bits;
        if (filled >= 64) {
            *out++ = word;
            filled -= 64;
            word = filled > 0 ? v >> (bits - filled) : 0;
        }
    }
    if (filled > 0) *out = word;
    *this = std::move(to);
}

void PackedInts::assign(size_t n, uint64_t v, int bits) {
    PackedInts to = laidOut(n, n, std::max(bitsFor(v), bits));
    if (v != 0)
        for (size_t i = 0; i < n; ++i)
            to.store(i, v);
    *this = std::move(to);
}

void PackedInts::resize(size_t n, uint64_t v) {
    if (n <= m_size) {
        m_size = n;
        return;
    }
    if (v > m_mask) widen(bitsFor(v));
    if (n > m_capacity) reserve(std::max(n, m_capacity + m_capacity / 2)); // a row at a time stays linear
    for (size_t i = m_size; i < n; ++i)
        store(i, v);
    m_size = n;
}

} // namespace varek
