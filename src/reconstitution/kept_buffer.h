// Buffers kept from file to file: an image-sized buffer keeps its memory when a smaller or equal
// image follows, so that a folder of short files of a few sizes takes its pages once, and clears
// nothing that the stages write before they read it.
#pragma once

#include <cstddef>
#include <vector>

// Sizes `buffer` to `count` elements. Within its capacity the memory stays: elements up to the old
// size keep their (stale) values, and only elements beyond it are value-initialised, which every
// user of a kept buffer writes before it reads. Beyond its capacity the old memory is freed before
// the new is taken, so that two sizes are never held at once (a vector that grew would copy the
// old elements into the new block while both are held). May throw std::bad_alloc or
// std::length_error, leaving the buffer empty.
template <typename T>
void KeptBuffer_Fit(std::vector<T>& buffer, size_t count) {
    if (count > buffer.capacity()) std::vector<T>().swap(buffer);
    buffer.resize(count);
}

// Frees the buffer's memory.
template <typename T>
void KeptBuffer_Free(std::vector<T>& buffer) {
    std::vector<T>().swap(buffer);
}
