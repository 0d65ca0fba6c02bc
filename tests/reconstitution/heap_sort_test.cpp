#include "reconstitution/heap_sort.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

TEST(HeapSortIndices, OrdersByAscendingKeyWithItsOwnOrderForTies) {
    struct Case {
        std::vector<uint16_t> keys;
        std::vector<int32_t> order;
    };
    const Case cases[] = {
        {{7}, {0}},
        {{3, 1, 0, 2, 1}, {2, 4, 1, 3, 0}},  // of the two stars of key 1, star 4 comes first
        {{0, 3, 0, 1}, {0, 2, 3, 1}},
        {{5, 5}, {1, 0}},
        {{5, 5, 5}, {1, 2, 0}},
        {{9, 9, 9, 9, 9, 9}, {1, 2, 3, 4, 5, 0}},  // all equal: star 0 comes last
        {{2, 1}, {1, 0}},
        {{1, 2}, {0, 1}},
        {{40, 10, 30, 20, 65535, 0}, {5, 1, 3, 2, 0, 4}},
    };
    for (const Case& c : cases) {
        std::vector<int32_t> index(c.keys.size(), -1);
        HeapSortIndices(static_cast<uint32_t>(c.keys.size()), index.data(), c.keys.data());
        EXPECT_EQ(index, c.order) << "first key " << c.keys[0] << ", " << c.keys.size() << " keys";
    }
}

TEST(HeapSortIndices, CountZeroTouchesNeitherArray) {
    int32_t index[1] = {-7};
    HeapSortIndices(0, index, nullptr);
    EXPECT_EQ(index[0], -7);
}

TEST(HeapSortIndices, ManyKeysComeOutSortedAndEachStarOnce) {
    std::vector<uint16_t> keys(1001);
    uint32_t state = 12345;
    for (auto& key : keys) key = static_cast<uint16_t>((state = state * 1103515245u + 12345u) >> 20);
    std::vector<int32_t> index(keys.size());
    HeapSortIndices(static_cast<uint32_t>(keys.size()), index.data(), keys.data());
    std::vector<int> seen(keys.size(), 0);
    for (size_t i = 0; i < index.size(); ++i) {
        ++seen[index[i]];
        if (i > 0) {
            EXPECT_LE(keys[index[i - 1]], keys[index[i]]);
        }
    }
    for (int count : seen) EXPECT_EQ(count, 1);
}

}  // namespace
