// Background smoothing: the 15 x 15 trimmed-mean filter.
//
// Every pixel whose 15 x 15 neighbourhood lies inside the image becomes the mean of the middle 113
// of its 225 input values (the 56 largest and 56 smallest left out), truncated; every pixel nearer
// than 7 to an edge then takes the value of the nearest such pixel, filled left band, right band,
// top band, bottom band from the output itself.
#pragma once

#include <cstdint>

constexpr int kFilterSide = 15;
constexpr int kFilterHalf = 7;
constexpr int kFilterWindow = kFilterSide * kFilterSide;  // 225 values
constexpr int kFilterTrimmed = 56;                        // left out at each end
constexpr int kFilterKept = kFilterWindow - 2 * kFilterTrimmed;  // 113 values averaged

// Filters `input` (stride `in_stride`, only read) into `output` (stride `out_stride`, every pixel
// written), both rows x cols. The output must not overlap the input.
//
// This is the reference form: a list of the window's pixels kept sorted down each column (primed
// with 14 rows, one entering row merged per output pixel, the leaving row removed by position).
// The 113-value sum is kept in 32 bits, so the result stays exact for any 16-bit input.
//
// Refuses (Failure, waiting for one character):
//  - an image below 15 x 15, which has no interior ("... Median_Filter_Sort needs at least 15 x 15");
//  - a window list that does not hold 210 entries after the leaving row is removed, which happens
//    when in_stride is below 15: " problem in median sorting routine Median_Filter_Sort\n", after the
//    output pixel of that step has been written.
void Median_Filter_Sort(const uint16_t* input, int32_t in_stride, uint16_t* output, int32_t out_stride, int32_t rows,
                        int32_t cols);

// Fills the four border bands of `output` from its interior (the last step of the filter).
void MedianFilter_FillBorder(uint16_t* output, int32_t out_stride, int32_t rows, int32_t cols);

// The same filter computed from histograms (fast form). Output is identical to Median_Filter_Sort's
// for every input; the rule that picks the form:
//  - every input value below 256 (one bin each) and in_stride at least 15: the histogram form, which
//    depends only on the multiset of the 225 window values, as the trimmed mean does;
//  - anything else: Median_Filter_Sort itself, which also makes the refusals above; and so does an
//    input whose histogram walk (a padded copy of the image and 256 counts per column) cannot be
//    allocated, since the literal filter needs no memory of its own.
// The histogram form walks down the image a row at a time. Every input column keeps the histogram of
// its 15 values in the window rows; every window keeps two cut points (the 56th smallest and the
// 56th largest value) with the count and sum of the values beyond each and the count at each.
// Sliding one row compares the 15 leaving and 15 entering values with the window's cuts, eight or
// sixteen neighbouring windows at once as vector lanes (see HistogramLanes);
// only a cut that is no longer the 56th value moves, bin by bin, counting the bin in the window's 15
// column histograms, which is rare in a smooth background.
void Median_Filter_Histogram(const uint16_t* input, int32_t in_stride, uint16_t* output, int32_t out_stride,
                             int32_t rows, int32_t cols);

// The instruction sets the histogram form can move its windows with: one window at a time in plain
// code (what targets without SSE2 run), eight in SSE2 registers, sixteen in AVX2 registers (chosen at
// run time where the processor has AVX2). Median_Filter_Histogram takes the widest one available.
enum class HistogramLanes { kPortable, kSse2, kAvx2 };

// Median_Filter_Histogram with the given lanes, so the tests check every form on one machine.
// Returns false, writing nothing, when this build or processor lacks them.
bool Median_Filter_HistogramLanes(HistogramLanes lanes, const uint16_t* input, int32_t in_stride, uint16_t* output,
                                  int32_t out_stride, int32_t rows, int32_t cols);

// True when Median_Filter_Histogram takes its histogram form for this input.
bool MedianFilter_HistogramApplies(const uint16_t* input, int32_t in_stride, int32_t rows, int32_t cols);
