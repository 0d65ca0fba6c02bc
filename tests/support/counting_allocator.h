// The bytes a test process holds through operator new, counted by a replacement of the global
// allocation functions linked into the unit tests: the live bytes, and their peak since a test last
// asked to start measuring. So a test compares what code really allocates, at its worst moment, with
// what the code says it takes, whatever buffer it allocates it in.
#pragma once

#include <cstdint>

// Whether this build counts at all (a sanitizer may own the allocation functions).
bool CountingAllocator_Counts();

// Bytes allocated through operator new and not yet freed.
uint64_t CountingAllocator_Live();

// Starts a measurement: the peak becomes the live bytes now.
void CountingAllocator_StartPeak();

// The most bytes live at once since CountingAllocator_StartPeak.
uint64_t CountingAllocator_Peak();

// The first line of a test that compares allocated bytes: such a test means nothing where the
// build does not count.
#define SKIP_UNLESS_ALLOCATOR_COUNTS() \
    if (!CountingAllocator_Counts()) GTEST_SKIP() << "this build does not count allocations"
