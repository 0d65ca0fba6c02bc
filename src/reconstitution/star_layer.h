// Star layer: every star of a record drawn as a Gaussian profile, faintest first.
//
// Each star's profile (GaussStar, sigma 1.1 below intensity 1800 and 1.6 from there on) is scaled so
// that its part inside the disc mask carries the star's intensity; its window overwrites the layer as
// far as it lies inside the image (a star wholly outside draws nothing).
//
// DrawStars is the reference, with the literal GaussStar. DrawStars_Fast builds the same kernels with
// GaussStar_Fast; the rule that picks the form, in the pipeline: DrawStars_Fast always (its kernels are
// GaussStar's bits, and everything after the kernel is the same code).
#pragma once

#include <cstdint>
#include <vector>

#include "calstars/calstars.h"
#include "reconstitution/gauss_star.h"

constexpr uint16_t kBrightStarIntensity = 1800;  // from here on stars are drawn with the wide profile
constexpr float kNarrowSigma = 1.1f;
constexpr float kWideSigma = 1.6f;

// The part of a star's window that lies inside the image: image rows row_first..row_last and columns
// col_first..col_last, which are window elements (row_first - top, col_first - left) onwards.
struct WindowSpan {
    bool visible = false;
    int32_t top = 0;   // image row of window element row 0
    int32_t left = 0;  // image column of window element column 0
    int32_t row_first = 0, row_last = -1, col_first = 0, col_last = -1;
};

// The span of the window of half-width `half` around the star at (row, col) in a rows x cols image,
// centred on the nearest pixel floor(x + 0.5); not visible when no pixel of it is inside.
WindowSpan StarWindowSpan(float row, float col, int32_t half, int32_t rows, int32_t cols);

// The part of the image a star's window covers: rows row_first..row_last, columns
// col_first..col_last.
struct DrawnWindow {
    int32_t row_first = 0, row_last = -1, col_first = 0, col_last = -1;
};

// The star layer's own arrays. The star order lives per file, the window arrays per record; the
// drawn windows and the fast profiles' cache are kept from record to record.
struct StarLayerScratch {
    std::vector<int32_t> star_order;      // nstars: drawing order
    std::vector<float> disc_mask;         // window x window: 1.0 inside the disc
    std::vector<float> profile_kernel;    // window x window: the current star's profile
    // The windows drawn into the layer since it was last cleared whole, when drawn_known: every
    // pixel outside them is 0, so the next record clears only them.
    std::vector<DrawnWindow> drawn;
    bool drawn_known = false;
    GaussStarFastCache profiles;          // the fast profiles' factor tables, for the run
};

// Set-up for a file of nstars stars: sizes star_order. May throw std::bad_alloc or
// std::length_error.
void DrawStars_MemSetup(StarLayerScratch& scratch, int32_t nstars);

// The star layer's image is set up anew (for another image: its pixels are unknown): forgets the
// drawn windows, so that the next record clears the layer whole.
void DrawStars_ForgetLayer(StarLayerScratch& scratch);

// Set-up for a record of `window`: disc_mask and profile_kernel of window x window elements. May
// throw std::bad_alloc or std::length_error.
void DrawStars_FrameSetup(StarLayerScratch& scratch, int32_t window);

// Frees the window arrays: profile_kernel, then disc_mask.
void DrawStars_FrameFree(StarLayerScratch& scratch);

// Frees the star order and the drawn windows. The fast profiles' cache stays: its factor tables hold
// for any file.
void DrawStars_MemFree(StarLayerScratch& scratch);

// The most bytes `held` takes through a record of `window` and nstars stars drawn with
// DrawStars_Fast, what it holds now kept: the star order and the drawn windows (one entry per star),
// the two window arrays and the fast profiles' cache (GaussStar_FastCacheBytes). With window and
// nstars 0, what `held` holds. The literal DrawStars takes the process-wide GaussStar table instead
// (GaussStar_TableBytes).
uint64_t DrawStars_Bytes(const StarLayerScratch& held, int32_t window, int32_t nstars);

// The same for a scratch that holds nothing yet.
uint64_t DrawStars_Bytes(int32_t window, int32_t nstars);

// Fills disc_mask (window x window) for `window`: 1.0 where i^2 + j^2 < half (half + 1), 0.0 elsewhere.
void BuildDiscMask(std::vector<float>& disc_mask, int32_t window);

// Draws every star of the current record into `star_layer` (rows x cols of the record, cleared whole
// first), faintest first, using the scratch's star_order, disc_mask (built for the record's window)
// and profile_kernel. Keeps the windows it drew in scratch.drawn.
void DrawStars(std::vector<uint16_t>& star_layer, StarLayerScratch& scratch, const CalStarExtraction& extraction);

// DrawStars with GaussStar_Fast building the profiles from scratch.profiles, and the layer cleared
// only in scratch.drawn when scratch.drawn_known (every other pixel is 0 then), whole otherwise.
void DrawStars_Fast(std::vector<uint16_t>& star_layer, StarLayerScratch& scratch, const CalStarExtraction& extraction);
