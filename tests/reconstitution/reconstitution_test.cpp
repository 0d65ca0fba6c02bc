// The pipeline: the seeding, the refusals of records and images, what outlives a record, the memory
// a record takes, and the fast pipeline against the reference on whole records, plane for plane.
#include "reconstitution/reconstitution.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <string>
#include <type_traits>
#include <utility>
#include <vector>

#include "failure.h"
#include "reconstitution/pseudo_random.h"
#include "records.h"

#include "support/counting_allocator.h"
#include "support/test_support.h"

#include "splitmix64.h"

namespace {

using Random = SplitMix64;

TEST(SeedBackground, LaterStarWinsTheOverlapAndLevelsAreClamped) {
    CalStarExtraction e = Frame(20, 20, 3, {{5.0f, 5.0f, 1000, 40}, {6.0f, 6.0f, 1000, 60}, {15.0f, 15.0f, 1000, -3},
                                             {15.0f, 5.0f, 1000, 300}});
    ReconWorkBuffers buffers = Buffers(e);
    EXPECT_EQ(SeedBackground(buffers.background_image, e), 2);
    auto at = [&](int r, int c) { return buffers.background_image[r * 20 + c]; };
    EXPECT_EQ(at(4, 4), 40);
    EXPECT_EQ(at(5, 5), 60);  // overlap: star 1 has the higher index
    EXPECT_EQ(at(7, 7), 60);
    EXPECT_EQ(at(15, 15), 0);
    EXPECT_EQ(at(15, 5), 255);
    EXPECT_EQ(at(10, 10), kHoleMarker);
}

TEST(SeedBackground, StarsNearTheEdgeSeedWhatLiesInside) {
    CalStarExtraction e = Frame(20, 20, 5, {{0.2f, 0.2f, 1000, 7}, {19.6f, 10.0f, 1000, 9}, {-30.0f, 5.0f, 1000, 11}});
    ReconWorkBuffers buffers = Buffers(e);
    SeedBackground(buffers.background_image, e);
    int sevens = 0, nines = 0, elevens = 0;
    for (uint16_t value : buffers.background_image) {
        sevens += value == 7;
        nines += value == 9;
        elevens += value == 11;
    }
    EXPECT_EQ(sevens, 3 * 3);  // rows 0..2, cols 0..2 of the window -2..2
    EXPECT_EQ(nines, 2 * 5);   // centre row 20 is outside: rows 18 and 19
    EXPECT_EQ(elevens, 0);     // wholly outside
}

// The refusal's reason is the one a writer of star lists is given too (RecordRefusal), which for a
// record that has no image yet leaves out only the window's upper bound.
TEST(CalStarReconsitution, RecordsOutsideTheContractAreRefused) {
    const float nan = std::nanf("");
    struct Case {
        const char* what;
        int32_t window;
        float row;
        const char* message_part;
        bool refused_without_image;
    };
    const Case cases[] = {
        {"even window", 4, 10.0f, "window 4", true},
        {"window 0", 0, 10.0f, "window 0", true},
        {"negative window", -3, 10.0f, "window -3", true},
        {"window above the smaller side", 21, 10.0f, "window 21", false},
        {"coordinate NaN", 5, nan, "not a finite number", true},
        {"coordinate infinite", 5, INFINITY, "not a finite number", true},
    };
    for (const Case& c : cases) {
        const CalStarExtraction e = Frame(20, 30, c.window, {{c.row, 10.0f, 1000, 10}});
        const std::string reason = CalStarReconsitution_RecordRefusal(e, 20, 30);
        EXPECT_NE(reason.find(c.message_part), std::string::npos) << c.what << ": " << reason;
        EXPECT_EQ(CalStarReconsitution_RecordRefusal(e, kImageUnknown, kImageUnknown).empty(), !c.refused_without_image)
            << c.what;
        ReconWorkBuffers buffers;
        CalStarReconsitution_MemSetup(buffers, e);
        FourProduct product;
        FourProduct_MemSetup(product, 1, 20, 30);
        try {
            CalStarReconsitution(buffers, e, product);
            ADD_FAILURE() << c.what << ": not refused";
        } catch (const Failure& failure) {
            EXPECT_EQ(failure.message, " CalStarReconsitution: " + reason + " in record T.bin of CALSTARS_T.txt \n") << c.what;
        }
    }
}

TEST(CalStarReconsitution, ImagesBelow15x15AreRefusedAtSetUp) {
    for (const auto& [rows, cols] : {std::pair{14, 15}, std::pair{15, 14}, std::pair{1, 1}}) {
        const CalStarExtraction e = Frame(rows, cols, 1, {});
        ReconWorkBuffers buffers;
        EXPECT_THROW(CalStarReconsitution_MemSetup(buffers, e), Failure) << rows << "x" << cols;
        EXPECT_EQ(CalStarReconsitution_ImageRefusal(rows, cols),
                  "image of " + std::to_string(rows) + " x " + std::to_string(cols) + " pixels is below 15 x 15");
    }
    EXPECT_EQ(CalStarReconsitution_ImageRefusal(15, 15), "");
}

// The fast profiles' tables and kernels outlive the listing: a later file with the same stars builds
// nothing again. The warning of a record is left for the driver, and cleared by the next record.
TEST(CalStarReconsitution, ProfilesLiveForTheRunAndWarningsAreLeftForTheDriver) {
    CalStarExtraction e = Frame(20, 30, 5, {{8.3f, 10.6f, 1000, 10}, {12.1f, 20.4f, 2000, 10}});
    e.background_level[1] = 300;
    ReconWorkBuffers buffers;
    FourProduct product;
    FourProduct_MemSetup(product, 1, 20, 30);
    CalStarReconsitution_MemSetup(buffers, e);
    CalStarReconsitution(buffers, e, product);
    EXPECT_EQ(buffers.warnings, " Warning: 1 star background levels outside 0..255 clamped in record T.bin of CALSTARS_T.txt \n");
    EXPECT_EQ(buffers.star_drawing.profiles.table_builds, 2u);  // sigma 1.1 and 1.6
    EXPECT_EQ(buffers.star_drawing.profiles.kernel_builds, 2u);
    CalStarReconsitution_FrameFree(buffers);
    CalStarReconsitution_MemFree(buffers);
    e.background_level[1] = 30;
    CalStarReconsitution_MemSetup(buffers, e);
    CalStarReconsitution(buffers, e, product);
    EXPECT_EQ(buffers.warnings, "");
    EXPECT_EQ(buffers.star_drawing.profiles.table_builds, 2u);  // the factor tables outlive the listing
    EXPECT_EQ(buffers.star_drawing.profiles.kernel_builds, 4u);  // kernels are computed afresh, not remembered
}

// One record of a table of shapes: its image, window and star count, and where its stars go.
enum class Layout { kRandom, kOneAtTheEnd, kEveryFifteenColumns };
struct Shape {
    int32_t rows, cols, window, nstars;
    Layout layout = Layout::kRandom;
};

CalStarExtraction RecordOf(const Shape& shape, SplitMix64& random) {
    std::vector<Star> stars;
    for (int32_t s = 0; s < shape.nstars; ++s) {
        switch (shape.layout) {
            case Layout::kOneAtTheEnd: stars.push_back({7.0f, 2.0f, 1000, 20}); break;  // the far end is the image's length away
            case Layout::kEveryFifteenColumns: stars.push_back({7.0f, 7.0f + 15.0f * static_cast<float>(s), 2000, 30}); break;
            case Layout::kRandom:
                stars.push_back({static_cast<float>(random.Uniform() * (shape.rows - 1)), static_cast<float>(random.Uniform() * (shape.cols - 1)),
                                 static_cast<uint16_t>(random.Between(0, 6000)), random.Between(0, 255)});
                break;
        }
    }
    return Frame(shape.rows, shape.cols, shape.window, stars);
}

// Sequences of records through one set of buffers and planes, as a run sets them up for each record:
// each record's real allocations, counted at their worst moment from its set-up to the end of its
// reconstitution, stay within what CalStarReconsitution_RecordBytes and FourProduct_Bytes say of the
// buffers and planes as they were before it; and what they hold afterwards too. The shapes reach
// every size the buffers have: the smallest image, windows from 1 to the image's side, no star to
// thousands, stars dense enough for the hole fill's layers form, a run of one star whose far end lies
// beyond 254 passes (16-bit distances), a side of 65535 (the layers form), and buffers kept from a
// record of another shape (a larger image with a small window before a smaller one with a large
// window, the layers form before the fast one and back, another star count on the same image).
TEST(CalStarReconsitution, RecordBytesBoundWhatSetUpAndARecordAllocate) {
    SKIP_UNLESS_ALLOCATOR_COUNTS();
    struct Sequence {
        const char* what;
        std::vector<Shape> records;
    };
    const Sequence sequences[] = {
        {"smallest image, no star", {{15, 15, 1, 0}}},
        {"window as wide as the image", {{15, 15, 15, 1}}},
        {"a few stars", {{48, 64, 3, 12}}},
        {"camera record", {{480, 640, 9, 100}}},
        {"large camera record", {{960, 1280, 11, 300}}},
        {"wide window", {{200, 300, 61, 5}}},
        {"thousands of stars", {{100, 100, 1, 2000}}},
        {"stars dense enough for the layers form", {{480, 640, 1, 6000}}},
        {"one star at one end", {{15, 600, 3, 1, Layout::kOneAtTheEnd}}},
        {"a side of 65535", {{15, kHoleFillDistanceSideLimit, 13, 4369, Layout::kEveryFifteenColumns}}},
        {"larger image, then a smaller one with a larger window", {{600, 800, 3, 10}, {200, 200, 199, 1}}},
        {"layers form, then the fast one, then back", {{480, 640, 1, 6000}, {480, 640, 9, 100}, {480, 640, 1, 6000}}},
        {"another star count on the same image", {{480, 640, 9, 100}, {480, 640, 9, 300}, {480, 640, 9, 50}}},
        {"a long side, then a wide image", {{15, kHoleFillDistanceSideLimit, 13, 4369, Layout::kEveryFifteenColumns}, {300, 400, 7, 40}}},
    };
    SplitMix64 random{53};
    for (const Sequence& sequence : sequences) {
        ReconWorkBuffers buffers;
        FourProduct product;
        for (const Shape& shape : sequence.records) {
            for (int repeat = 0; repeat < 2; ++repeat) {
                const CalStarExtraction e = RecordOf(shape, random);
                const uint64_t said = CalStarReconsitution_RecordBytes(buffers, shape.rows, shape.cols, shape.window, shape.nstars) +
                                      FourProduct_Bytes(product, shape.rows, shape.cols);
                const uint64_t held = CalStarReconsitution_HeldBytes(buffers) + FourProduct_Bytes(product, 0, 0);
                const uint64_t live = CountingAllocator_Live();
                CountingAllocator_StartPeak();
                CalStarReconsitution_SetUpFor(buffers, product, e);
                CalStarReconsitution(buffers, e, product);
                CalStarReconsitution_FrameFree(buffers);
                const uint64_t most = CountingAllocator_Peak() - live + held;
                SCOPED_TRACE(std::string(sequence.what) + ", " + std::to_string(shape.rows) + " x " + std::to_string(shape.cols) +
                             " window " + std::to_string(shape.window) + " stars " + std::to_string(shape.nstars) + ", repeat " +
                             std::to_string(repeat));
                EXPECT_LE(most, said);
                EXPECT_LE(CalStarReconsitution_HeldBytes(buffers) + FourProduct_Bytes(product, 0, 0), said);
            }
        }
        CalStarReconsitution_MemFree(buffers);
    }
}

// The same set-up twice keeps everything: the buffers, the planes, and which star-layer windows are
// known to be zero, so that the next record clears only those; another image forgets them.
TEST(CalStarReconsitution, SetUpForTheSameRecordKeepsEverything) {
    const CalStarExtraction e = Frame(40, 50, 5, {{10.0f, 10.0f, 1000, 20}, {30.0f, 40.0f, 2000, 30}});
    ReconWorkBuffers buffers;
    FourProduct product;
    CalStarReconsitution_SetUpFor(buffers, product, e);
    CalStarReconsitution(buffers, e, product);
    CalStarReconsitution_FrameFree(buffers);
    ASSERT_TRUE(buffers.star_drawing.drawn_known);
    const uint16_t* layer = buffers.star_layer.data();
    const uint8_t* plane = FourProduct_Plane(product, kPeakValue);
    const uint64_t live = CountingAllocator_Live();
    CountingAllocator_StartPeak();
    CalStarReconsitution_SetUpFor(buffers, product, e);
    EXPECT_EQ(CountingAllocator_Peak(), live) << "nothing is taken again";
    EXPECT_EQ(buffers.star_layer.data(), layer);
    EXPECT_EQ(FourProduct_Plane(product, kPeakValue), plane);
    EXPECT_TRUE(buffers.star_drawing.drawn_known);
    const CalStarExtraction other = Frame(50, 40, 5, {{10.0f, 10.0f, 1000, 20}});
    CalStarReconsitution_SetUpFor(buffers, product, other);
    EXPECT_FALSE(buffers.star_drawing.drawn_known) << "a layer of another image is cleared whole";
}

// Whole small records under every vector target: the fast pipeline's planes are the reference's.
// (Cheap enough to run under an emulator, unlike the larger comparison below.)
TEST(Differential, FastPipelineWritesTheReferencePlanesUnderEveryTarget) {
    Random random{43};
    for (int repeat = 0; repeat < 4; ++repeat) {
        const int32_t rows = random.Between(15, 60), cols = random.Between(15, 90);
        const int32_t window = 2 * random.Between(0, 4) + 1;
        const CalStarExtraction record = MakeRecord(random, rows, cols, random.Between(1, 12), window);
        ReconWorkBuffers literal_buffers;
        FourProduct literal_product;
        CalStarReconsitution_MemSetup(literal_buffers, record);
        FourProduct_MemSetup(literal_product, 1, rows, cols);
        CalStarReconsitution_Reference(literal_buffers, record, literal_product);
        ForEachVectorTarget([&](const std::string& target) {
            ReconWorkBuffers fast_buffers;
            FourProduct fast_product;
            CalStarReconsitution_MemSetup(fast_buffers, record);
            FourProduct_MemSetup(fast_product, 1, rows, cols);
            CalStarReconsitution(fast_buffers, record, fast_product);
            EXPECT_EQ(literal_buffers.generator.state, fast_buffers.generator.state) << target;
            for (int slot = 0; slot < kPlaneSlots; ++slot) {
                ASSERT_EQ(literal_product.planes[slot], fast_product.planes[slot]) << target << " " << rows << "x" << cols;
            }
            CalStarReconsitution_MemFree(fast_buffers);
        });
        CalStarReconsitution_MemFree(literal_buffers);
        if (HasFatalFailure()) return;
    }
}

// Buffers and planes kept from file to file: a large image, then a smaller, a larger and one of the
// same size again, several records each, all through one set of fast buffers whose every kept byte
// is stale garbage before each file (the star layer's only before a file of another image, since a
// set-up for the same image keeps which of its windows are known zero; every byte but the star
// layer's before each record, the layer being zero outside the windows drawn last). Each record's planes are those of the reference
// run on fresh buffers, under every vector target.
TEST(Differential, FastPipelineWithBuffersKeptAcrossImagesWritesTheReferencePlanes) {
    struct Size {
        int32_t rows, cols;
    };
    const Size sizes[] = {{60, 80}, {31, 45}, {75, 90}, {75, 90}, {15, 15}};
    const auto spoil = [](auto& buffer, Random& random) {
        for (auto& value : buffer) value = static_cast<std::remove_reference_t<decltype(value)>>(random.Between(0, 65535));
    };
    ForEachVectorTarget([&](const std::string& target) {
        Random random{47};
        ReconWorkBuffers fast_buffers;
        FourProduct fast_product;
        for (const Size& size : sizes) {
            const int32_t nstars = random.Between(1, 30);
            const int32_t window = 2 * random.Between(0, 5) + 1;
            // A set-up for the same image keeps which star-layer windows are known to be zero: only a
            // layer of another image is stale as a whole.
            if (fast_buffers.set_up_rows != size.rows || fast_buffers.set_up_cols != size.cols) spoil(fast_buffers.star_layer, random);
            spoil(fast_buffers.hole_fill.fill_list, random);
            for (int record_index = 0; record_index < 3; ++record_index) {
                const CalStarExtraction record = MakeRecord(random, size.rows, size.cols, nstars, window);
                if (record_index == 0) {
                    CalStarReconsitution_MemSetup(fast_buffers, record);
                    FourProduct_MemSetup(fast_product, 1, size.rows, size.cols);
                }
                spoil(fast_buffers.background_image, random);
                spoil(fast_buffers.snapshot, random);
                spoil(fast_buffers.filter.image, random);
                spoil(fast_buffers.filter.at_least, random);
                for (std::vector<uint8_t>& plane : fast_product.planes) spoil(plane, random);
                ReconWorkBuffers literal_buffers;
                FourProduct literal_product;
                CalStarReconsitution_MemSetup(literal_buffers, record);
                FourProduct_MemSetup(literal_product, 1, size.rows, size.cols);
                literal_buffers.generator = fast_buffers.generator;
                CalStarReconsitution_Reference(literal_buffers, record, literal_product);
                CalStarReconsitution(fast_buffers, record, fast_product);
                CalStarReconsitution_FrameFree(fast_buffers);
                SCOPED_TRACE(target + " " + std::to_string(size.rows) + "x" + std::to_string(size.cols) + " record " +
                             std::to_string(record_index) + " window " + std::to_string(window));
                EXPECT_EQ(literal_buffers.generator.state, fast_buffers.generator.state);
                for (int slot = 0; slot < kPlaneSlots; ++slot) ASSERT_EQ(literal_product.planes[slot], fast_product.planes[slot]);
                CalStarReconsitution_MemFree(literal_buffers);
            }
        }
    });
}

// Whole records: the planes of the reference pipeline and the fast one, with the generator started
// from the same state for both.
TEST(Differential, FastPipelineWritesTheReferencePlanes) {
    struct RecordCase {
        int32_t rows, cols, nstars;
    };
    const RecordCase cases[] = {{15, 15, 1}, {48, 64, 12}, {60, 80, 40}, {120, 160, 60}, {100, 37, 0}, {17, 200, 25}};
    Random random{41};
    for (const RecordCase& c : cases) {
        for (int repeat = 0; repeat < 4; ++repeat) {
            const int32_t largest_window = std::min(std::min(c.rows, c.cols), 13);
            const int32_t window = 2 * random.Between(0, (largest_window - 1) / 2) + 1;
            const CalStarExtraction record = MakeRecord(random, c.rows, c.cols, c.nstars, window);
            ReconWorkBuffers literal_buffers, fast_buffers;
            FourProduct literal_product, fast_product;
            CalStarReconsitution_MemSetup(literal_buffers, record);
            CalStarReconsitution_MemSetup(fast_buffers, record);
            FourProduct_MemSetup(literal_product, 1, c.rows, c.cols);
            FourProduct_MemSetup(fast_product, 1, c.rows, c.cols);
            CalStarReconsitution_Reference(literal_buffers, record, literal_product);
            CalStarReconsitution(fast_buffers, record, fast_product);
            SCOPED_TRACE(std::to_string(c.rows) + "x" + std::to_string(c.cols) + " stars " + std::to_string(c.nstars) +
                         " window " + std::to_string(window));
            EXPECT_EQ(literal_buffers.generator.state, fast_buffers.generator.state);
            for (int slot = 0; slot < kPlaneSlots; ++slot) ASSERT_EQ(literal_product.planes[slot], fast_product.planes[slot]);
            CalStarReconsitution_MemFree(literal_buffers);
            CalStarReconsitution_MemFree(fast_buffers);
        }
    }
}

}  // namespace
