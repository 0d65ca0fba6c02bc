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

// The same filter from the range of values each window holds (the pipeline's form). Output is
// identical to Median_Filter_Sort's for every input; the rule that picks the form:
//  - every input value below 256 and in_stride at least 15: the range form. With c_t the number of
//    the window's values that are at least t, and m, M its smallest and largest value, the output is
//    m + floor(sum over t = m + 1 .. M of clamp(c_t - 56, 0, 113) / 113), exactly the truncated mean
//    of its 57th to 169th largest values; a window of one value outputs it without any count;
//  - anything else: Median_Filter_Sort itself, which also makes the refusals above; and so does an
//    input whose counts (256 per column) cannot be allocated, since the literal filter needs no
//    memory of its own.
// Every input column keeps its counts of window values >= t for all t; each window's m and M come
// from running minima and maxima, and only its thresholds m + 1 .. M are summed.
void Median_Filter_Range(const uint16_t* input, int32_t in_stride, uint16_t* output, int32_t out_stride, int32_t rows,
                         int32_t cols);

// The instruction sets the range form sums its thresholds with: one at a time in plain code (what
// targets without SSE2 run), sixteen in an SSE2 register, thirty-two in an AVX2 register (chosen at
// run time where the processor has AVX2). Median_Filter_Range takes the widest one available.
enum class RangeLanes { kPortable, kSse2, kAvx2 };

// Median_Filter_Range with the given lanes, so the tests check every form on one machine. Returns
// false, writing nothing, when this build or processor lacks them.
bool Median_Filter_RangeLanes(RangeLanes lanes, const uint16_t* input, int32_t in_stride, uint16_t* output,
                              int32_t out_stride, int32_t rows, int32_t cols);

// True when Median_Filter_Range takes its range form for this input: every value below 256, a stride
// of at least 15 and an image of at least 15 x 15.
bool MedianFilter_RangeApplies(const uint16_t* input, int32_t in_stride, int32_t rows, int32_t cols);
