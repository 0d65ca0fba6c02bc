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

// The window as a histogram, plus the two cut points of the trimmed mean. With the window's values
// sorted ascending as s[0..224], `low` is s[55] and `high` is s[169]; below_count and below_sum cover
// the values strictly below `low`, above_count and above_sum those strictly above `high`. Then the
// 56 smallest add up to below_sum + (56 - below_count) low, and the 56 largest likewise.
struct TrimmedWindow {
    int32_t count[kHistogramBins];
    int32_t total;
    int32_t low, below_count, below_sum;
    int32_t high, above_count, above_sum;
};

void AddValue(TrimmedWindow& w, int32_t value, int32_t sign) {
    w.count[value] += sign;
    w.total += sign * value;
    if (value < w.low) {
        w.below_count += sign;
        w.below_sum += sign * value;
    }
    if (value > w.high) {
        w.above_count += sign;
        w.above_sum += sign * value;
    }
}

void AddRow(TrimmedWindow& w, const uint16_t* pixels, int32_t sign) {
    for (int c = 0; c < kFilterSide; ++c) AddValue(w, pixels[c], sign);
}

// Moves each cut until it is again the 56th value from its end.
void SettleCuts(TrimmedWindow& w) {
    while (w.below_count > kFilterTrimmed - 1) {
        --w.low;
        w.below_count -= w.count[w.low];
        w.below_sum -= w.count[w.low] * w.low;
    }
    while (w.below_count + w.count[w.low] < kFilterTrimmed) {
        w.below_count += w.count[w.low];
        w.below_sum += w.count[w.low] * w.low;
        ++w.low;
    }
    while (w.above_count > kFilterTrimmed - 1) {
        ++w.high;
        w.above_count -= w.count[w.high];
        w.above_sum -= w.count[w.high] * w.high;
    }
    while (w.above_count + w.count[w.high] < kFilterTrimmed) {
        w.above_count += w.count[w.high];
        w.above_sum += w.count[w.high] * w.high;
        --w.high;
    }
}

uint16_t TrimmedMean(const TrimmedWindow& w) {
    const int32_t smallest = w.below_sum + (kFilterTrimmed - w.below_count) * w.low;
    const int32_t largest = w.above_sum + (kFilterTrimmed - w.above_count) * w.high;
    return static_cast<uint16_t>(static_cast<uint32_t>(w.total - smallest - largest) / kFilterKept);
}

void FilterColumnHistogram(const uint16_t* input, int32_t in_stride, uint16_t* output, int32_t out_stride, int32_t rows,
                           int32_t x) {
    TrimmedWindow w{};
    // Both cuts start at the empty ends (no value below 0 or above 255) and settle once the first
    // full window is in.
    w.low = 0;
    w.high = kHistogramBins - 1;
    const uint16_t* column = input + (x - kFilterHalf);
    for (int r = 0; r < kFilterSide; ++r) AddRow(w, column + static_cast<size_t>(r) * in_stride, +1);
    for (int32_t y = kFilterHalf;; ++y) {
        SettleCuts(w);
        output[static_cast<size_t>(y) * out_stride + x] = TrimmedMean(w);
        if (y == rows - 1 - kFilterHalf) break;
        AddRow(w, column + static_cast<size_t>(y - kFilterHalf) * in_stride, -1);
        AddRow(w, column + static_cast<size_t>(y + kFilterHalf + 1) * in_stride, +1);
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
    for (int32_t x = kFilterHalf; x <= cols - 1 - kFilterHalf; ++x) {
        FilterColumnHistogram(input, in_stride, output, out_stride, rows, x);
    }
    MedianFilter_FillBorder(output, out_stride, rows, cols);
}
