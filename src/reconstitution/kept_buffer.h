// Buffers kept from file to file: an image-sized buffer keeps its memory when a smaller or equal
// image follows, so that a folder of short files of a few sizes takes its pages once, and clears
// nothing that the stages write before they read it.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
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

// The bytes a buffer holds: its capacity, which is what it took from the allocator.
template <typename T>
uint64_t KeptBuffer_Bytes(const std::vector<T>& buffer) {
    return sizeof(T) * static_cast<uint64_t>(buffer.capacity());
}

// The bytes a buffer holds once fitted to at most `count` elements: its capacity where that holds
// them (it is kept), else `count`'s (KeptBuffer_Fit frees the old memory first). The figure a
// stage's bytes function adds up for each of its buffers, on the scratch it holds now.
template <typename T>
uint64_t KeptBuffer_BytesAfter(const std::vector<T>& buffer, uint64_t count) {
    return sizeof(T) * std::max<uint64_t>(buffer.capacity(), count);
}
