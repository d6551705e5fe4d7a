// Numbers packed in as few bits as the largest needs read back as they were
// put, through every widening, growth, cut and squeeze, beside a plain vector.
#include "register/packed_ints.h"

#include <gtest/gtest.h>

#include <random>
#include <vector>

using namespace varek;

TEST(PackedInts, ReadBackAsAPlainVectorThroughWideningGrowingAndCutting) {
    std::mt19937_64 random(7);
    PackedInts packed;
    std::vector<uint64_t> plain;
    const auto same = [&] {
        ASSERT_EQ(packed.size(), plain.size());
        for (size_t i = 0; i < plain.size(); ++i)
            ASSERT_EQ(packed[i], plain[i])
                << "at " << i << " of " << plain.size() << ", " << packed.bits() << " bits";
    };
    // Pushed from zero upwards, every width from 1 to 33 bits is taken in turn.
    for (int bits = 1; bits <= PackedInts::kMaxBits; ++bits) {
        const uint64_t top = (uint64_t(1) << bits) - 1;
        for (uint64_t v : {top, top / 2, uint64_t(0), top - 1}) {
            packed.push_back(v);
            plain.push_back(v);
        }
        EXPECT_EQ(packed.bits(), bits);
    }
    same();
    // Each number rewritten at random places, neighbours untouched.
    for (int k = 0; k < 2000; ++k) {
        const size_t i = random() % plain.size();
        const uint64_t v = random() >> (64 - PackedInts::kMaxBits + (k % PackedInts::kMaxBits));
        packed.set(i, v);
        plain[i] = v;
    }
    same();
    packed.resize(10, 0);
    plain.resize(10);
    same();
    packed.resize(300, 5); // the room of the cut numbers is written anew
    plain.resize(300, 5);
    same();
    packed.shrink_to_fit();
    same();
    packed.assign(1000, 0, 20);
    plain.assign(1000, 0);
    EXPECT_EQ(packed.bits(), 20);
    packed.set(999, (uint64_t(1) << 20) - 1); // the last number, read with the spare word
    plain[999] = (uint64_t(1) << 20) - 1;
    same();
    EXPECT_THROW(packed.set(0, uint64_t(1) << PackedInts::kMaxBits), std::out_of_range);
}

TEST(PackedInts, TakesTheBitsOfItsLargestNumber) {
    PackedInts packed;
    packed.assign(1'000'000, 0, PackedInts::bitsFor(1'000'000));
    EXPECT_EQ(packed.bits(), 20);
    EXPECT_LT(packed.memoryBytes(), 1'000'000 * 20 / 8 + 64);
}
