#pragma once

#include <bit>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <utility>

namespace varek {

// Unsigned integers below 2^33 kept one after the other in as many bits each
// as the largest of them needs: a column of a million pool numbers below
// 100,000 takes 17 bits a row, not 32. Putting a number that needs more bits
// widens every number once (each width is taken at most once per bit, so a
// column filled from zero upwards is copied a few times in all).
//
// Any number is read with one 8-byte load: a number starts at most 7 bits
// into its first byte, and 7 + 33 bits fit in 64. The words keep one spare
// word at the end for the last number's load. They are taken zeroed from the
// system (calloc), so that room not yet written costs no memory and no time.
class PackedInts {
public:
    static constexpr int kMaxBits = 33;
    static_assert(std::endian::native == std::endian::little, "numbers are packed little-endian");

    size_t size() const { return m_size; }
    bool empty() const { return m_size == 0; }
    int bits() const { return m_bits; }

    uint64_t get(size_t i) const {
        const size_t bit = i * size_t(m_bits);
        uint64_t word;
        std::memcpy(&word, bytes() + (bit >> 3), sizeof word);
        return (word >> (bit & 7)) & m_mask;
    }
    uint64_t operator[](size_t i) const { return get(i); }

    void set(size_t i, uint64_t v) {
        if (v > m_mask) widen(bitsFor(v));
        store(i, v);
    }
    void push_back(uint64_t v) {
        if (m_size == m_capacity) reserve(m_capacity < 8 ? 8 : m_capacity * 2);
        ++m_size;
        set(m_size - 1, v);
    }
    // n numbers, each v, in room for exactly n, at least bits wide.
    void assign(size_t n, uint64_t v, int bits = 1);
    // Grows to n numbers (the new ones v) or cuts to n.
    void resize(size_t n, uint64_t v);
    void reserve(size_t n) {
        if (n > m_capacity) relayout(n, m_bits);
    }
    void shrink_to_fit() {
        if (m_capacity > m_size) relayout(m_size, m_bits);
    }
    // Bytes held.
    size_t memoryBytes() const { return m_words.size() * sizeof(uint64_t); }

    static int bitsFor(uint64_t v) { return v == 0 ? 1 : int(std::bit_width(v)); }

private:
    const unsigned char* bytes() const { return reinterpret_cast<const unsigned char*>(m_words.data()); }
    unsigned char* bytes() { return reinterpret_cast<unsigned char*>(m_words.data()); }
    void store(size_t i, uint64_t v) {
        const size_t bit = i * size_t(m_bits);
        unsigned char* p = bytes() + (bit >> 3);
        const unsigned shift = unsigned(bit & 7);
        uint64_t word;
        std::memcpy(&word, p, sizeof word);
        word = (word & ~(m_mask << shift)) | (v << shift);
        std::memcpy(p, &word, sizeof word);
    }
    // size numbers, all 0, in room for capacity numbers of the given width.
    static PackedInts laidOut(size_t capacity, size_t size, int bits);
    void widen(int bits);
    // Room for capacity numbers of the given width, the numbers kept.
    void relayout(size_t capacity, int bits);

    // Zeroed words, freed with the numbers.
    class Words {
    public:
        Words() = default;
        explicit Words(size_t n);
        Words(Words&& o) noexcept
            : m_data(std::exchange(o.m_data, nullptr)), m_size(std::exchange(o.m_size, 0)) {}
        Words& operator=(Words&& o) noexcept {
            std::swap(m_data, o.m_data);
            std::swap(m_size, o.m_size);
            return *this;
        }
        ~Words() { std::free(m_data); }
        const uint64_t* data() const { return m_data; }
        uint64_t* data() { return m_data; }
        size_t size() const { return m_size; }

    private:
        uint64_t* m_data = nullptr;
        size_t m_size = 0;
    };
    static size_t wordsFor(size_t capacity, int bits) { return (capacity * size_t(bits) + 63) / 64 + 1; }

    Words m_words;
    size_t m_size = 0;
    size_t m_capacity = 0;
    int m_bits = 1;
    uint64_t m_mask = 1;
};

} // namespace varek
