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
// Use, per frame record: CalStarReconsitution_SetUpFor (which sets up again only what the record
// changes), CalStarReconsitution, then (after the file is written) CalStarReconsitution_FrameFree;
// after the last record CalStarReconsitution_MemFree, which also releases the GaussStar cache.
// CalStarReconsitution_RecordBytes says what a record takes, from the sizes the set-up and the stages
// allocate.
//
// Each stage lives in its own file with its reference beside its fast form: hole_fill, median_filter,
// star_layer, plane_fill. CalStarReconsitution runs the fast forms, CalStarReconsitution_Reference the
// literal ones.
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
#include "reconstitution/hole_fill.h"
#include "reconstitution/plane_fill.h"
#include "reconstitution/star_layer.h"
#include "reconstitution/work_buffers.h"

constexpr int32_t kMinImageSide = 15;      // the trimmed-mean filter needs 15 x 15

// Listing set-up: sizes the image buffers for the file's rows x cols and nstars. Idempotent: buffers
// set up for the same image and star count keep everything (also which star-layer windows are known
// to be zero); another star count sizes only the star order. A buffer keeps its memory from an
// earlier image that holds this one (nothing is cleared: see ReconWorkBuffers), and frees it before
// it takes a larger one, so that two sizes are never held at once. Refuses an image below 15 x 15
// (see CalStarReconsitution_CheckImage). Fails with
// " Memory section 1 not allocated in CalStarReconsitution \n" when the buffers cannot be allocated.
void CalStarReconsitution_MemSetup(ReconWorkBuffers& buffers, const CalStarExtraction& extraction);

// The set-up of a record, the one rule every caller follows before CalStarReconsitution: the planes
// of `product` for the record's first_int and image (FourProduct_MemSetup, which keeps planes that
// hold the image), then the buffers (CalStarReconsitution_MemSetup). Both keep what the record does
// not change, so it is called for every record. Fails as those two do, the planes first.
void CalStarReconsitution_SetUpFor(ReconWorkBuffers& buffers, FourProduct& product, const CalStarExtraction& record);

// The refusal of the listing set-up on its own: an image below 15 x 15 (the trimmed-mean filter has
// no interior there), with the set-up's message.
void CalStarReconsitution_CheckImage(const CalStarExtraction& extraction);

// The refusals of CalStarReconsitution on their own, which need no memory: a window that is even,
// below 1 or larger than the image's smaller side, or a star coordinate that is not finite. The
// driver makes them before it sets anything up for the record, so that they come first whatever
// memory the machine has.
void CalStarReconsitution_CheckRecord(const CalStarExtraction& extraction);

// The same rules as reasons, for a writer of star lists that refuses what the program would refuse
// to process (the Python module's Record and write_calstars), "" where there is none. The image's:
// "image of <rows> x <cols> pixels is below 15 x 15". The record's, for an image of rows x cols and
// in the order CheckRecord makes them: "window <n> is not an odd size from 1 to the image's smaller
// side", then "star <k> has a coordinate that is not a finite number" (stars counted from 1). For a
// record that has no image yet, rows and cols kImageUnknown leave out the window's upper bound.
constexpr int32_t kImageUnknown = 0;
std::string CalStarReconsitution_ImageRefusal(int32_t rows, int32_t cols);
std::string CalStarReconsitution_RecordRefusal(const CalStarExtraction& extraction, int32_t rows, int32_t cols);

// Reconstitutes the current frame record into the current bank of `product`. Refuses the record
// (no wait) when its window is even, below 1 or larger than the image's smaller side, or a star
// coordinate is not finite. Sets buffers.warnings to " Warning: ...\n" when background levels had to
// be clamped, to nothing otherwise (also when the record is refused before the seeding). Fails
// with " Memory section 2 not allocated in CalStarReconsitution \n" when the window arrays, or any
// other memory of the frame's stages but the profiles' (" Memory not allocated in GaussStar \n"),
// cannot be allocated.
void CalStarReconsitution(ReconWorkBuffers& buffers, const CalStarExtraction& extraction, FourProduct& product);

// The same reconstitution from the literal stages only (FillHoles, Median_Filter_Sort, DrawStars
// with GaussStar, FillPlanes): the reference that the fast stages of CalStarReconsitution are
// checked against, byte for byte.
void CalStarReconsitution_Reference(ReconWorkBuffers& buffers, const CalStarExtraction& extraction, FourProduct& product);

// The most bytes `held` takes from its set-up for a record of rows x cols pixels, `window` and nstars
// stars to the end of CalStarReconsitution on it, what it holds now kept: the work images, the hole
// fill's scratch (FillHoles_Bytes), the range filter's (Median_Filter_RangeBytes) and the star layer's
// arrays with the fast profiles' cache (DrawStars_Bytes), each from the sizes its set-up allocates.
// The planes are the record's FourProduct's (FourProduct_Bytes).
uint64_t CalStarReconsitution_RecordBytes(const ReconWorkBuffers& held, int32_t rows, int32_t cols, int32_t window, int32_t nstars);

// The same on buffers that hold nothing yet: what a record needs.
uint64_t CalStarReconsitution_RecordBytes(int32_t rows, int32_t cols, int32_t window, int32_t nstars);

// The bytes `buffers` hold now (every buffer's capacity).
uint64_t CalStarReconsitution_HeldBytes(const ReconWorkBuffers& buffers);

// Frame release: frees the window arrays.
void CalStarReconsitution_FrameFree(ReconWorkBuffers& buffers);

// Per-listing clean-up: releases the GaussStar cache, the image buffers and the fast stages' work
// space sized by the image. The fast profiles' cache stays: its factor tables hold for any file.
void CalStarReconsitution_MemFree(ReconWorkBuffers& buffers);

// Gives back all the memory `buffers` hold, the fast profiles' cache too, and nothing process-wide
// (the GaussStar cache stays): for an owner whose kept memory would not fit beside its next record,
// on any thread. The generator keeps its state.
void CalStarReconsitution_FreeBuffers(ReconWorkBuffers& buffers);

// Seeds `background_image` (the first stage; rows x cols of the record): every pixel takes
// kHoleMarker, then each star's window, as far as it lies inside, the star's background level
// clamped to 0..255. Returns the number of stars whose level had to be clamped.
int32_t SeedBackground(std::vector<uint16_t>& background_image, const CalStarExtraction& extraction);
