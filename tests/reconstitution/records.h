// Frame records built in memory for the reconstitution's tests: a record of given stars, a record of
// random stars, and work buffers set up for one record as the pipeline sets them up.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <vector>

#include "calstars/calstars.h"
#include "reconstitution/reconstitution.h"

#include "splitmix64.h"

// A frame record in memory: rows x cols, one window, stars given as (row, col, intensity, level).
struct Star {
    float row, col;
    uint16_t intensity;
    int32_t level;
};

inline CalStarExtraction Frame(int32_t rows, int32_t cols, int32_t window, const std::vector<Star>& stars) {
    CalStarExtraction e;
    e.rows = rows;
    e.cols = cols;
    e.nstars = static_cast<int32_t>(stars.size());
    e.window = window;
    e.divisor = 1;
    e.name = "T.bin";
    e.path = "CALSTARS_T.txt";
    for (const Star& s : stars) {
        e.row.push_back(s.row);
        e.col.push_back(s.col);
        e.intensity.push_back(s.intensity);
        e.total.push_back(static_cast<uint16_t>(s.intensity + s.level));
        e.background.push_back(static_cast<uint16_t>(s.level));
        e.background_level.push_back(s.level);
    }
    return e;
}

// Work buffers for the record: the file's set-up, the record's window arrays and its disc mask.
inline ReconWorkBuffers Buffers(const CalStarExtraction& e) {
    ReconWorkBuffers buffers;
    CalStarReconsitution_MemSetup(buffers, e);
    DrawStars_FrameSetup(buffers.star_drawing, e.window);
    BuildDiscMask(buffers.star_drawing.disc_mask, e.window);
    return buffers;
}

// A CalStarExtraction with random stars: windows at the edges and corners (partly outside), close
// pairs (overlaps), levels that may be out of range (clamped by the seeding), intensities on both
// sides of 1800 and coordinates exactly on the .5 rounding boundary.
inline CalStarExtraction MakeRecord(SplitMix64& random, int32_t rows, int32_t cols, int32_t nstars, int32_t window) {
    CalStarExtraction record;
    record.rows = rows;
    record.cols = cols;
    record.nstars = nstars;
    record.window = window;
    record.name = "differential.bin";
    for (int32_t s = 0; s < nstars; ++s) {
        float row = static_cast<float>(random.Uniform() * (rows - 1));
        float col = static_cast<float>(random.Uniform() * (cols - 1));
        switch (random.Between(0, 5)) {
            case 0: row = static_cast<float>(random.Between(0, 1)) * (rows - 1); break;  // top or bottom edge
            case 1: col = static_cast<float>(random.Between(0, 1)) * (cols - 1); break;  // left or right edge
            case 2:
                if (s > 0) {  // next to the previous star
                    row = std::clamp(record.row.back() + static_cast<float>(random.Between(-3, 3)), 0.0f, float(rows - 1));
                    col = std::clamp(record.col.back() + static_cast<float>(random.Between(-3, 3)), 0.0f, float(cols - 1));
                }
                break;
            case 3: row = std::floor(row) + 0.5f; break;
            default: break;
        }
        record.row.push_back(row);
        record.col.push_back(col);
        record.intensity.push_back(static_cast<uint16_t>(random.Between(0, 3) == 0 ? 1800 : random.Between(0, 9000)));
        const int32_t level = random.Between(0, 9) == 0 ? random.Between(-20, 400) : random.Between(0, 255);
        record.background.push_back(static_cast<uint16_t>(level));
        record.background_level.push_back(level);
    }
    return record;
}
