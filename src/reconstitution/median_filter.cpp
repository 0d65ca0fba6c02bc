#include "reconstitution/median_filter.h"

#include <cstring>

#include "failure.h"

namespace {

constexpr int kPrimedEntries = kFilterWindow - kFilterSide;  // 210: the window without its last row

// A reference to an input pixel: its position and value. Lists are held largest value first.
struct Entry {
    int32_t position;
    uint16_t value;
};

// Inserts into a largest-first list of `count` entries: entries smaller than the new value move one
// place towards the end; among equal values the earlier one stays in front.
void InsertSorted(Entry* list, int count, Entry entry) {
    int i = count;
    while (i > 0 && list[i - 1].value < entry.value) {
        list[i] = list[i - 1];
        --i;
    }
    list[i] = entry;
}

// Merges the 15 entering entries into the window list (210 entries), filling from the end: on equal
// values the window entry takes the later place.
void MergeEnteringRow(Entry* window, int window_count, const Entry* entering, int entering_count) {
    int w = window_count - 1;
    int e = entering_count - 1;
    for (int place = window_count + entering_count - 1; e >= 0; --place) {
        if (w >= 0 && !(entering[e].value < window[w].value)) {
            window[place] = window[w--];
        } else {
            window[place] = entering[e--];
        }
    }
}

// Removes every entry at or before `last_position`, keeping the order of the rest.
int RemoveLeavingRow(Entry* window, int count, int32_t last_position) {
    int kept = 0;
    for (int i = 0; i < count; ++i) {
        if (window[i].position > last_position) window[kept++] = window[i];
    }
    return kept;
}

void FilterColumn(const uint16_t* input, int32_t in_stride, uint16_t* output, int32_t out_stride, int32_t rows, int32_t x) {
    Entry window[kFilterWindow];
    Entry entering[kFilterSide];
    int count = 0;
    for (int r = 0; r < kFilterSide - 1; ++r) {
        for (int c = x - kFilterHalf; c <= x + kFilterHalf; ++c) {
            const int32_t position = r * in_stride + c;
            InsertSorted(window, count++, Entry{position, input[position]});
        }
    }
    for (int32_t y = kFilterHalf; y <= rows - 1 - kFilterHalf; ++y) {
        for (int c = 0; c < kFilterSide; ++c) {
            const int32_t position = (y + kFilterHalf) * in_stride + (x - kFilterHalf + c);
            InsertSorted(entering, c, Entry{position, input[position]});
        }
        MergeEnteringRow(window, count, entering, kFilterSide);
        uint32_t sum = 0;
        for (int i = kFilterTrimmed; i < kFilterTrimmed + kFilterKept; ++i) sum += window[i].value;
        output[y * out_stride + x] = static_cast<uint16_t>(sum / kFilterKept);
        count = RemoveLeavingRow(window, kFilterWindow, (y - kFilterHalf) * in_stride + (x + kFilterHalf));
        if (count != kPrimedEntries) {
            Fail(WaitKind::Character, " problem in median sorting routine Median_Filter_Sort\n");
        }
    }
}

}  // namespace

void MedianFilter_FillBorder(uint16_t* output, int32_t out_stride, int32_t rows, int32_t cols) {
    const int32_t last_row = rows - 1 - kFilterHalf;
    const int32_t last_col = cols - 1 - kFilterHalf;
    for (int32_t y = kFilterHalf; y <= last_row; ++y) {
        uint16_t* line = output + static_cast<size_t>(y) * out_stride;
        for (int32_t c = 0; c < kFilterHalf; ++c) line[c] = line[kFilterHalf];
        for (int32_t c = last_col + 1; c < cols; ++c) line[c] = line[last_col];
    }
    const size_t row_bytes = sizeof(uint16_t) * static_cast<size_t>(cols);
    for (int32_t y = 0; y < kFilterHalf; ++y) {
        std::memcpy(output + static_cast<size_t>(y) * out_stride, output + static_cast<size_t>(kFilterHalf) * out_stride, row_bytes);
    }
    for (int32_t y = last_row + 1; y < rows; ++y) {
        std::memcpy(output + static_cast<size_t>(y) * out_stride, output + static_cast<size_t>(last_row) * out_stride, row_bytes);
    }
}

void Median_Filter_Sort(const uint16_t* input, int32_t in_stride, uint16_t* output, int32_t out_stride, int32_t rows,
                        int32_t cols) {
    if (rows < kFilterSide || cols < kFilterSide) {
        Fail(WaitKind::Character, Format(" Image of %d x %d pixels is below the 15 x 15 that Median_Filter_Sort needs \n", rows, cols));
    }
    for (int32_t x = kFilterHalf; x <= cols - 1 - kFilterHalf; ++x) FilterColumn(input, in_stride, output, out_stride, rows, x);
    MedianFilter_FillBorder(output, out_stride, rows, cols);
}

namespace {

constexpr int kHistogramBins = 256;  // values 0..255, one bin each
constexpr int kPairSide = kFilterSide + 1;  // two neighbouring windows span 16 columns

// Bin counts of a window: a histogram of the columns it shares with its neighbour plus one of its own
// edge column, so that two neighbouring windows update the 14 shared columns once.
struct SplitCounts {
    const int32_t* shared;
    const int32_t* edge;
    int32_t operator[](int32_t bin) const { return shared[bin] + edge[bin]; }
};

// The cut points of one window's trimmed mean. With the window's values sorted ascending as
// s[0..224], `low` is s[55] and `high` is s[169]; below_count and below_sum cover the values strictly
// below `low`, above_count and above_sum those strictly above `high`. The 56 smallest values then add
// up to below_sum + (56 - below_count) low, and the 56 largest likewise.
struct Cuts {
    int32_t total = 0;
    int32_t low = 0, below_count = 0, below_sum = 0;
    int32_t high = kHistogramBins - 1, above_count = 0, above_sum = 0;
};

// Moves each cut until it is again the 56th value from its end.
void SettleCuts(Cuts& w, const SplitCounts& count) {
    while (w.below_count > kFilterTrimmed - 1) {
        --w.low;
        w.below_count -= count[w.low];
        w.below_sum -= count[w.low] * w.low;
    }
    while (w.below_count + count[w.low] < kFilterTrimmed) {
        w.below_count += count[w.low];
        w.below_sum += count[w.low] * w.low;
        ++w.low;
    }
    while (w.above_count > kFilterTrimmed - 1) {
        ++w.high;
        w.above_count -= count[w.high];
        w.above_sum -= count[w.high] * w.high;
    }
    while (w.above_count + count[w.high] < kFilterTrimmed) {
        w.above_count += count[w.high];
        w.above_sum += count[w.high] * w.high;
        --w.high;
    }
}

// Moves the window's totals by one row: 15 values leave, 15 enter. Without branches, as which side of
// a cut a value falls on is as good as random in a smooth background.
void SlideCuts(Cuts& w, const uint16_t* leaving, const uint16_t* entering) {
    const int32_t low = w.low;
    const int32_t high = w.high;
    int32_t total = 0, below_count = 0, below_sum = 0, above_count = 0, above_sum = 0;
    for (int c = 0; c < kFilterSide; ++c) {
        const int32_t out = leaving[c];
        const int32_t in = entering[c];
        total += in - out;
        below_count += static_cast<int32_t>(in < low) - static_cast<int32_t>(out < low);
        below_sum += (in < low ? in : 0) - (out < low ? out : 0);
        above_count += static_cast<int32_t>(in > high) - static_cast<int32_t>(out > high);
        above_sum += (in > high ? in : 0) - (out > high ? out : 0);
    }
    w.total += total;
    w.below_count += below_count;
    w.below_sum += below_sum;
    w.above_count += above_count;
    w.above_sum += above_sum;
}

uint16_t TrimmedMean(const Cuts& w) {
    const int32_t smallest = w.below_sum + (kFilterTrimmed - w.below_count) * w.low;
    const int32_t largest = w.above_sum + (kFilterTrimmed - w.above_count) * w.high;
    return static_cast<uint16_t>(static_cast<uint32_t>(w.total - smallest - largest) / kFilterKept);
}

// Filters output columns `x` and, when `pair`, x + 1, down the whole interior. The shared histogram
// holds input columns x - 6 .. x + 7; column x - 7 belongs to the left window only, x + 8 to the right.
void FilterColumnsHistogram(const uint16_t* input, int32_t in_stride, uint16_t* output, int32_t out_stride, int32_t rows,
                            int32_t x, bool pair) {
    int32_t shared[kHistogramBins] = {};
    int32_t left_edge[kHistogramBins] = {};
    int32_t right_edge[kHistogramBins] = {};
    const SplitCounts left_count{shared, left_edge};
    const SplitCounts right_count{shared, right_edge};
    Cuts left, right;
    const uint16_t* span = input + (x - kFilterHalf);  // 16 columns, the last only when `pair`
    for (int r = 0; r < kFilterSide; ++r) {
        const uint16_t* line = span + static_cast<size_t>(r) * in_stride;
        ++left_edge[line[0]];
        for (int c = 1; c < kFilterSide; ++c) ++shared[line[c]];
        if (pair) ++right_edge[line[kFilterSide]];
        for (int c = 0; c < kFilterSide; ++c) left.total += line[c];
        if (pair) {
            for (int c = 1; c < kPairSide; ++c) right.total += line[c];
        }
    }
    for (int32_t y = kFilterHalf;; ++y) {
        SettleCuts(left, left_count);
        output[static_cast<size_t>(y) * out_stride + x] = TrimmedMean(left);
        if (pair) {
            SettleCuts(right, right_count);
            output[static_cast<size_t>(y) * out_stride + x + 1] = TrimmedMean(right);
        }
        if (y == rows - 1 - kFilterHalf) break;
        const uint16_t* leaving = span + static_cast<size_t>(y - kFilterHalf) * in_stride;
        const uint16_t* entering = span + static_cast<size_t>(y + kFilterHalf + 1) * in_stride;
        SlideCuts(left, leaving, entering);
        --left_edge[leaving[0]];
        ++left_edge[entering[0]];
        for (int c = 1; c < kFilterSide; ++c) {
            --shared[leaving[c]];
            ++shared[entering[c]];
        }
        if (pair) {
            SlideCuts(right, leaving + 1, entering + 1);
            --right_edge[leaving[kFilterSide]];
            ++right_edge[entering[kFilterSide]];
        }
    }
}

}  // namespace

bool MedianFilter_HistogramApplies(const uint16_t* input, int32_t in_stride, int32_t rows, int32_t cols) {
    if (rows < kFilterSide || cols < kFilterSide || in_stride < kFilterSide) return false;
    uint16_t largest = 0;
    for (int32_t r = 0; r < rows; ++r) {
        const uint16_t* line = input + static_cast<size_t>(r) * in_stride;
        for (int32_t c = 0; c < cols; ++c) largest = line[c] > largest ? line[c] : largest;
    }
    return largest < kHistogramBins;
}

void Median_Filter_Histogram(const uint16_t* input, int32_t in_stride, uint16_t* output, int32_t out_stride,
                             int32_t rows, int32_t cols) {
    // Values of 256 and more have no bin, and a stride below 15 is refused by the literal filter.
    if (!MedianFilter_HistogramApplies(input, in_stride, rows, cols)) {
        Median_Filter_Sort(input, in_stride, output, out_stride, rows, cols);
        return;
    }
    const int32_t last = cols - 1 - kFilterHalf;
    for (int32_t x = kFilterHalf; x <= last; x += 2) FilterColumnsHistogram(input, in_stride, output, out_stride, rows, x, x < last);
    MedianFilter_FillBorder(output, out_stride, rows, cols);
}
