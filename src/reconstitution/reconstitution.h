// Frame reconstitution: one frame record of a CALSTARS file becomes the four products of a
// synthesised star field.
//
// The picture is built from the star list alone:
//  1. background seeding: each star's window takes the star's background level (0..255; levels
//     outside are clamped, with one warning line per record); every other pixel is marked 2048;
//  2. hole filling: marked inner pixels take the truncated mean of their known neighbours, one ring
//     per pass, until none is left (a pass that fills nothing ends it; the rest take 0);
//  3. border completion (rows first, then columns) and the 15 x 15 trimmed-mean filter;
//  4. the star layer: stars drawn faintest first, each a Gaussian profile scaled so that its part
//     inside the disc mask carries the star's intensity;
//  5. the plane fill: v = background + star layer clipped to 255 gives products 0 and 2, the
//     truncated square root of v product 3, and a pseudo-random frame index product 1.
// A star whose window is partly outside the image is drawn (and seeds the background) as far as it
// lies inside; one wholly outside changes nothing.
//
// Use, per CALSTARS file: CalStarReconsitution_MemSetup after the header is read; per frame record
// CalStarReconsitution, then (after the file is written) CalStarReconsitution_FrameFree; after the
// last record CalStarReconsitution_MemFree, which also releases the GaussStar cache.
//
// Nothing here prints: a record's warning lines are left in ReconWorkBuffers::warnings for the driver,
// which prints them before the record's name. Every piece of state the fast pipeline changes lives in
// the ReconWorkBuffers passed in (the generator, the fast profiles' cache), so threads that each own
// their buffers can reconstitute records side by side. The literal GaussStar's cache is
// process-wide and only CalStarReconsitution_Reference, DrawStars and CalStarReconsitution_MemFree touch it.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "calstars/calstars.h"
#include "fourproduct/fourproduct.h"
#include "reconstitution/gauss_star.h"
#include "reconstitution/pseudo_random.h"

constexpr uint16_t kHoleMarker = 2048;     // a pixel with no background level yet (0x800)
constexpr int kMarkedCountShift = 11;      // the neighbour sum's bits above 11 count marked pixels
constexpr uint16_t kKnownSumMask = 2047;   // ... and its low 11 bits add up the known ones
constexpr uint16_t kAllNeighboursMarked = 8 * kHoleMarker;  // 16384: the pixel waits a pass
constexpr int32_t kMaxLevel = 255;         // background levels are clamped to 0..255
constexpr uint16_t kBrightStarIntensity = 1800;  // from here on stars are drawn with the wide profile
constexpr float kNarrowSigma = 1.1f;
constexpr float kWideSigma = 1.6f;
constexpr int32_t kMinImageSide = 15;      // the trimmed-mean filter needs 15 x 15

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
    std::string warnings;                    // warning lines of the last record, for the driver to print
};

// Listing set-up: releases the previous image buffers, then sizes them for the file's rows x cols and
// nstars. Refuses an image below 15 x 15 (see CalStarReconsitution_CheckImage). Fails with
// " Memory section 1 not allocated in CalStarReconsitution \n" when the buffers cannot be allocated.
void CalStarReconsitution_MemSetup(ReconWorkBuffers& buffers, const CalStarExtraction& extraction);

// The refusal of the listing set-up on its own: an image below 15 x 15 (the trimmed-mean filter has
// no interior there), with the set-up's message.
void CalStarReconsitution_CheckImage(const CalStarExtraction& extraction);

// Reconstitutes the current frame record into the current bank of `product`. Refuses the record
// (no wait) when its window is even, below 1 or larger than the image's smaller side, or a star
// coordinate is not finite. Sets buffers.warnings to " Warning: ...\n" when background levels had to
// be clamped, to nothing otherwise (also when the record is refused before the seeding). Fails
// with " Memory section 2 not allocated in CalStarReconsitution \n" when the window arrays cannot
// be allocated.
void CalStarReconsitution(ReconWorkBuffers& buffers, const CalStarExtraction& extraction, FourProduct& product);

// The same reconstitution from the literal stages only (FillHoles, Median_Filter_Sort, DrawStars
// with GaussStar, FillPlanes): the reference that the fast stages of CalStarReconsitution are
// checked against, byte for byte.
void CalStarReconsitution_Reference(ReconWorkBuffers& buffers, const CalStarExtraction& extraction, FourProduct& product);

// Frame release: frees the window arrays.
void CalStarReconsitution_FrameFree(ReconWorkBuffers& buffers);

// Per-listing clean-up: releases the GaussStar cache and the image buffers. The fast profiles' cache
// stays: its factor tables hold for any file.
void CalStarReconsitution_MemFree(ReconWorkBuffers& buffers);

// The stages, exposed for tests and benchmarks. `extraction` supplies rows, cols, nstars and the
// current record.

// Seeds background_image and returns the number of stars whose level had to be clamped.
int32_t SeedBackground(ReconWorkBuffers& buffers, const CalStarExtraction& extraction);
// Fills the marked inner pixels pass by pass from their known neighbours.
void FillHoles(ReconWorkBuffers& buffers, int32_t rows, int32_t cols);
// FillHoles computed layer by layer, each marked pixel visited once: a pixel is filled in pass k
// exactly when its nearest seeded pixel is k steps away (8-neighbour steps through inner pixels), from
// neighbours that were all filled before. Uses fill_list as the queue of layers and snapshot as
// per-pixel state. The earlier fast form, kept for the benchmark and checked like the others; it hands
// levels of 256 and more to FillHoles.
void FillHoles_Layers(ReconWorkBuffers& buffers, int32_t rows, int32_t cols);
// FillHoles from each pixel's pass, computed beforehand: a marked inner pixel is filled in pass k
// exactly when its chessboard distance to the nearest seeded pixel (any pixel that is not the marker,
// border pixels included) is k, from its neighbours of smaller distance, while the others (and the
// border pixels that hold the marker) still count as marked. A two-pass distance transform gives
// every pixel its pass (kept in snapshot), a counting sort lists the pixels pass by pass (in
// fill_list), and one sweep fills them in that order. Without any seeded pixel every inner pixel takes
// 0. Rule: this form when every pixel holds a level below 256 or the marker and both sides are below
// 16384; otherwise FillHoles itself (inexact counting; distances beyond 16 bits).
void FillHoles_Distance(ReconWorkBuffers& buffers, int32_t rows, int32_t cols);
// Overwrites the border: rows 0 and rows-1 from their inner neighbours, then columns 0 and cols-1.
void CompleteBorder(std::vector<uint16_t>& image, int32_t rows, int32_t cols);
// Fills disc_mask for `window`: 1.0 where i^2 + j^2 < half (half + 1).
void BuildDiscMask(std::vector<float>& disc_mask, int32_t window);
// Draws every star into star_layer (cleared first), faintest first.
void DrawStars(ReconWorkBuffers& buffers, const CalStarExtraction& extraction);
// DrawStars with GaussStar_Fast building the profiles from buffers.profiles (always: its kernels are
// GaussStar's bits).
void DrawStars_Fast(ReconWorkBuffers& buffers, const CalStarExtraction& extraction);
// Fills the four products of the current bank from background_image + star_layer, drawing one value
// of `generator` per pixel.
void FillPlanes(const ReconWorkBuffers& buffers, PseudoRandom& generator, FourProduct& product, int32_t npix);
// FillPlanes with the square roots and frame indices looked up in tables built by the same
// expressions, and the generator drawn in its own loop (one draw per pixel, in pixel order). The
// earlier fast form, kept for the benchmark.
void FillPlanes_Tables(const ReconWorkBuffers& buffers, PseudoRandom& generator, FourProduct& product, int32_t npix);
// FillPlanes computed in vector lanes: the square root as a count of squares, the frame index in
// integer arithmetic that truncates as the double expression does, and the generator drawn in
// interleaved lanes (lane j started by the jump ahead of j + 1 draws, each lane stepping by the map of
// one lane count of draws), the remaining pixels one by one; afterwards `generator` holds the state
// after npix draws, as FillPlanes leaves it. Always taken: it gives FillPlanes' bytes for every input.
void FillPlanes_Fast(const ReconWorkBuffers& buffers, PseudoRandom& generator, FourProduct& product, int32_t npix);
