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
#include "reconstitution/median_filter.h"
#include "reconstitution/pseudo_random.h"

constexpr uint16_t kHoleMarker = 2048;     // a pixel with no background level yet (0x800)
constexpr int kMarkedCountShift = 11;      // the neighbour sum's bits above 11 count marked pixels
constexpr uint16_t kKnownSumMask = 2047;   // ... and its low 11 bits add up the known ones
constexpr uint16_t kAllNeighboursMarked = 8 * kHoleMarker;  // 16384: the pixel waits a pass
constexpr int32_t kMaxLevel = 255;         // background levels are clamped to 0..255

// The fast hole fill's work space (FillHoles_Distance): its runs of pixels and their values. Kept from
// record to record, so that a night takes its memory once.
struct HoleFillRun {
    int32_t first = 0;  // index of the run's first pixel (leftmost, or topmost for a vertical run)
    int32_t count = 0;  // pixels: along the row, or (negated) down the column
    int32_t pass = 0;
};
struct HoleFillScratch {
    std::vector<HoleFillRun> runs;    // in the order they are found
    std::vector<HoleFillRun> sorted;  // by pass: its row runs, then its vertical runs
    std::vector<int32_t> first;       // [2 pass + vertical]: where that group starts in `sorted`
    std::vector<int32_t> open;        // per column: the bottom row of its open vertical run
    std::vector<uint16_t> lone;       // two rows: all ones per pixel that has no row neighbour of its pass
    std::vector<uint8_t> bits;        // one row's bit sets
    std::vector<uint8_t> deferred;    // per pass: some of its vertical runs touch diagonally
    std::vector<uint16_t> values;     // one pass's new values before they are written
};

// The part of the image a star's window covers: rows row_first..row_last, columns
// col_first..col_last.
struct DrawnWindow {
    int32_t row_first = 0, row_last = -1, col_first = 0, col_last = -1;
};

// The image buffers keep their memory from file to file (kept_buffer.h): a file of an image no
// larger than an earlier one takes no fresh pages and clears nothing, and their values from earlier
// records are stale; every stage writes what it reads first, except the star layer, which is zero
// outside `drawn`.
struct ReconWorkBuffers {
    std::vector<uint16_t> star_layer;        // npix: the drawn star profiles
    std::vector<uint16_t> background_image;  // npix: background levels, kHoleMarker where none yet
    std::vector<uint16_t> snapshot;          // npix: input of each fill pass and of the filter (the fast
                                             // stages: the distances, then the filter's output, which
                                             // takes background_image's place)
    std::vector<int32_t> fill_list;          // pixels still to be filled: the pass-by-pass fill's list,
                                             // npix, taken only where that fill runs (FillHoles)
    std::vector<int32_t> star_order;         // nstars: drawing order
    // The windows drawn into star_layer since it was last cleared whole, when drawn_known: every
    // pixel outside them is 0, so the next record clears only them.
    std::vector<DrawnWindow> drawn;
    bool drawn_known = false;
    std::vector<float> disc_mask;            // window x window: 1.0 inside the disc
    std::vector<float> profile_kernel;       // window x window: the current star's profile
    PseudoRandom generator;                  // draws the frame indices; runs on from record to record
    GaussStarFastCache profiles;             // the fast profiles' factor tables, for the run
                                             // (or a pointer to the run's shared ones)
    HoleFillScratch hole_fill;               // the fast hole fill's runs, for the run
    MedianFilterScratch filter;              // the range filter's counts, for the run
    std::string warnings;                    // warning lines of the last record, for the driver to print
};
