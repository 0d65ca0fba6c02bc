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

void Median_Filter_FillBorder(uint16_t* output, int32_t out_stride, int32_t rows, int32_t cols) {
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
    Median_Filter_FillBorder(output, out_stride, rows, cols);
}
