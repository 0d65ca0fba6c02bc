// Earlier fast forms of the hole fill, the trimmed-mean filter and the plane fill, which the product
// no longer calls: the benchmark's baselines for today's forms.
#pragma once

#include <cstdint>

#include "fourproduct/fourproduct.h"
#include "reconstitution/pseudo_random.h"
#include "reconstitution/work_buffers.h"

// FillHoles computed layer by layer, each marked pixel visited once: a pixel is filled in pass k
// exactly when its nearest seeded pixel is k steps away (8-neighbour steps through inner pixels), from
// neighbours that were all filled before. Uses fill_list as the queue of layers and snapshot as
// per-pixel state; hands levels of 256 and more to FillHoles.
void FillHoles_Layers(ReconWorkBuffers& buffers, int32_t rows, int32_t cols);

// FillPlanes with the square roots and frame indices looked up in tables built by the same
// expressions, and the generator drawn in its own loop (one draw per pixel, in pixel order).
void FillPlanes_Tables(const ReconWorkBuffers& buffers, PseudoRandom& generator, FourProduct& product, int32_t npix);

// The trimmed-mean filter from histograms, walking down the image with two cut points per window
// (the pipeline's form before Median_Filter_Range). Hands the inputs the range form does not take to
// Median_Filter_Sort.
void Median_Filter_Histogram(const uint16_t* input, int32_t in_stride, uint16_t* output, int32_t out_stride,
                             int32_t rows, int32_t cols);

// FillHoles_Distance before its runs: 16-bit distances swept in SSE2 registers, one list entry per
// lone pixel or row run, the means as float divisions.
void FillHoles_Distance16(ReconWorkBuffers& buffers, int32_t rows, int32_t cols);

// Median_Filter_Range before its sliding counts: every window's own range of thresholds summed from
// its 15 columns' counts, 16 (SSE2) or 32 (AVX2, chosen at run time) at a time, lanes past the range
// masked off. Hands the inputs the range form does not take to Median_Filter_Sort.
void Median_Filter_RangeEarlier(const uint16_t* input, int32_t in_stride, uint16_t* output, int32_t out_stride, int32_t rows,
                                int32_t cols);
