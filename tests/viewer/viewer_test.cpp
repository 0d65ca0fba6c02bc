// The viewer's modules in process: the mosaic layout, the PNG and FITS round trips, output names,
// the command line and the progress bar.
#include <gtest/gtest.h>

#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "failure.h"
#include "fourproduct/fourproduct.h"
#include "fourproduct/fourproduct_reader.h"
#include "support/test_support.h"
#include "viewer/convert.h"
#include "viewer/fits_export.h"
#include "viewer/image_readers.h"
#include "viewer/png_export.h"

namespace {

TEST(Mosaic, PutsTheFourProductsInTheirQuadrantsPartedByTheSeparator) {
    FourProduct file;
    FourProduct_MemSetup(file, 1, 2, 3);
    const uint8_t values[kProducts] = {10, 20, 30, 40};
    for (int product = 0; product < kProducts; ++product) std::fill_n(FourProduct_Plane(file, product), 6, values[product]);
    FourProduct_Plane(file, kPeakValue)[5] = 11;  // the bottom right pixel of the top left quadrant
    const GrayImage mosaic = MosaicImage(file);
    ASSERT_EQ(mosaic.width, 2 * 3 + kMosaicSeparator);
    ASSERT_EQ(mosaic.height, 2 * 2 + kMosaicSeparator);
    for (int32_t y = 0; y < mosaic.height; ++y) {
        for (int32_t x = 0; x < mosaic.width; ++x) {
            const bool separator = (x >= 3 && x < 3 + kMosaicSeparator) || (y >= 2 && y < 2 + kMosaicSeparator);
            const int quadrant = (y >= 2 ? 2 : 0) + (x >= 3 ? 1 : 0);
            const uint8_t expected = separator ? kSeparatorValue : (x == 2 && y == 1) ? 11 : values[quadrant];
            EXPECT_EQ(mosaic.pixels[static_cast<size_t>(y * mosaic.width + x)], expected) << x << "," << y;
        }
    }
}

// Every product PNG, the mosaic PNG and the FITS cube read back exactly, for shapes that stress the
// row handling (one row, one column) and a plane that holds every byte value.
TEST(ExportRoundTrip, PngAndFitsHoldThePlanesExactly) {
    const struct {
        int32_t rows, cols;
    } shapes[] = {{1, 1}, {1, 7}, {5, 1}, {17, 19}, {40, 50}};
    for (const auto& shape : shapes) {
        SCOPED_TRACE(std::to_string(shape.rows) + " x " + std::to_string(shape.cols));
        ScratchFolder folder;
        WritePatternFile(folder / "in.bin", shape.rows, shape.cols, 12);
        FourProduct file;
        FourProduct_ReadFile(folder / "in.bin", file);
        std::string error;
        for (int product = 0; product < kProducts; ++product) {
            WritePng(ProductImage(file, product), folder / "p.png");
            PngContents png;
            ASSERT_TRUE(ReadPng(folder / "p.png", png, error)) << error;
            EXPECT_EQ(png.bit_depth, 8);
            EXPECT_EQ(png.color_type, 0);  // gray
            EXPECT_EQ(png.width, static_cast<uint32_t>(shape.cols));
            EXPECT_EQ(png.height, static_cast<uint32_t>(shape.rows));
            EXPECT_EQ(png.pixels, PlaneBytes(file, product)) << "product " << product;
        }
        const GrayImage mosaic = MosaicImage(file);
        WritePng(mosaic, folder / "m.png");
        PngContents png;
        ASSERT_TRUE(ReadPng(folder / "m.png", png, error)) << error;
        EXPECT_EQ(png.pixels, mosaic.pixels);

        WriteFits(file, "in.bin", folder / "in.fits");
        FitsContents fits;
        ASSERT_TRUE(ReadFits(folder / "in.fits", fits, error)) << error;
        EXPECT_EQ(fits.hdus, 1);
        EXPECT_EQ(fits.bitpix, 8);
        ASSERT_EQ(fits.naxis, 3);
        EXPECT_EQ(fits.axes[0], shape.cols);
        EXPECT_EQ(fits.axes[1], shape.rows);
        EXPECT_EQ(fits.axes[2], 4);
        std::vector<uint8_t> planes;
        for (int product = 0; product < kProducts; ++product) {
            const std::vector<uint8_t> plane = PlaneBytes(file, product);
            planes.insert(planes.end(), plane.begin(), plane.end());
        }
        EXPECT_EQ(fits.pixels, planes);
        EXPECT_EQ(fits.fprows, shape.rows);
        EXPECT_EQ(fits.fpcols, shape.cols);
        EXPECT_EQ(fits.fpbitpix, 8);
        EXPECT_EQ(fits.fpframes, 256);
        EXPECT_EQ(fits.fpcamera, 12);
        EXPECT_EQ(fits.planes[0], "peak value");
        EXPECT_EQ(fits.planes[1], "frame index of the peak");
        EXPECT_EQ(fits.planes[2], "mean value");
        EXPECT_EQ(fits.planes[3], "standard deviation");
        EXPECT_EQ(fits.source, "in.bin");
    }
}

TEST(ExportRoundTrip, LongSourceNamesAndExistingOutputsAreHandled) {
    ScratchFolder folder;
    WritePatternFile(folder / "in.bin", 2, 2);
    FourProduct file;
    FourProduct_ReadFile(folder / "in.bin", file);
    const std::string long_name = std::string(150, 'n') + ".bin";
    WriteText(folder / "old.fits", "an older export that is replaced");
    WriteFits(file, long_name, folder / "old.fits");
    FitsContents fits;
    std::string error;
    ASSERT_TRUE(ReadFits(folder / "old.fits", fits, error)) << error;
    EXPECT_EQ(fits.source, long_name);
}

TEST(ExportRoundTrip, OutputsThatCannotBeWrittenLeaveNothingAndLinksAreNotFollowed) {
    ScratchFolder folder;
    WritePatternFile(folder / "in.bin", 3, 5);
    FourProduct file;
    FourProduct_ReadFile(folder / "in.bin", file);
    const std::string missing = folder / "no-folder/in.png";
    try {
        WritePng(MosaicImage(file), missing);
        ADD_FAILURE() << "no failure for " << missing;
    } catch (const Failure& failure) {
        EXPECT_EQ(failure.message.rfind(" Cannot write PNG file " + missing + ": ", 0), 0u) << failure.message;
    }
    // A directory in the way of the final name: encoded and written, the rename fails.
    std::filesystem::create_directory(folder / "taken.fits");
    try {
        WriteFits(file, "in.bin", folder / "taken.fits");
        ADD_FAILURE() << "no failure for taken.fits";
    } catch (const Failure& failure) {
        EXPECT_EQ(failure.message.rfind(" Cannot write FITS file " + (folder / "taken.fits") + ": ", 0), 0u) << failure.message;
    }
    // A link under the temporary name is never written through.
    ASSERT_EQ(::symlink("../outside.png", (folder / "in.png.partial").c_str()), 0);
    WritePng(MosaicImage(file), folder / "in.png");
    EXPECT_FALSE(Exists(folder.path() + "/../outside.png"));
    EXPECT_EQ(ListFolder(folder.path()), (std::vector<std::string>{"in.bin", "in.png", "in.png.partial", "taken.fits"}));
}

TEST(ConvertFile, WritesTheChosenOutputsNamedAfterTheInput) {
    ScratchFolder folder;
    WritePatternFile(folder / "night.BIN", 4, 6);
    FourProduct file;
    FourProduct_ReadFile(folder / "night.BIN", file);
    ViewerOptions options;
    options.product = kMeanValue;
    options.write_fits = false;
    EXPECT_EQ(ConvertFile(folder / "night.BIN", options), std::vector<std::string>{folder / "night.mean.png"});
    PngContents png;
    std::string error;
    ASSERT_TRUE(ReadPng(folder / "night.mean.png", png, error)) << error;
    EXPECT_EQ(png.pixels, PlaneBytes(file, kMeanValue));
    EXPECT_EQ(ListFolder(folder.path()), (std::vector<std::string>{"night.BIN", "night.mean.png"}));
}

TEST(OutputPaths, DropOnlyATrailingBinAndNeverNameAnInput) {
    ViewerOptions both;
    ViewerOptions peak_only;
    peak_only.product = kPeakValue;
    peak_only.write_fits = false;
    ViewerOptions elsewhere;
    elsewhere.out_folder = "/out";
    const struct {
        const char* input;
        const ViewerOptions* options;
        std::vector<std::string> expected;
    } cases[] = {
        {"/d/a.bin", &both, {"/d/a.png", "/d/a.fits"}},
        {"a.BIN", &both, {"a.png", "a.fits"}},
        {"/d/a.bin.bak", &both, {"/d/a.bin.bak.png", "/d/a.bin.bak.fits"}},
        {"/d/a.png", &both, {"/d/a.png.png", "/d/a.png.fits"}},
        {"/d/a.fits", &both, {"/d/a.fits.png", "/d/a.fits.fits"}},
        {"/d/a.bin", &peak_only, {"/d/a.peak.png"}},
        {"/d/a.bin", &elsewhere, {"/out/a.png", "/out/a.fits"}},
    };
    for (const auto& c : cases) EXPECT_EQ(OutputPaths(c.input, *c.options), c.expected) << c.input;
}

TEST(ParseViewerArguments, AcceptsOptionsBeforeTheInputAndAnyNameAfterDoubleDash) {
    const struct {
        std::vector<const char*> arguments;
        ViewerAction action;
        bool png, fits;
        int product;
        const char* out;
        const char* input;
    } cases[] = {
        {{"f.bin"}, ViewerAction::Convert, true, true, kMosaic, "", "f.bin"},
        {{"--png", "d"}, ViewerAction::Convert, true, false, kMosaic, "", "d"},
        {{"--fits", "--out", "o", "d"}, ViewerAction::Convert, false, true, kMosaic, "o", "d"},
        {{"--product", "stddev", "d"}, ViewerAction::Convert, true, true, kStandardDeviation, "", "d"},
        {{"--", "--help"}, ViewerAction::Convert, true, true, kMosaic, "", "--help"},
        {{"--help"}, ViewerAction::Help, true, true, kMosaic, "", ""},
        {{"--png", "--version"}, ViewerAction::Version, true, true, kMosaic, "", ""},
    };
    for (const auto& c : cases) {
        std::vector<char*> argv{const_cast<char*>("fpview")};
        for (const char* argument : c.arguments) argv.push_back(const_cast<char*>(argument));
        ViewerOptions options;
        EXPECT_EQ(ParseViewerArguments(static_cast<int>(argv.size()), argv.data(), options), c.action) << c.arguments[0];
        if (c.action != ViewerAction::Convert) continue;
        EXPECT_EQ(options.write_png, c.png);
        EXPECT_EQ(options.write_fits, c.fits);
        EXPECT_EQ(options.product, c.product);
        EXPECT_EQ(options.out_folder, c.out);
        EXPECT_EQ(options.input, c.input);
    }
}

TEST(ParseViewerArguments, RefusesWhatItCannotMeanWithOneLine) {
    const struct {
        std::vector<const char*> arguments;
        const char* expected;
    } cases[] = {
        {{}, " Give one four-product file or one folder (see fpview --help) \n"},
        {{"a", "b"}, " Give one four-product file or one folder (see fpview --help) \n"},
        {{"--tiff", "a"}, " Unknown option --tiff (see fpview --help) \n"},
        {{"--out"}, " Option --out needs a value (see fpview --help) \n"},
        {{"--product", "median", "a"}, " Unknown product median: peak, frame, mean or stddev \n"},
        {{"--png", "--fits", "a"}, " Options --png and --fits exclude each other: give neither for both \n"},
        {{"--fits", "--product", "peak", "a"}, " Option --product chooses the PNG picture: not with --fits \n"},
    };
    for (const auto& c : cases) {
        std::vector<char*> argv{const_cast<char*>("fpview")};
        for (const char* argument : c.arguments) argv.push_back(const_cast<char*>(argument));
        ViewerOptions options;
        std::string message;
        try {
            ParseViewerArguments(static_cast<int>(argv.size()), argv.data(), options);
        } catch (const Failure& failure) {
            message = failure.message;
        }
        EXPECT_EQ(message, c.expected);
    }
}

TEST(ProgressBar, FillsInProportionToTheFilesDone) {
    const struct {
        size_t done, total, width;
        const char* expected;
    } cases[] = {
        {0, 10, 10, "[          ]  0/10"},
        {3, 10, 10, "[###       ]  3/10"},
        {10, 10, 10, "[##########] 10/10"},
        {1, 3, 6, "[##    ] 1/3"},
        {2, 3, 4, "[##  ] 2/3"},
    };
    for (const auto& c : cases) EXPECT_EQ(ProgressBar(c.done, c.total, c.width), c.expected);
}

}  // namespace
