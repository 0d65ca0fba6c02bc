// Runs under a limited address space (ulimit -v) and on inputs larger than the memory: every run
// either writes what an unlimited run writes or ends with one line and status 1 after a prefix of
// the sequential run's files, never with an abort ("terminate called", status 134) and never
// leaving a temporary file; and the number of workers does not change which.
#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "support/test_support.h"

namespace {

const std::string kWatchdog = "timeout -s KILL 120 ";

std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> lines;
    size_t start = 0;
    for (size_t end; (end = text.find('\n', start)) != std::string::npos; start = end + 1) lines.push_back(text.substr(start, end - start));
    if (start < text.size()) lines.push_back(text.substr(start));
    return lines;
}

// A CALSTARS file at `path` of `records` records of rows x cols with `nstars` stars each and one
// window, the stars spread by a fixed linear congruential sequence that runs on in `state`.
void WriteCalstarsFile(const std::string& path, int records, int rows, int cols, int nstars, int window, uint32_t& state) {
    auto next = [&state](int range) {
        state = state * 1664525u + 1013904223u;
        return static_cast<int>((state >> 8) % static_cast<uint32_t>(range));
    };
    const std::string stem = std::filesystem::path(path).stem().string();
    std::vector<TestRecord> list;
    for (int r = 0; r < records; ++r) {
        TestRecord record;
        record.name = "IMG_" + stem + "_" + std::to_string(r) + ".bin";
        record.window = window;
        record.divisor = 4;
        for (int s = 0; s < nstars; ++s) {
            const int intensity = 1000 + next(2000);
            const std::string row = std::to_string(next(rows * 100) / 100.0);
            const std::string col = std::to_string(next(cols * 100) / 100.0);
            record.stars.push_back({row, col, std::to_string(intensity), std::to_string(intensity + 40 + next(300))});
        }
        list.push_back(record);
    }
    WriteText(path, CalstarsText(rows, cols, nstars, list));
}

// A small night: `files` CALSTARS files of `records` records of rows x cols with 60 stars each.
void MakeNight(const std::string& folder, int files, int records, int rows, int cols, int window) {
    uint32_t state = 12345;
    for (int f = 0; f < files; ++f) WriteCalstarsFile(folder + "/CALSTARS_N" + std::to_string(f) + ".txt", records, rows, cols, 60, window, state);
}

// The files a run left: name -> bytes, the inputs and the listing left out.
std::map<std::string, std::vector<uint8_t>> Outputs(const std::string& folder) {
    std::map<std::string, std::vector<uint8_t>> outputs;
    for (const std::string& name : ListFolder(folder)) {
        if (name.rfind("CALSTARS", 0) == 0 || name == "DirListingCalstars.txt") continue;
        outputs[name] = ReadBytes(folder + "/" + name);
    }
    return outputs;
}

struct Reference {
    std::vector<std::string> lines;
    std::map<std::string, std::vector<uint8_t>> files;
};

// Runs `night` copied into a fresh folder of the same name under `limit_kb` (0: none) of the ulimit
// option `limit` (the address space, or "-d" the data size).
ProgramRun RunCopy(const ScratchFolder& scratch, const std::string& night, int32_t jobs, int limit_kb,
                   std::map<std::string, std::vector<uint8_t>>& files, const std::string& limit = "-v") {
    const std::string run_folder = scratch / "run";
    std::filesystem::remove_all(run_folder);
    std::filesystem::copy(night, run_folder);
    const std::string prefix = limit_kb > 0 ? "ulimit " + limit + " " + std::to_string(limit_kb) + "; " + kWatchdog : kWatchdog;
    const ProgramRun run = RunCalstars2fp({"--jobs", std::to_string(jobs), run_folder}, "", prefix);
    files = Outputs(run_folder);
    return run;
}

// What every limited run must be: the unlimited run, or its first lines then one failure line with
// status 1 and exactly the files named before it, each with the unlimited run's bytes.
void ExpectUnlimitedOrSequentialPrefix(const ProgramRun& run, const std::map<std::string, std::vector<uint8_t>>& files,
                                       const Reference& reference, const std::string& what) {
    ASSERT_NE(run.status, 134) << what << ": aborted\n" << run.output;
    EXPECT_EQ(run.output.find("terminate called"), std::string::npos) << what << "\n" << run.output;
    const std::vector<std::string> lines = Lines(run.output);
    if (run.status == 0) {
        EXPECT_EQ(lines, reference.lines) << what;
        EXPECT_TRUE(files == reference.files) << what << ": files differ from the unlimited run's";
        return;
    }
    ASSERT_EQ(run.status, 1) << what << "\n" << run.output;
    ASSERT_GE(lines.size(), 1u) << what;
    const std::vector<std::string> named(lines.begin(), lines.end() - 1);
    ASSERT_LE(named.size(), reference.lines.size()) << what << "\n" << run.output;
    EXPECT_TRUE(std::equal(named.begin(), named.end(), reference.lines.begin())) << what << ": not a prefix\n" << run.output;
    EXPECT_TRUE(lines.back().find("emory") != std::string::npos || lines.back().find("MB of memory") != std::string::npos)
        << what << ": not a memory failure: " << lines.back();
    EXPECT_EQ(files.size(), named.size()) << what << ": files other than those named (a temporary file?)";
    for (const std::string& name : named) {
        const auto found = files.find(name);
        ASSERT_NE(found, files.end()) << what << ": " << name << " missing";
        EXPECT_TRUE(found->second == reference.files.at(name)) << what << ": " << name << " differs";
    }
}

// Runs `night` under `limit` (the ulimit option) of `limit_kb` with 1, 2 and 8 workers: each ends as
// the unlimited run or its prefix and one memory line, and the workers change nothing of what one
// job does (its status, lines and files).
void ExpectEveryJobCountEndsAsOneJob(const ScratchFolder& scratch, const std::string& night, const Reference& reference,
                                     int limit_kb, const std::string& limit, const std::string& what) {
    ProgramRun sequential;
    std::map<std::string, std::vector<uint8_t>> sequential_files;
    for (const int32_t jobs : {1, 2, 8}) {
        std::map<std::string, std::vector<uint8_t>> files;
        const ProgramRun run = RunCopy(scratch, night, jobs, limit_kb, files, limit);
        const std::string case_name = what + ", --jobs " + std::to_string(jobs);
        ExpectUnlimitedOrSequentialPrefix(run, files, reference, case_name);
        if (jobs == 1) {
            sequential = run;
            sequential_files = files;
            continue;
        }
        EXPECT_EQ(run.status, sequential.status) << case_name << "\n" << run.output;
        EXPECT_EQ(run.output, sequential.output) << case_name;
        EXPECT_TRUE(files == sequential_files) << case_name;
    }
}

// Six limits from below what one worker needs (the 640 x 480 images with window 9 need about 15 MB
// of buffers and profile tables, the process about 7 MB more) to above what eight workers need, each
// run with 1, 2 and 8 workers, which end as the one job does.
TEST(MemoryLimits, EveryLimitGivesTheUnlimitedRunOrOneLineAfterASequentialPrefix) {
    if (SanitizerNeedsTheAddressSpace()) GTEST_SKIP() << "the sanitizers' shadow memory does not fit a limited address space";
    ScratchFolder scratch;
    const std::string night = scratch / "night";
    std::filesystem::create_directory(night);
    MakeNight(night, 3, 3, 480, 640, 9);
    Reference reference;
    const ProgramRun unlimited = RunCopy(scratch, night, 1, 0, reference.files);
    ASSERT_EQ(unlimited.status, 0) << unlimited.output;
    reference.lines = Lines(unlimited.output);
    ASSERT_EQ(reference.files.size(), 9u);
    for (const int limit_kb : {16000, 22000, 26000, 32000, 48000, 120000}) {
        ExpectEveryJobCountEndsAsOneJob(scratch, night, reference, limit_kb, "-v", "ulimit -v " + std::to_string(limit_kb));
    }
}

// Files of small and large images in turn (3, 1, 3, 1 and 2 records of 480 x 640 and 2000 x 2000) under
// limits on the address space and on the data size from below what the large image needs to above
// what eight workers need: every number of workers ends as one job does (the same lines, status and
// files), each the unlimited run or its prefix and one memory line. The budget once left out the star
// window's arrays, and the workers kept buffers the sequential loop gave back: --jobs 8 failed where
// --jobs 1 finished, and with a large window --jobs 1 failed where --jobs 2 finished (there 5000 x 5000
// with windows 9 and 2001, at 272 to 284 MB).
TEST(MemoryLimits, EveryJobCountEndsAsOneJobDoesUnderEachLimit) {
    if (SanitizerNeedsTheAddressSpace()) GTEST_SKIP() << "the sanitizers' shadow memory does not fit a limited address space";
    struct Case {
        const char* what;
        int large_window, large_stars;
        const char* limit;   // the ulimit option
        int from_kb, to_kb, step_kb;
    };
    const Case cases[] = {
        {"window 9, ulimit -v", 9, 60, "-v", 48000, 84000, 3000},
        {"window 1001, ulimit -v", 1001, 4, "-v", 54000, 84000, 2500},
        {"window 9, ulimit -d", 9, 60, "-d", 50000, 74000, 6000},
    };
    for (const Case& c : cases) {
        ScratchFolder scratch;
        const std::string night = scratch / "night";
        std::filesystem::create_directory(night);
        uint32_t state = 777;
        const int records[] = {3, 1, 3, 1, 2};
        for (int f = 0; f < 5; ++f) {
            const bool large = f % 2 == 1;
            WriteCalstarsFile(night + "/CALSTARS_M" + std::to_string(f) + ".txt", records[f], large ? 2000 : 480, large ? 2000 : 640,
                              large ? c.large_stars : 60, large ? c.large_window : 9, state);
        }
        Reference reference;
        const ProgramRun unlimited = RunCopy(scratch, night, 1, 0, reference.files);
        ASSERT_EQ(unlimited.status, 0) << unlimited.output;
        reference.lines = Lines(unlimited.output);
        for (int limit_kb = c.from_kb; limit_kb <= c.to_kb; limit_kb += c.step_kb) {
            ExpectEveryJobCountEndsAsOneJob(scratch, night, reference, limit_kb, c.limit, std::string(c.what) + " " + std::to_string(limit_kb));
        }
    }
}

// Two large records: the workers' images and planes in flight do not fit where the sequential
// loop's do. A worker's memory failure is not the run's: the run goes on as the sequential loop,
// so every number of workers ends as --jobs 1 does, with its files and lines.
TEST(MemoryLimits, WorkersEndAsOneJobDoesWhereTheirMemoryFails) {
    if (SanitizerNeedsTheAddressSpace()) GTEST_SKIP() << "the sanitizers' shadow memory does not fit a limited address space";
    ScratchFolder scratch;
    const std::string night = scratch / "night";
    std::filesystem::create_directory(night);
    const std::vector<CalStarStarFields> star = {{"5", "5", "1900", "2000"}};
    WriteText(night + "/CALSTARS_A.txt", CalstarsText(2000, 2000, 1, {{"A.bin", 3, 4, star}, {"B.bin", 3, 4, star}}));
    for (const int limit_kb : {60000, 72000, 90000}) {
        std::map<std::string, std::vector<uint8_t>> sequential_files;
        const ProgramRun sequential = RunCopy(scratch, night, 1, limit_kb, sequential_files);
        ASSERT_NE(sequential.status, 134) << sequential.output;
        for (const int32_t jobs : {2, 8}) {
            std::map<std::string, std::vector<uint8_t>> files;
            const ProgramRun run = RunCopy(scratch, night, jobs, limit_kb, files);
            const std::string what = "ulimit -v " + std::to_string(limit_kb) + ", --jobs " + std::to_string(jobs);
            EXPECT_EQ(run.status, sequential.status) << what << "\n" << run.output;
            EXPECT_EQ(run.output, sequential.output) << what;
            EXPECT_TRUE(files == sequential_files) << what;
        }
    }
}

// A 2000 x 2000 record whose buffers fit a 66 MB address space but whose histogram filter's copy of
// the image does not: the filter falls back to its literal form, which needs no memory, and the file
// is the unlimited run's (the earlier program ended in 'terminate called' here).
TEST(MemoryLimits, FilterWithoutRoomForItsHistogramsGivesTheSameFile) {
    if (SanitizerNeedsTheAddressSpace()) GTEST_SKIP() << "the sanitizers' shadow memory does not fit a limited address space";
    ScratchFolder scratch;
    const std::string night = scratch / "night";
    std::filesystem::create_directory(night);
    WriteText(night + "/CALSTARS_A.txt", CalstarsText(2000, 2000, 1, {{"A.bin", 3, 4, {{"5", "5", "1900", "2000"}}}}));
    std::map<std::string, std::vector<uint8_t>> unlimited_files;
    const ProgramRun unlimited = RunCopy(scratch, night, 1, 0, unlimited_files);
    ASSERT_EQ(unlimited.status, 0) << unlimited.output;
    std::map<std::string, std::vector<uint8_t>> files;
    const ProgramRun run = RunCopy(scratch, night, 1, 66000, files);
    ASSERT_NE(run.status, 134) << run.output;
    if (run.status == 0) {
        EXPECT_EQ(run.output, unlimited.output);
        EXPECT_TRUE(files == unlimited_files);
    } else {
        // Where the process itself maps more, the budget refuses the image first.
        EXPECT_NE(run.output.find("MB of memory, more than the"), std::string::npos) << run.output;
    }
}

// The cheapest check comes first whatever the number of workers: a 14 x 50000000 image is refused
// for its size at once, before its 2.7 GB of planes are allocated.
TEST(MemoryLimits, ImageSizeIsCheckedBeforeAnyAllocationWithAnyNumberOfWorkers) {
    ScratchFolder scratch;
    WriteText(scratch / "CALSTARS_A.txt", CalstarsText(14, 50000000, 1, {{"A.bin", 3, 4, {{"5", "5", "1900", "2000"}}}}));
    for (const int32_t jobs : {1, 2}) {
        // 1 GB of address space: enough for the check, not for the planes.
        const std::string prefix = SanitizerNeedsTheAddressSpace() ? kWatchdog : "ulimit -v 1000000; " + kWatchdog;
        const ProgramRun run = RunCalstars2fp({"--jobs", std::to_string(jobs), scratch.path()}, "", prefix);
        EXPECT_EQ(run.status, 1) << run.output;
        EXPECT_EQ(run.output, " CalStarReconsitution_MemSetup: image of 14 x 50000000 pixels in " + scratch.path() +
                                  "/CALSTARS_A.txt is below 15 x 15 \n");
    }
}

// A CALSTARS file larger than the memory (3 GB, sparse) under a 2 GB address space: the reader
// learns the size first and fails at once with its memory line.
TEST(MemoryLimits, ReaderRefusesAFileLargerThanTheMemoryWithItsLine) {
    if (SanitizerNeedsTheAddressSpace()) GTEST_SKIP() << "the sanitizers' shadow memory does not fit a limited address space";
    ScratchFolder scratch;
    const std::string path = scratch / "CALSTARS_A.txt";
    WriteText(path, CalstarsText(20, 20, 1, {{"A.bin", 3, 4, {{"5", "5", "1900", "2000"}}}}));
    std::filesystem::resize_file(path, uint64_t{3} << 30);
    for (const int32_t jobs : {1, 2}) {
        const ProgramRun run = RunCalstars2fp({"--jobs", std::to_string(jobs), scratch.path()}, "", "ulimit -v 2000000; " + kWatchdog);
        EXPECT_EQ(run.status, 1) << run.output;
        EXPECT_EQ(run.output, " Memory not allocated in OpenCalStarExtraction \n");
    }
    EXPECT_FALSE(Exists(scratch / "A.bin"));
}

}  // namespace
