// Background smoothing: the 15 x 15 trimmed-mean filter.
//
// Every pixel whose 15 x 15 neighbourhood lies inside the image becomes the mean of the middle 113
// of its 225 input values (the 56 largest and 56 smallest left out), truncated; every pixel nearer
// than 7 to an edge then takes the value of the nearest such pixel, filled left band, right band,
// top band, bottom band from the output itself.
#pragma once

#include <cstdint>
#include <vector>

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
void Median_Filter_FillBorder(uint16_t* output, int32_t out_stride, int32_t rows, int32_t cols);

// The work space of Median_Filter_Range: the input as bytes, every column's threshold counts, the
// windows' smallest and largest values. Kept by a caller that filters many images, so that their
// memory is taken once.
struct MedianFilterScratch {
    std::vector<uint8_t> image;       // the input as bytes, rows x cols
    std::vector<uint8_t> at_least;    // [column * 256 + t]: the column's window values >= t
    std::vector<uint8_t> column_min, column_max, scratch_min, scratch_max;  // per column
    std::vector<uint8_t> window_min, window_max;  // per output column, this row
    std::vector<uint16_t> excess;                 // per output of a chunk of a row: its kept excess
    std::vector<uint64_t> changed;                // bit per column: its value changes to the next row
};

// The same filter from threshold counts (the pipeline's form). Output identical to
// Median_Filter_Sort's for every input; the rule that picks the form:
//  - every input value below 256 and in_stride at least 15: the range form below;
//  - anything else: Median_Filter_Sort itself, which also makes the refusals above; and so does an
//    input whose work space cannot be allocated, since the literal filter needs no memory of its own.
//
// With c_t the number of a window's 225 values that are at least t, the output is, for any base b at
// or below the window's smallest value and any n with b + n at or above its largest value,
//     b + floor(sum over t = b + 1 .. b + n of clamp(c_t - 56, 0, 113) / 113):
// every t up to the smallest value counts 113 (the floor adds one each), every t above the largest
// counts nothing, and the rest is the truncated mean of the 57th to 169th largest values. So no
// window needs its own range: the outputs of a row go in segments, each with one base (the smallest
// value its windows hold) and as many vectors of thresholds from there as its largest value needs;
// each vector's window counts slide along the row, the entering column's counts added and the leaving
// column's taken off; a segment of one value is written at once. Every input column keeps its counts
// of window values >= t for every t, moved to the next row as soon as the row's last window has used
// them.
void Median_Filter_Range(const uint16_t* input, int32_t in_stride, uint16_t* output, int32_t out_stride, int32_t rows,
                         int32_t cols);

// Median_Filter_Range with its work space kept in `scratch`.
void Median_Filter_Range(const uint16_t* input, int32_t in_stride, uint16_t* output, int32_t out_stride, int32_t rows,
                         int32_t cols, MedianFilterScratch& scratch);

// The bytes `held` takes once Median_Filter_Range has filtered a rows x cols image with it, what it
// holds now kept: the byte image, every column's threshold counts, the per-column ranges and the
// chunk's sums. Nothing more below 15 x 15, where the literal filter runs (so rows or cols 0: what
// `held` holds).
uint64_t Median_Filter_RangeBytes(const MedianFilterScratch& held, int32_t rows, int32_t cols);

// The same for a scratch that holds nothing yet.
uint64_t Median_Filter_RangeBytes(int32_t rows, int32_t cols);

// True when Median_Filter_Range takes its range form for this input: every value below 256, a stride
// of at least 15 and an image of at least 15 x 15.
bool Median_Filter_RangeApplies(const uint16_t* input, int32_t in_stride, int32_t rows, int32_t cols);
