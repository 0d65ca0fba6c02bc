// The buffers one reconstitution works in, and the values every stage shares: the hole marker and
// the neighbour-sum layout of the hole fill, the 0..255 range of background levels.
//
// Every piece of state the fast pipeline changes lives in the ReconWorkBuffers passed in (the
// generator, the fast profiles' cache), so threads that each own their buffers can reconstitute
// records side by side.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "reconstitution/gauss_star.h"
#include "reconstitution/pseudo_random.h"

constexpr uint16_t kHoleMarker = 2048;     // a pixel with no background level yet (0x800)
constexpr int kMarkedCountShift = 11;      // the neighbour sum's bits above 11 count marked pixels
constexpr uint16_t kKnownSumMask = 2047;   // ... and its low 11 bits add up the known ones
constexpr uint16_t kAllNeighboursMarked = 8 * kHoleMarker;  // 16384: the pixel waits a pass
constexpr int32_t kMaxLevel = 255;         // background levels are clamped to 0..255

struct ReconWorkBuffers {
    std::vector<uint16_t> star_layer;        // npix: the drawn star profiles
    std::vector<uint16_t> background_image;  // npix: background levels, kHoleMarker where none yet
    std::vector<uint16_t> snapshot;          // npix: input of each fill pass and of the filter
    std::vector<int32_t> fill_list;          // npix: pixels still to be filled
    std::vector<int32_t> star_order;         // nstars: drawing order
    std::vector<float> disc_mask;            // window x window: 1.0 inside the disc
    std::vector<float> profile_kernel;       // window x window: the current star's profile
    PseudoRandom generator;                  // draws the frame indices; runs on from record to record
    GaussStarFastCache profiles;             // the fast profiles' factor tables, for the run
                                             // (or a pointer to the run's shared ones)
    std::string warnings;                    // warning lines of the last record, for the driver to print
};
