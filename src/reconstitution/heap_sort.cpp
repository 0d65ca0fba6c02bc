#include "reconstitution/heap_sort.h"

void HeapSortIndices(uint32_t count, int32_t* index, const uint16_t* key) {
    if (count == 0) return;
    for (uint32_t s = 0; s < count; ++s) index[s] = static_cast<int32_t>(s);
    uint32_t l = count / 2;  // next heap position to build from
    uint32_t r = count;      // heap size
    for (;;) {
        uint32_t hole = 0;
        int32_t t = 0;
        if (l > 0) {
            --l;
            t = index[l];
            hole = l;
        } else {
            --r;
            if (r == 0) break;
            t = index[r];
            index[r] = index[0];  // the largest key goes to the end of the heap
            hole = 0;
        }
        // Sift down: the right child only when strictly greater, stop above a child equal to t.
        uint32_t child = 2 * hole + 1;
        while (child < r) {
            if (child + 1 < r && key[index[child + 1]] > key[index[child]]) ++child;
            if (key[index[child]] <= key[t]) break;
            index[hole] = index[child];
            hole = child;
            child = 2 * child + 1;
        }
        index[hole] = t;
    }
}
