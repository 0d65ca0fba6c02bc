// Hole fill: the background levels of the pixels outside every star window.
//
// Seeding leaves kHoleMarker (2048) in every pixel no star window covers. The fill then runs pass by
// pass: every marked inner pixel with at least one known neighbour takes the truncated mean of its
// known neighbours, all from the image as it was before the pass, one ring per pass, until none is
// left (a pass that fills nothing ends it; the rest take 0). The border follows from the inner pixels
// (CompleteBorder), ready for the trimmed-mean filter.
//
// FillHoles is the reference; it takes one pass over the image per ring, so it is quadratic in the
// image's length. Two linear forms give its bytes: FillHoles_Distance from each pixel's pass computed
// beforehand, and FillHoles_Layers from a queue of the pixels each pass fills. The rule that picks
// the form, in the pipeline: FillHoles_Distance always, which itself hands over
//  - to FillHoles_Layers an image with a side of kHoleFillDistanceSideLimit or more (distances beyond
//    16 bits), and one whose runs or values would go beyond the fast form's share (4 bytes an inner
//    pixel, the layers form's list: see hole_fill.cpp), found before it writes anything;
//  - to FillHoles an image with a level of 256 or more, where the counting is inexact (the seeding's
//    clamp never gives the pipeline one); FillHoles_Layers does the same.
#pragma once

#include <cstdint>
#include <vector>

#include "reconstitution/levels.h"

// The sum of a pixel's eight neighbours, each a level below 256 or kHoleMarker, is 2048 u + K for u
// marked neighbours whose known ones add up to K (at most 8 x 255 = 2040): its bits from 11 up count
// the marked ones, its low 11 bits add up the known ones.
constexpr int kMarkedCountShift = 11;
constexpr uint16_t kKnownSumMask = 2047;
constexpr uint16_t kAllNeighboursMarked = 8 * kHoleMarker;  // 16384: the pixel waits a pass

// Images with a side of this many pixels or more could hold distances beyond 16-bit closeness:
// FillHoles_Distance hands them to FillHoles_Layers.
constexpr int32_t kHoleFillDistanceSideLimit = 65535;

// A run of pixels that FillHoles_Distance fills together: along a row, or down a column.
struct HoleFillRun {
    int32_t first = 0;  // index of the run's first pixel (leftmost, or topmost for a vertical run)
    int32_t count = 0;  // pixels: along the row, or (negated) down the column
    int32_t pass = 0;
};

// The hole fill's work space: the list of FillHoles and FillHoles_Layers, and the runs and marks of
// the fast form. Kept from record to record (grown to the largest need), so that a night takes its
// memory once; the list and the fast form's runs, sorted runs and values are never held together
// (the form that takes one frees the other first).
struct HoleFillScratch {
    std::vector<int32_t> fill_list;   // FillHoles, FillHoles_Layers: the pixels still to be filled
    std::vector<HoleFillRun> runs;    // in the order they are found
    std::vector<HoleFillRun> sorted;  // by pass: its row runs, then its vertical runs
    std::vector<int32_t> first;       // [2 pass + vertical]: where that group starts in `sorted`
    std::vector<int32_t> open;        // per column: the bottom row of its open vertical run
    std::vector<uint16_t> lone;       // two rows: all ones per pixel that has no row neighbour of its pass
    std::vector<uint8_t> bits;        // one row's bit sets
    std::vector<uint8_t> deferred;    // per pass: some of its vertical runs touch diagonally
    std::vector<uint16_t> values;     // one pass's new values before they are written
};

// Set-up for a file of rows x cols pixels: where the pipeline's fill always takes the layers form (a
// side of kHoleFillDistanceSideLimit or more), sizes its list to the inner pixels now, with the
// file's other buffers; the rest of the scratch grows as the records need. May throw std::bad_alloc
// or std::length_error.
void FillHoles_MemSetup(HoleFillScratch& scratch, int32_t rows, int32_t cols);

// Frees all of the scratch.
void FillHoles_MemFree(HoleFillScratch& scratch);

// The most bytes `held` takes through FillHoles_Distance on a record of rows x cols pixels whose
// levels are 0..255 or the marker (as the seeding leaves them), with what it holds now kept: the
// fast form's marks (a few entries a column and a pass) beside the larger of its share and the
// layers form's list (each 4 bytes an inner pixel, held one at a time). Bounded by design, whatever
// the stars. With rows or cols 0, what `held` holds.
uint64_t FillHoles_Bytes(const HoleFillScratch& held, int32_t rows, int32_t cols);

// The same for a scratch that holds nothing yet.
uint64_t FillHoles_Bytes(int32_t rows, int32_t cols);

// Fills the marked inner pixels of `image` (rows x cols) pass by pass from their known neighbours.
// `snapshot` (npix) takes the image at the start of each pass; scratch.fill_list is sized to the
// inner pixels here when it is smaller.
void FillHoles(std::vector<uint16_t>& image, std::vector<uint16_t>& snapshot, HoleFillScratch& scratch, int32_t rows,
               int32_t cols);

// FillHoles from each pixel's pass, computed beforehand: a marked inner pixel is filled in pass k
// exactly when its chessboard distance to the nearest seeded pixel (any pixel that is not the marker,
// border pixels included) is k, from its neighbours of smaller distance, while the others (and the
// border pixels that hold the marker) still count as marked.
//
// A two-sweep distance transform in vector lanes gives every pixel its pass (8-bit distances, in
// snapshot; 16-bit ones when some pass is beyond 254). As each row's distances become final its
// pixels are grouped: a pixel with a row neighbour of the same pass belongs to a row run, one without
// to a vertical run of the same column and pass on consecutive rows. The runs, sorted by pass, are
// filled pass by pass: row runs a vector of neighbour sums at a time, vertical runs from the
// three-pixel sums of their rows; every mean divides by the count of known neighbours through an
// exact reciprocal table. Within a pass a value may be written only once no sum of that pass can read
// its pixel: row runs are written after every sum of the pass, vertical runs at once unless one of
// them touches another of the same pass diagonally (then after every sum as well).
//
// Rule (see the top of this file): this form when every pixel holds a level below 256 or the marker,
// both sides are below kHoleFillDistanceSideLimit and its runs and values fit its share; otherwise
// FillHoles_Layers, or FillHoles for a level of 256 or more. Without any seeded pixel every inner
// pixel takes 0. Work space: `snapshot` (npix: the distances), and `scratch`.
void FillHoles_Distance(std::vector<uint16_t>& image, std::vector<uint16_t>& snapshot, HoleFillScratch& scratch,
                        int32_t rows, int32_t cols);

// FillHoles layer by layer, each marked pixel visited once: pass 1 fills the marked inner pixels
// with a known neighbour, pass k + 1 the still marked neighbours of those pass k filled, each from the
// image as it was before its pass. scratch.fill_list (the inner pixels, 32-bit) is the queue of the
// layers, `snapshot` (npix) the pixels' states. Linear at every size the reader admits. Hands an
// image with a level of 256 or more to FillHoles. Without any seeded pixel every inner pixel takes 0.
void FillHoles_Layers(std::vector<uint16_t>& image, std::vector<uint16_t>& snapshot, HoleFillScratch& scratch, int32_t rows,
                      int32_t cols);

// Overwrites the border of `image` (rows x cols): rows 0 and rows-1 from their inner neighbours, then
// columns 0 and cols-1.
void CompleteBorder(std::vector<uint16_t>& image, int32_t rows, int32_t cols);

// The truncated mean of the known neighbours from a neighbour sum below 16384 (at least one known
// neighbour), (sum AND 2047) / (8 - (sum >> 11)), as the fast form computes it: twice the known total
// times ceil(32768 / count), high 16 bits. Exposed so that a test can check it against the division
// for every such sum.
uint16_t FillHoles_MeanByReciprocal(uint16_t sum);
