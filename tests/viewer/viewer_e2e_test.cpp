// The built programs: fpview on four-product files that calstars2fp wrote, its folder mode with
// invalid files among valid ones, fitsverify on its FITS export, and both programs' --help/--version.
#include <gtest/gtest.h>

#include <sys/wait.h>

#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "reconstitution/vector_target.h"
#include "support/test_support.h"
#include "viewer/image_readers.h"

namespace {

std::vector<CalStarStarFields> Stars(int count) {
    std::vector<CalStarStarFields> stars;
    for (int i = 0; i < count; ++i) {
        stars.push_back({std::to_string(6 + 5 * i) + ".5", std::to_string(8 + 7 * i) + ".25", std::to_string(1400 + 300 * i),
                         std::to_string(1420 + 310 * i)});
    }
    return stars;
}

// A folder with two real four-product files, A1.bin (30 x 40) and A2.bin, written by calstars2fp.
void MakeRealFiles(const ScratchFolder& folder) {
    WriteText(folder / "CALSTARS_A.txt", CalstarsText(30, 40, 4, {{"A1.bin", 5, 1, Stars(4)}, {"A2.bin", 7, 2, Stars(4)}}, -9));
    ASSERT_EQ(RunCalstars2fp({folder.path()}).status, 0);
}

std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> lines;
    size_t start = 0;
    for (size_t end; (end = text.find('\n', start)) != std::string::npos; start = end + 1) lines.push_back(text.substr(start, end - start));
    return lines;
}

// The planes of a four-product file's bytes, as the mosaic lays them out.
std::vector<uint8_t> ExpectedMosaic(const std::vector<uint8_t>& bytes, int rows, int cols) {
    const int width = 2 * cols + 2;
    std::vector<uint8_t> mosaic(static_cast<size_t>(width) * (2 * rows + 2), 255);
    const size_t npix = static_cast<size_t>(rows) * cols;
    for (int product = 0; product < 4; ++product) {
        const int left = product % 2 == 0 ? 0 : cols + 2;
        const int top = product < 2 ? 0 : rows + 2;
        for (int r = 0; r < rows; ++r) {
            for (int c = 0; c < cols; ++c) mosaic[static_cast<size_t>((top + r) * width + left + c)] = bytes[20 + product * npix + r * cols + c];
        }
    }
    return mosaic;
}

TEST(FpviewFolder, ConvertsEveryValidFileAndReportsEachInvalidOneOnItsOwnLine) {
    ScratchFolder folder;
    MakeRealFiles(folder);
    const std::vector<uint8_t> a1 = ReadBytes(folder / "A1.bin");
    WriteText(folder / "B_truncated.bin", std::string(a1.begin(), a1.end() - 1));
    std::string sixteen_bits(a1.begin(), a1.end());
    sixteen_bits[8] = 16;
    WriteText(folder / "C_sixteen_bits.bin", sixteen_bits);
    WriteText(folder / "D_short.BIN", "tiny");

    const ProgramRun run = RunExecutable(FPVIEW_EXE, {folder.path()});
    EXPECT_EQ(run.status, 1);
    const std::vector<std::string> expected_lines = {
        "[1/5] " + (folder / "A1.bin") + ": " + (folder / "A1.png") + " " + (folder / "A1.fits"),
        "[2/5] " + (folder / "A2.bin") + ": " + (folder / "A2.png") + " " + (folder / "A2.fits"),
        " Four-product file " + (folder / "B_truncated.bin") + " is 4819 bytes, not 20 + 4 x 30 x 40 = 4820 ",
        " Four-product file " + (folder / "C_sixteen_bits.bin") + " has 16 bits per pixel, not 8 ",
        " Four-product file " + (folder / "D_short.BIN") + " is 4 bytes, shorter than its 20-byte header ",
        "Converted 2 of 5 four-product files in " + folder.path(),
    };
    EXPECT_EQ(Lines(run.output), expected_lines) << run.output;
    EXPECT_EQ(ListFolder(folder.path()),
              (std::vector<std::string>{"A1.bin", "A1.fits", "A1.png", "A2.bin", "A2.fits", "A2.png", "B_truncated.bin",
                                        "CALSTARS_A.txt", "C_sixteen_bits.bin", "D_short.BIN", "DirListingCalstars.txt"}));
    EXPECT_EQ(ReadBytes(folder / "A1.bin"), a1);  // inputs untouched

    for (const char* name : {"A1", "A2"}) {
        SCOPED_TRACE(name);
        const std::vector<uint8_t> bytes = ReadBytes(folder / (std::string(name) + ".bin"));
        std::string error;
        PngContents png;
        ASSERT_TRUE(ReadPng(folder / (std::string(name) + ".png"), png, error)) << error;
        EXPECT_EQ(png.width, 82u);
        EXPECT_EQ(png.height, 62u);
        EXPECT_EQ(png.pixels, ExpectedMosaic(bytes, 30, 40));
        FitsContents fits;
        ASSERT_TRUE(ReadFits(folder / (std::string(name) + ".fits"), fits, error)) << error;
        EXPECT_EQ(fits.pixels, std::vector<uint8_t>(bytes.begin() + 20, bytes.end()));
        EXPECT_EQ(fits.fpcamera, 9);
    }
}

TEST(FpviewFolder, WithoutFourProductFilesSaysSoAndFails) {
    ScratchFolder folder;
    WriteText(folder / "notes.txt", "nothing to show\n");
    const ProgramRun run = RunExecutable(FPVIEW_EXE, {folder.path()});
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.output, " No four-product files (*.bin) in folder " + folder.path() + " \n");
}

TEST(FpviewFile, OutputsGoBesideTheInputOrIntoOutAndNeverReplaceIt) {
    ScratchFolder folder;
    MakeRealFiles(folder);
    // An input named like an output keeps its bytes: the output name gets its own suffix.
    const std::vector<uint8_t> a1 = ReadBytes(folder / "A1.bin");
    WriteText(folder / "A1.png", std::string(a1.begin(), a1.end()));
    ProgramRun run = RunExecutable(FPVIEW_EXE, {"--png", folder / "A1.png"});
    EXPECT_EQ(run.status, 0) << run.output;
    EXPECT_EQ(run.output, (folder / "A1.png") + ": " + (folder / "A1.png.png") + "\n");
    EXPECT_EQ(ReadBytes(folder / "A1.png"), a1);

    run = RunExecutable(FPVIEW_EXE, {"--fits", "--out", folder / "exports/night", folder / "A2.bin"});
    EXPECT_EQ(run.status, 0) << run.output;
    EXPECT_EQ(ListFolder(folder / "exports/night"), std::vector<std::string>{"A2.fits"});

    run = RunExecutable(FPVIEW_EXE, {folder / "CALSTARS_A.txt"});
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(Lines(run.output).size(), 1u) << run.output;
}

TEST(FpviewFits, FitsverifyFindsNoErrorInTheExport) {
    if (std::system("command -v fitsverify > /dev/null 2>&1") != 0) {
        // CI installs fitsverify: there its absence is an error.
        if (std::getenv("CI") != nullptr) FAIL() << "fitsverify is not installed";
        GTEST_SKIP() << "fitsverify is not installed";
    }
    ScratchFolder folder;
    MakeRealFiles(folder);
    ASSERT_EQ(RunExecutable(FPVIEW_EXE, {"--fits", folder / "A1.bin"}).status, 0);
    const ProgramRun verify = RunExecutable("fitsverify", {"-e", folder / "A1.fits"});
    EXPECT_EQ(verify.status, 0) << verify.output;
    EXPECT_NE(verify.output.find("0 warning(s) and 0 error(s)"), std::string::npos) << verify.output;
}

TEST(CommandLine, HelpAndVersionPrintAndExitZero) {
    const struct {
        const char* program;
        const char* argument;
        const char* starts_with;
    } cases[] = {
        {CALSTARS2FP_EXE, "--help", "Usage: calstars2fp [--jobs N] [<folder>]\n"},
        {CALSTARS2FP_EXE, "--version", "calstars2fp "},
        {FPVIEW_EXE, "--help", "Usage: fpview "},
        {FPVIEW_EXE, "--version", "fpview "},
    };
    for (const auto& c : cases) {
        const ProgramRun run = RunExecutable(c.program, {c.argument});
        EXPECT_EQ(run.status, 0) << c.program << " " << c.argument;
        EXPECT_EQ(run.output.rfind(c.starts_with, 0), 0u) << run.output;
    }
    EXPECT_EQ(RunCalstars2fp({"--version"}).output,
              std::string("calstars2fp ") + CALSTARS2FP_VERSION + "\nvector instructions: " + VectorTarget_Name() + "\n");
    EXPECT_EQ(RunExecutable(FPVIEW_EXE, {"--version"}).output, std::string("fpview ") + CALSTARS2FP_VERSION + "\n");
}

TEST(CommandLine, AFolderNamedLikeAnOptionIsStillAFolderWhenGivenAsAPath) {
    ScratchFolder folder;
    const std::string help_folder = folder / "--help";
    ASSERT_EQ(std::system(("mkdir '" + help_folder + "'").c_str()), 0);
    WriteText(help_folder + "/CALSTARS_H.txt", CalstarsText(20, 20, 1, {{"H1.bin", 3, 1, Stars(1)}}));
    const ProgramRun run = RunCalstars2fp({help_folder});
    EXPECT_EQ(run.status, 0) << run.output;
    EXPECT_EQ(run.output, "H1.bin\n");
    EXPECT_TRUE(Exists(help_folder + "/H1.bin"));
}

// A four-product file of `rows` x `cols` pixels that holds its header and is sparse beyond it: the
// size every check expects, without the disk space.
void WriteSparseFourProduct(const std::string& path, uint32_t rows, uint32_t cols) {
    std::string header;
    for (const uint32_t word : {rows, cols, 8u, 256u, 1u}) {
        for (int shift = 0; shift < 32; shift += 8) header.push_back(static_cast<char>(word >> shift));
    }
    WriteText(path, header);
    std::filesystem::resize_file(path, 20 + 4 * uint64_t{rows} * cols);
}

// The mosaic of 1 x 2^30 pixels is 2^31 + 2 wide: beyond 32 bits and beyond a PNG. It is refused
// from the header, before 4 GB of planes are read.
TEST(FpviewLimits, MosaicWiderThanThirtyOneBitsIsRefusedFromTheHeader) {
    ScratchFolder folder;
    const std::string path = folder / "wide.bin";
    WriteSparseFourProduct(path, 1, 1u << 30);
    const ProgramRun run = RunExecutable(FPVIEW_EXE, {path}, "", "timeout -s KILL 60 ");
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.output, " Four-product file " + path + " of 1 x 1073741824 pixels is too large for this machine's memory \n");
    EXPECT_EQ(ListFolder(folder.path()), std::vector<std::string>{"wide.bin"});
}

// A picture wider than the PNG library writes (a mosaic of 1 x 500000 is 1000002 pixels wide) is
// refused with the options that still give the file, and the FITS file is still written.
TEST(FpviewLimits, APictureWiderThanThePngLibraryTakesIsRefusedAndTheFitsFileStillWritten) {
    ScratchFolder folder;
    const std::string path = folder / "wide.bin";
    WritePatternFile(path, 1, 500000);
    const std::string refusal = " Cannot write PNG file " + (folder / "wide.png") +
                                ": a picture of 1000002 x 4 pixels is larger than the 1000000 x 1000000 the PNG library writes;"
                                " --product peak gives one product of 500000 x 1 pixels, --fits the FITS file alone \n";
    struct Case {
        std::vector<std::string> options;
        int status;
        std::string output;
        std::vector<std::string> files;
    };
    const Case cases[] = {
        {{}, 1, refusal, {"wide.bin", "wide.fits"}},
        {{"--png"}, 1, refusal, {"wide.bin"}},
        {{"--fits"}, 0, path + ": " + (folder / "wide.fits") + "\n", {"wide.bin", "wide.fits"}},
        {{"--product", "mean"}, 0, path + ": " + (folder / "wide.mean.png") + " " + (folder / "wide.fits") + "\n",
         {"wide.bin", "wide.fits", "wide.mean.png"}},
    };
    for (const Case& c : cases) {
        for (const std::string& name : ListFolder(folder.path())) {
            if (name != "wide.bin") std::filesystem::remove(folder / name);
        }
        std::vector<std::string> arguments = c.options;
        arguments.push_back(path);
        const ProgramRun run = RunExecutable(FPVIEW_EXE, arguments, "", "timeout -s KILL 60 ");
        const std::string what = c.options.empty() ? "default" : c.options.front();
        EXPECT_EQ(run.status, c.status) << what << ": " << run.output;
        EXPECT_EQ(run.output, c.output) << what;
        EXPECT_EQ(ListFolder(folder.path()), c.files) << what;
    }
}

// A file whose planes (1.6 GB) do not fit a 1 GB address space is refused with one line at once, and
// the folder's next file is still converted.
TEST(FpviewLimits, AFileTooLargeForTheMemoryIsRefusedAndTheNextOneConverted) {
    if (SanitizerNeedsTheAddressSpace()) GTEST_SKIP() << "the sanitizers' shadow memory does not fit a limited address space";
    ScratchFolder folder;
    MakeRealFiles(folder);
    const std::string big = folder / "A0_big.bin";
    WriteSparseFourProduct(big, 20000, 20000);
    const ProgramRun run = RunExecutable(FPVIEW_EXE, {folder.path()}, "", "ulimit -v 1000000; timeout -s KILL 60 ");
    EXPECT_EQ(run.status, 1) << run.output;
    const std::vector<std::string> lines = Lines(run.output);
    ASSERT_EQ(lines.size(), 4u) << run.output;
    EXPECT_EQ(lines[0], " Four-product file " + big + " of 20000 x 20000 pixels is too large for this machine's memory ");
    EXPECT_EQ(lines[3], "Converted 2 of 3 four-product files in " + folder.path());
    for (const char* name : {"A1.png", "A1.fits", "A2.png", "A2.fits"}) EXPECT_TRUE(Exists(folder / name)) << name;
    EXPECT_FALSE(Exists(folder / "A0_big.png"));
}

// Opening a FIFO for reading waits for a writer; a device may never end. Neither is opened.
TEST(FpviewLimits, AnInputThatIsNotARegularFileIsRefusedWithoutOpeningIt) {
    ScratchFolder folder;
    const std::string fifo = folder / "F.bin";
    ASSERT_EQ(std::system(("mkfifo '" + fifo + "'").c_str()), 0);
    for (const std::string& input : {fifo, std::string("/dev/zero")}) {
        const ProgramRun run = RunExecutable(FPVIEW_EXE, {"--out", folder / "out", input}, "", "timeout -s KILL 20 ");
        EXPECT_EQ(run.status, 1) << input;
        EXPECT_EQ(run.output, " Four-product file " + input + " is not a regular file \n");
    }
    EXPECT_EQ(ListFolder(folder / "out"), std::vector<std::string>{});
}

// a.BIN and a.bin both make a.png and a.fits: the second (in name order) is refused, the first's
// outputs stay, and the run ends with status 1.
TEST(FpviewFolder, AnInputWhoseOutputsAnEarlierInputMadeIsRefused) {
    ScratchFolder folder;
    MakeRealFiles(folder);
    ScratchFolder pair;
    const std::vector<uint8_t> first = ReadBytes(folder / "A1.bin");
    WriteText(pair / "a.BIN", std::string(first.begin(), first.end()));
    const std::vector<uint8_t> second = ReadBytes(folder / "A2.bin");
    WriteText(pair / "a.bin", std::string(second.begin(), second.end()));
    const ProgramRun run = RunExecutable(FPVIEW_EXE, {pair.path()});
    EXPECT_EQ(run.status, 1);
    const std::vector<std::string> lines = Lines(run.output);
    ASSERT_EQ(lines.size(), 3u) << run.output;
    EXPECT_EQ(lines[1], " Four-product file " + (pair / "a.bin") + " would replace " + (pair / "a.png") + ", made from " +
                            (pair / "a.BIN") + " in this run ");
    EXPECT_EQ(lines[2], "Converted 1 of 2 four-product files in " + pair.path());
    PngContents png;
    std::string error;
    ASSERT_TRUE(ReadPng(pair / "a.png", png, error)) << error;
    EXPECT_EQ(png.pixels, ExpectedMosaic(first, 30, 40));
}

// A standard output that cannot be written does not stop the work: every picture is written, and
// the run ends with one line on standard error and status 1.
TEST(FpviewFolder, StandardOutputThatCannotBeWrittenEndsWithOneLineAndStatusOne) {
    for (const std::string redirection : {"> /dev/full", ">&-"}) {
        ScratchFolder folder;
        MakeRealFiles(folder);
        const std::string command = "timeout -s KILL 60 '" + std::string(FPVIEW_EXE) + "' '" + folder.path() + "' " + redirection +
                                    " 2> '" + (folder / "stderr") + "'";
        const int raw = std::system(command.c_str());
        ASSERT_TRUE(WIFEXITED(raw)) << redirection;
        EXPECT_EQ(WEXITSTATUS(raw), 1) << redirection;
        EXPECT_EQ(ReadText(folder / "stderr"), " Cannot write standard output: the lines of this run are incomplete \n") << redirection;
        for (const char* name : {"A1.png", "A1.fits", "A2.png", "A2.fits"}) EXPECT_TRUE(Exists(folder / name)) << redirection << " " << name;
    }
}

}  // namespace
