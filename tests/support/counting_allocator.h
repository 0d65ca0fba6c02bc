// The bytes a test process holds through operator new, counted by a replacement of the global
// allocation functions linked into the unit tests: the live bytes, and their peak since a test last
// asked to start measuring. So a test compares what code really allocates, at its worst moment, with
// what the code says it takes, whatever buffer it allocates it in.
#pragma once

#include <cstdint>

// Bytes allocated through operator new and not yet freed.
uint64_t CountingAllocator_Live();

// Starts a measurement: the peak becomes the live bytes now.
void CountingAllocator_StartPeak();

// The most bytes live at once since CountingAllocator_StartPeak.
uint64_t CountingAllocator_Peak();
