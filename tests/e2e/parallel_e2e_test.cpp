// Parallel runs through the built program: for any folder and any number of workers, the run cannot
// be told from --jobs 1: the same files with the same bytes, the same lines on standard output, the
// same exit status, and no temporary file left, also when a record in the middle of the run fails.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <map>
#include <set>
#include <string>
#include <vector>

#include "safe_output/safe_output.h"
#include "splitmix64.h"
#include "support/test_support.h"

namespace {

const std::string kWatchdog = "timeout -s KILL 60 ";

// How a generated folder goes wrong, at one record chosen at random.
enum class Fault {
    kNone,
    kBadStarLine,     // the reader refuses the record
    kEvenWindow,      // the reconstitution refuses it
    kInputName,       // the record would overwrite a CALSTARS file
    kOverlongName,    // the output path does not fit (refused after the reconstitution)
    kUnwritable,      // a folder stands where its file goes: the write fails
    kHugeWindow,      // the memory budget refuses it
};

struct Folder {
    std::map<std::string, std::string> files;  // CALSTARS files by name
    std::vector<std::string> folders;          // folders to make beside them
    int records = 0;
};

CalStarStarFields Star(SplitMix64& random, int rows, int cols) {
    // Positions a little beyond the image too (partly visible windows); intensities on both sides of
    // 1800; totals below the intensity now and then, which clamp the level and print a warning.
    const double row = -2.0 + random.Uniform() * (rows + 3);
    const double col = -2.0 + random.Uniform() * (cols + 3);
    const int intensity = random.Between(0, 1) ? random.Between(1700, 1900) : random.Between(100, 6000);
    const int total = random.Between(0, 9) == 0 ? random.Between(0, intensity) : intensity + random.Between(0, 4000);
    return {std::to_string(row), std::to_string(col), std::to_string(intensity), std::to_string(total)};
}

// Two to four CALSTARS files of random sizes and records, with `fault` planted at one record.
Folder MakeFolder(uint64_t seed, Fault fault) {
    SplitMix64 random{seed};
    Folder folder;
    const int files = random.Between(2, 4);
    struct Planned {
        int rows, cols, nstars;
        std::vector<TestRecord> records;
    };
    std::vector<Planned> planned;
    for (int f = 0; f < files; ++f) {
        Planned file{random.Between(15, 60), random.Between(15, 60), random.Between(1, 8), {}};
        const int records = random.Between(0, 9);
        for (int r = 0; r < records; ++r) {
            TestRecord record;
            record.name = "F" + std::to_string(f) + "_R" + std::to_string(r) + ".bin";
            record.window = 2 * random.Between(0, 4) + 1;
            record.divisor = random.Between(1, 20);
            for (int s = 0; s < file.nstars; ++s) record.stars.push_back(Star(random, file.rows, file.cols));
            file.records.push_back(record);
            ++folder.records;
        }
        planned.push_back(file);
    }
    if (fault != Fault::kNone && folder.records > 0) {
        int target = random.Between(0, folder.records - 1);
        for (Planned& file : planned) {
            if (target >= static_cast<int>(file.records.size())) {
                target -= static_cast<int>(file.records.size());
                continue;
            }
            TestRecord& record = file.records[static_cast<size_t>(target)];
            switch (fault) {
                case Fault::kBadStarLine: record.stars.back() = {"12.5", "x", "300", "400"}; break;
                case Fault::kEvenWindow: record.window = 4; break;
                case Fault::kInputName: record.name = "CALSTARS_other.txt"; break;
                case Fault::kOverlongName: record.name = std::string(250, 'n') + ".bin"; break;
                case Fault::kUnwritable: folder.folders.push_back(record.name); break;
                case Fault::kHugeWindow: record.window = 2000001; break;
                case Fault::kNone: break;
            }
            break;
        }
    }
    for (size_t f = 0; f < planned.size(); ++f) {
        const Planned& file = planned[f];
        folder.files["CALSTARS_" + std::to_string(f) + ".txt"] = CalstarsText(file.rows, file.cols, file.nstars, file.records,
                                                                              random.Between(-20, 20));
    }
    return folder;
}

struct Outcome {
    ProgramRun run;
    std::map<std::string, std::vector<uint8_t>> files;  // every regular file left in the folder
    std::vector<std::string> names;                      // every entry, folders included
};

Outcome RunFolder(const Folder& folder, int jobs) {
    ScratchFolder scratch;
    for (const auto& file : folder.files) WriteText(scratch / file.first, file.second);
    for (const std::string& name : folder.folders) ::mkdir((scratch / name).c_str(), 0755);
    Outcome outcome;
    outcome.run = RunCalstars2fp({"--jobs", std::to_string(jobs), scratch.path()}, "", kWatchdog);
    // Every run has a folder of its own: its messages are compared with the folder's name taken out.
    for (size_t at; (at = outcome.run.output.find(scratch.path())) != std::string::npos;) {
        outcome.run.output.replace(at, scratch.path().size(), "<folder>");
    }
    outcome.names = ListFolder(scratch.path());
    for (const std::string& name : outcome.names) {
        struct stat info {};
        if (::stat((scratch / name).c_str(), &info) == 0 && S_ISREG(info.st_mode)) outcome.files[name] = ReadBytes(scratch / name);
    }
    return outcome;
}

// `outputs`: records' names that look like temporary files.
void ExpectSameRun(const Folder& folder, const std::string& what, const std::set<std::string>& outputs = {}) {
    const Outcome reference = RunFolder(folder, 1);
    for (const std::string& name : reference.names) {
        if (outputs.count(name) == 0) {
            EXPECT_EQ(name.find(".partial"), std::string::npos) << what << ": " << name;
            EXPECT_NE(name.rfind(kSafeOutputFolderPrefix, 0), 0u) << what << ": a hidden folder left, " << name;
        }
    }
    for (const int jobs : {2, 3, 8}) {
        const Outcome parallel = RunFolder(folder, jobs);
        SCOPED_TRACE(what + ", --jobs " + std::to_string(jobs));
        EXPECT_EQ(parallel.run.status, reference.run.status);
        EXPECT_EQ(parallel.run.output, reference.run.output);
        EXPECT_EQ(parallel.names, reference.names);
        EXPECT_TRUE(parallel.files == reference.files) << "a file differs";
    }
}

TEST(Parallel, RandomFoldersGiveTheSequentialFilesAndLinesForAnyNumberOfWorkers) {
    for (uint64_t seed = 1; seed <= 8; ++seed) {
        const Folder folder = MakeFolder(seed, Fault::kNone);
        ExpectSameRun(folder, "seed " + std::to_string(seed));
    }
}

TEST(Parallel, AFailureAtAnyRecordKeepsItsSequentialMeaning) {
    const struct {
        Fault fault;
        const char* what;
    } faults[] = {
        {Fault::kBadStarLine, "bad star line"},     {Fault::kEvenWindow, "even window"},
        {Fault::kInputName, "name of an input"},    {Fault::kOverlongName, "overlong name"},
        {Fault::kUnwritable, "unwritable output"},  {Fault::kHugeWindow, "memory budget"},
    };
    for (const auto& f : faults) {
        for (uint64_t seed = 100; seed < 103; ++seed) {
            const Folder folder = MakeFolder(seed * 7 + static_cast<uint64_t>(f.fault), f.fault);
            const std::string what = std::string(f.what) + ", seed " + std::to_string(seed);
            const Outcome reference = RunFolder(folder, 1);
            // The fault is really there: the run fails, unless the folder drew no record at all.
            if (folder.records > 0) {
                EXPECT_EQ(reference.run.status, 1) << what << ": " << reference.run.output;
            }
            ExpectSameRun(folder, what);
        }
    }
}

// One CALSTARS file of `count` small records named by `name_of`.
Folder NamedRecords(int count, std::string (*name_of)(int)) {
    SplitMix64 random{77};
    std::vector<TestRecord> records;
    for (int r = 0; r < count; ++r) {
        TestRecord record;
        record.name = name_of(r);
        record.window = 3;
        record.divisor = 4;
        for (int s = 0; s < 3; ++s) record.stars.push_back(Star(random, 20, 24));
        records.push_back(record);
    }
    Folder folder;
    folder.files["CALSTARS_named.txt"] = CalstarsText(20, 24, 3, records, 5);
    folder.records = count;
    return folder;
}

// Workers write their files ahead of the ordered renames: a later record of the same name must not
// disturb an earlier one's file (the last one wins), and a record named like another's temporary
// file must not be taken by it, nor take it.
TEST(Parallel, RecordsSharingANameOrNamedLikeATemporaryFileEndAsInTheSequentialRun) {
    static const char* const kNames[] = {"A.bin", "B.bin", "A.bin.partial", "A.bin", "A.bin.partial2", "B.bin.partial"};
    const Folder folder = NamedRecords(30, [](int r) { return std::string(kNames[(r * 5 + r / 6) % 6]); });
    const Outcome reference = RunFolder(folder, 1);
    EXPECT_EQ(reference.run.status, 0) << reference.run.output;
    ExpectSameRun(folder, "shared names", {"A.bin.partial", "A.bin.partial2", "B.bin.partial"});
}

// A write that fails in the middle of a long run, while the workers have later records written under
// temporary names: the records before it are there, nothing after it, no temporary file.
TEST(Parallel, AWriteFailingWithWorkersAheadLeavesTheSequentialPrefixOnly) {
    Folder folder = NamedRecords(40, [](int r) { return "R" + std::to_string(r) + ".bin"; });
    folder.folders.push_back("R12.bin");
    const Outcome reference = RunFolder(folder, 1);
    EXPECT_EQ(reference.run.status, 1);
    EXPECT_NE(reference.run.output.find(" Cannot "), std::string::npos) << reference.run.output;
    EXPECT_EQ(reference.files.size(), 14u);  // the CALSTARS file, the listing and R0 to R11
    ExpectSameRun(folder, "unwritable R12");
}

}  // namespace
