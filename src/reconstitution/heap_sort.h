// Star ordering: the drawing order of a frame's stars, faintest first.
#pragma once

#include <cstdint>

// Fills index[0..count-1] with the star numbers 0..count-1 so that key[index[0]] <= key[index[1]] <=
// ... by a heap sort over the index array (the keys are not moved). Equal keys come out in the order
// this particular heap sort produces, which decides which of two equally bright overlapping stars is
// drawn last; it must not be replaced by another sort. count 0 returns at once without touching
// either array.
void HeapSortIndices(uint32_t count, int32_t* index, const uint16_t* key);
