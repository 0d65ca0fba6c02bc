// The catalogue of bad inputs, run through the built program. Whatever a CALSTARS file holds, the
// program either writes complete four-product files or prints one line naming the file and exits 1;
// it never dies by a signal, never runs on without end, writes nothing outside its folder and leaves
// no temporary file.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <set>
#include <string>
#include <vector>

#include "calstars/calstars_writer.h"
#include "driver/memory_budget.h"
#include "platform/machine.h"
#include "support/test_support.h"

namespace {

// Every run is bounded by this watchdog: a hang shows up as the signal status 137.
const std::string kWatchdog = "timeout -s KILL 20 ";
const char* const kInputName = "CALSTARS_T.txt";

// AddressSanitizer and ThreadSanitizer reserve shadow memory that a limited address space cannot hold.
bool BuiltWithAddressSanitizer() {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    return true;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
    return true;
#endif
#endif
    return false;
}

std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> lines;
    size_t start = 0;
    for (size_t end; (end = text.find('\n', start)) != std::string::npos; start = end + 1) lines.push_back(text.substr(start, end - start));
    if (start < text.size()) lines.push_back(text.substr(start));
    return lines;
}

uint32_t Word(const std::vector<uint8_t>& bytes, size_t offset) {
    return bytes[offset] | bytes[offset + 1] << 8 | bytes[offset + 2] << 16 | static_cast<uint32_t>(bytes[offset + 3]) << 24;
}

bool IsMessage(const std::string& line) { return !line.empty() && line[0] == ' ' && line.rfind(" Warning: ", 0) != 0; }

// The fields of a small valid CALSTARS file of two records, each as text so that any of them can
// be replaced; the CALSTARS writer's pieces lay them out.
struct Fields {
    std::array<std::string, kFreeHeaderLines> free_lines = CalStarHeader_Fields(CalStarExtraction{}).free_lines;
    std::string first_int = "7", rows = "20", cols = "24", nstars = "2";
    std::string name = "A.bin", window = "5", divisor = "4";
    std::string row = "6.25", col = "9.5", intensity = "1900", total = "2300";
    std::string name2 = "B.bin";
    std::string end = kCalStarEndMarker;
};

std::string HeaderText(const Fields& f) {
    return CalStarHeader_Lines(CalStarHeaderFields{f.free_lines, "test camera", f.first_int, f.rows, f.cols, f.nstars});
}

std::string Text(const Fields& f) {
    std::string text = HeaderText(f);
    text += CalStarRecord_Lines(CalStarRecordFields{f.name, f.window, f.divisor});
    text += CalStarStar_Line(CalStarStarFields{f.row, f.col, f.intensity, f.total});
    text += CalStarStar_Line(CalStarStarFields{"12.5", "15.75", "1500", "1620"});
    text += CalStarRecord_Lines(CalStarRecordFields{f.name2, "3", "2"});
    text += CalStarStar_Line(CalStarStarFields{"10", "10", "1000", "1100"});
    text += CalStarStar_Line(CalStarStarFields{"14.5", "3.25", "2500", "2700"});
    return text + f.end;
}

struct BadInput {
    std::string what;
    std::string text;                // content of CALSTARS_T.txt
    int expected_status = -1;        // 0 or 1 when the outcome is known, -1 for either
    std::string message_part;        // part of the failure line, when known
    std::string shell_prefix = "";   // a resource limit, before the watchdog
    std::function<void(const std::string& folder)> prepare = nullptr;
};

// Runs one case in <scratch>/night and checks the promises that hold for every input.
ProgramRun RunAndCheck(const BadInput& c) {
    ScratchFolder outer;
    const std::string folder = outer / "night";
    ::mkdir(folder.c_str(), 0755);
    WriteText(folder + "/" + kInputName, c.text);
    if (c.prepare) c.prepare(folder);
    const std::vector<std::string> inputs = ListFolder(folder);
    const ProgramRun run = RunCalstars2fp({folder}, "", c.shell_prefix + kWatchdog);
    const std::string& what = c.what;
    EXPECT_TRUE(run.status == 0 || run.status == 1) << what << ": status " << run.status << "\n" << run.output;
    if (c.expected_status >= 0) {
        EXPECT_EQ(run.status, c.expected_status) << what << "\n" << run.output;
    }

    const std::vector<std::string> lines = Lines(run.output);
    const auto messages = std::count_if(lines.begin(), lines.end(), IsMessage);
    std::set<std::string> written;
    for (const std::string& line : lines) {
        if (!line.empty() && line[0] != ' ') written.insert(line);
    }
    if (run.status == 1) {
        EXPECT_EQ(messages, 1) << what << "\n" << run.output;
        const std::string last = lines.empty() ? "" : lines.back();
        EXPECT_TRUE(IsMessage(last)) << what << "\n" << run.output;
        EXPECT_NE(last.find(kInputName), std::string::npos) << what << "\n" << run.output;
        if (!c.message_part.empty()) {
            EXPECT_NE(last.find(c.message_part), std::string::npos) << what << "\n" << run.output;
        }
    } else {
        EXPECT_EQ(messages, 0) << what << "\n" << run.output;
    }
    // The folder holds its inputs, the listing and the files whose names were printed: nothing else,
    // and each written file is whole.
    for (const std::string& name : ListFolder(folder)) {
        const bool known = std::find(inputs.begin(), inputs.end(), name) != inputs.end() || name == "DirListingCalstars.txt" ||
                           written.count(name) > 0;
        EXPECT_TRUE(known) << what << ": unexpected file " << name << "\n" << run.output;
    }
    for (const std::string& name : written) {
        if (std::find(inputs.begin(), inputs.end(), name) != inputs.end()) continue;
        const std::vector<uint8_t> bytes = ReadBytes(folder + "/" + name);
        if (bytes.size() < 20) {
            ADD_FAILURE() << what << ": " << name << " holds no header";
            continue;
        }
        EXPECT_EQ(bytes.size(), 20u + 4ull * Word(bytes, 0) * Word(bytes, 4)) << what << ": " << name;
    }
    EXPECT_EQ(ListFolder(outer.path()), std::vector<std::string>{"night"}) << what;
    return run;
}

void RunAll(const std::vector<BadInput>& cases) {
    for (const BadInput& c : cases) RunAndCheck(c);
}

std::vector<std::string> SplitKeepingLineEnds(const std::string& text) {
    std::vector<std::string> lines;
    size_t start = 0;
    for (size_t end; (end = text.find('\n', start)) != std::string::npos; start = end + 1) lines.push_back(text.substr(start, end - start + 1));
    return lines;
}

TEST(BadInputs, EmptyFileAndEveryTruncation) {
    std::vector<BadInput> cases = {{"empty file", "", 1, "header cut short"}};
    const std::vector<std::string> lines = SplitKeepingLineEnds(Text(Fields{}));
    std::string prefix;
    for (size_t k = 0; k < lines.size(); ++k) {
        cases.push_back({"cut before line " + std::to_string(k + 1), prefix, -1, ""});
        cases.push_back({"cut inside line " + std::to_string(k + 1), prefix + lines[k].substr(0, lines[k].size() / 2), -1, ""});
        prefix += lines[k];
    }
    // Cut anywhere before the end of the header's ten lines, the file describes no image.
    for (size_t k = 0; k < 10; ++k) cases[1 + 2 * k].expected_status = cases[2 + 2 * k].expected_status = 1;
    RunAll(cases);
}

TEST(BadInputs, EveryNumericFieldAsTextNegativeZeroOrHuge) {
    std::string Fields::*const fields[] = {&Fields::first_int, &Fields::rows,      &Fields::cols,      &Fields::nstars,
                                           &Fields::window,    &Fields::divisor,   &Fields::row,       &Fields::col,
                                           &Fields::intensity, &Fields::total};
    const char* const names[] = {"first_int", "rows", "cols", "nstars", "window", "divisor", "row", "col", "intensity", "total"};
    const char* const values[] = {"abc", "-7", "0", "99999999999", "2147483647", "-2147483648"};
    std::vector<BadInput> cases;
    for (size_t f = 0; f < std::size(fields); ++f) {
        for (const char* value : values) {
            Fields changed;
            changed.*fields[f] = value;
            cases.push_back({std::string(names[f]) + " = " + value, Text(changed), -1, ""});
        }
    }
    RunAll(cases);
}

TEST(BadInputs, RefusedWithTheirReason) {
    const std::string long_text(300, 'x');
    auto with = [](auto change) {
        Fields f;
        change(f);
        return Text(f);
    };
    std::string long_key = Text(Fields{});
    long_key.replace(long_key.find("window"), 6, long_text);
    const std::vector<BadInput> cases = {
        {"ignored header line over 255 characters", with([&](Fields& f) { f.free_lines[1] = long_text; }), 1, "longer than 255"},
        {"record name over 255 characters", with([&](Fields& f) { f.name = long_text; }), 1, "longer than 255"},
        {"key over 255 characters", long_key, 1, "longer than 255"},
        {"fewer star lines than nstars", with([](Fields& f) { f.nstars = "3"; }), 1, ""},
        {"more star lines than nstars", with([](Fields& f) { f.nstars = "1"; }), 1, ""},
        {"row NaN", with([](Fields& f) { f.row = "nan"; }), 1, "not a finite number"},
        {"col infinite", with([](Fields& f) { f.col = "inf"; }), 1, "not a finite number"},
        {"row minus infinite", with([](Fields& f) { f.row = "-inf"; }), 1, "not a finite number"},
        {"col beyond float range", with([](Fields& f) { f.col = "1e39"; }), 1, "not a finite number"},
        {"name with a slash", with([](Fields& f) { f.name = "sub/A.bin"; }), 1, "not a plain file name"},
        {"name with a backslash", with([](Fields& f) { f.name = "sub\\A.bin"; }), 1, "not a plain file name"},
        {"name ..", with([](Fields& f) { f.name = ".."; }), 1, "not a plain file name"},
        {"name .", with([](Fields& f) { f.name = "."; }), 1, "not a plain file name"},
        {"name climbing out", with([](Fields& f) { f.name = "../A.bin"; }), 1, "not a plain file name"},
        {"name with a NUL", with([](Fields& f) { f.name = std::string("A\0b", 3); }), 1, "not a plain file name"},
        {"empty name line", with([](Fields& f) { f.name = ""; }), 1, ""},
        {"name of this input", with([](Fields& f) { f.name2 = "CALSTARS_T.txt"; }), 1, "would overwrite an input"},
        {"name of another input in other case", with([](Fields& f) { f.name = "calstars_other.TXT"; }), 1, "would overwrite an input"},
        {"name of the listing", with([](Fields& f) { f.name = "DirListingCalstars.txt"; }), 1, "would overwrite an input"},
        {"window even", with([](Fields& f) { f.window = "4"; }), 1, "window 4"},
        {"window 0", with([](Fields& f) { f.window = "0"; }), 1, "window 0"},
        {"window negative", with([](Fields& f) { f.window = "-3"; }), 1, "window -3"},
        {"window larger than the image", with([](Fields& f) { f.window = "21"; }), 1, "window 21"},
        {"image of 1 x 1", with([](Fields& f) { f.rows = f.cols = "1"; }), 1, "below 15 x 15"},
        {"image of 14 x 15", with([](Fields& f) { f.rows = "14"; f.cols = "15"; }), 1, "below 15 x 15"},
        {"image of 65536 x 65536", with([](Fields& f) { f.rows = f.cols = "65536"; }), 1, "too large"},
        {"nstars beyond the file", with([](Fields& f) { f.nstars = "2000000000"; }), 1, "does not fit the file"},
        {"divisor 0", with([](Fields& f) { f.divisor = "0"; }), 1, "divisor 0"},
    };
    RunAll(cases);
}

TEST(BadInputs, ImageTooLargeForTheMachineIsRefusedBeforeAnyBuffer) {
    // 46000 x 46000 (near the largest image a file may describe) needs about 15 bytes a pixel, 32 GB;
    // a machine that can give three quarters of its memory to that would allocate it instead.
    CalStarExtraction image;
    image.rows = image.cols = 46000;
    if (PhysicalMemoryBytes() / 4 * 3 >= SequentialBytes(image, ImageShapeOf(image))) GTEST_SKIP() << "this machine could hold the image";
    Fields f;
    f.rows = f.cols = "46000";
    BadInput c{"image of 46000 x 46000", Text(f), 1, "MB of memory, more than the"};
    // Without the sanitizers' shadow memory the address space can be limited: a buffer of the image's
    // size allocated before the check would then fail with another message.
    if (!BuiltWithAddressSanitizer()) c.shell_prefix = "prlimit --as=4000000000 ";
    const ProgramRun run = RunAndCheck(c);
    EXPECT_EQ(Lines(run.output).size(), 1u) << run.output;
}

TEST(BadInputs, AcceptedOddities) {
    auto with = [](auto change) {
        Fields f;
        change(f);
        return Text(f);
    };
    const std::vector<BadInput> cases = {
        {"no end marker", with([](Fields& f) { f.end = ""; }), 0, ""},
        {"coordinates far outside the image", with([](Fields& f) { f.row = "1e30"; f.col = "-3e9"; }), 0, ""},
        {"background level from a negative quotient", with([](Fields& f) { f.total = "100"; }), 0, ""},
        {"background level above 255", with([](Fields& f) { f.total = "60000"; f.divisor = "1"; }), 0, ""},
        {"a name that is a temporary name of a later record", with([](Fields& f) { f.name = "B.bin.partial"; }), 0, ""},
        {"a directory named like a CALSTARS file", Text(Fields{}), 0, "",  "",
         [](const std::string& folder) { ::mkdir((folder + "/CALSTARS_x.txt").c_str(), 0755); }},
        {"a CALSTARS file whose name holds a line end", Text(Fields{}), 0, "", "",
         [](const std::string& folder) { WriteText(folder + "/CALSTARS_x\nB.bin.txt", "not read"); }},
        {"a link under a temporary name that leads outside the folder", Text(Fields{}), 0, "", "",
         [](const std::string& folder) {
             ASSERT_EQ(::symlink("../outside.bin", (folder + "/A.bin.partial").c_str()), 0);
             ASSERT_EQ(::symlink("../outside2.bin", (folder + "/B.bin.partial").c_str()), 0);
         }},
    };
    for (const BadInput& c : cases) {
        const ProgramRun run = RunAndCheck(c);
        const std::vector<std::string> lines = Lines(run.output);
        EXPECT_EQ(lines.back(), "B.bin") << c.what << "\n" << run.output;
    }
}

// The listing is renamed over its name, which a directory refuses: the run stops before any file.
TEST(BadInputs, ListingThatIsADirectoryCannotBeWritten) {
    ScratchFolder folder;
    WriteText(folder / kInputName, Text(Fields{}));
    ::mkdir((folder / "DirListingCalstars.txt").c_str(), 0755);
    const ProgramRun run = RunCalstars2fp({folder.path()}, "", kWatchdog);
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.output, " Cannot write directory listing file " + (folder / "DirListingCalstars.txt") + ": Is a directory \n");
    EXPECT_EQ(ListFolder(folder.path()), (std::vector<std::string>{kInputName, "DirListingCalstars.txt"}));
}

TEST(BadInputs, CrlfLineEndsGiveTheSameFilesAsLf) {
    std::string crlf;
    for (const char c : Text(Fields{})) crlf += (c == '\n') ? std::string("\r\n") : std::string(1, c);
    std::vector<std::vector<uint8_t>> outputs;
    for (const std::string& text : {Text(Fields{}), crlf}) {
        ScratchFolder folder;
        WriteText(folder / kInputName, text);
        const ProgramRun run = RunCalstars2fp({folder.path()}, "", kWatchdog);
        ASSERT_EQ(run.status, 0) << run.output;
        EXPECT_EQ(run.output, "A.bin\nB.bin\n");
        outputs.push_back(ReadBytes(folder / "A.bin"));
    }
    EXPECT_EQ(outputs[0], outputs[1]);
}

TEST(BadInputs, BlankFirstLineGivesTheSameFilesAsWithout) {
    std::vector<std::vector<uint8_t>> outputs;
    for (const std::string& text : {Text(Fields{}), "\n" + Text(Fields{}), "\r\n" + Text(Fields{})}) {
        ScratchFolder folder;
        WriteText(folder / kInputName, text);
        const ProgramRun run = RunCalstars2fp({folder.path()}, "", kWatchdog);
        ASSERT_EQ(run.status, 0) << run.output;
        EXPECT_EQ(run.output, "A.bin\nB.bin\n");
        std::vector<uint8_t> both = ReadBytes(folder / "A.bin");
        const std::vector<uint8_t> second = ReadBytes(folder / "B.bin");
        both.insert(both.end(), second.begin(), second.end());
        outputs.push_back(both);
    }
    EXPECT_EQ(outputs[0], outputs[1]);
    EXPECT_EQ(outputs[0], outputs[2]);
}

TEST(BadInputs, BinaryGarbage) {
    uint32_t state = 12345;
    auto garbage = [&state](size_t size) {
        std::string bytes;
        for (size_t i = 0; i < size; ++i) {
            state = state * 1103515245u + 12345u;
            bytes.push_back(static_cast<char>(state >> 23));
        }
        return bytes;
    };
    std::vector<BadInput> cases;
    for (const size_t size : {1, 64, 4096, 70000}) cases.push_back({"garbage of " + std::to_string(size) + " bytes", garbage(size), 1, ""});
    const std::string header = HeaderText(Fields{});
    cases.push_back({"garbage after a valid header", header + garbage(2000), -1, ""});
    cases.push_back({"NUL bytes everywhere", std::string(500, '\0'), 1, ""});
    RunAll(cases);
}

TEST(BadInputs, UnreadableFile) {
    ScratchFolder outer;
    const std::string folder = outer / "night";
    ::mkdir(folder.c_str(), 0777);
    ::chmod(folder.c_str(), 0777);  // whatever the umask: the other user below writes the listing
    ::chmod(outer.path().c_str(), 0755);
    WriteText(folder + "/" + kInputName, Text(Fields{}));
    ::chmod((folder + "/" + kInputName).c_str(), 0);
    // Permissions do not stop the superuser: run the program as an unprivileged user instead.
    std::string prefix;
    if (::geteuid() == 0) {
        if (std::system("setpriv --reuid=65534 --regid=65534 --clear-groups true > /dev/null 2>&1") != 0) {
            GTEST_SKIP() << "running as root and cannot switch to another user";
        }
        prefix = "setpriv --reuid=65534 --regid=65534 --clear-groups ";
    }
    const ProgramRun run = RunCalstars2fp({folder}, "", prefix + kWatchdog);
    if (run.status == 126 || run.status == 127) GTEST_SKIP() << "the other user cannot run the program here";
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.output, " Cannot open Cal Star Extraction file " + folder + "/" + kInputName + " for reading \n");
    EXPECT_EQ(ListFolder(folder), (std::vector<std::string>{kInputName, "DirListingCalstars.txt"}));
}

}  // namespace

namespace {

// Output that cannot be written: a file-size limit (the write fails with EFBIG; SIGXFSZ is ignored
// so the write returns instead of killing), or, for the superuser, a nearly full small tmpfs
// (ENOSPC). The first CALSTARS file's small images fit either way; the second's large ones do not.
// Workers write files ahead of their turn, whose temporary files take room the sequential loop
// would not have taken yet: three of them fail at the same record as one.
struct DiskFullCase {
    const char* what;
    const char* shell_prefix;
    bool on_tmpfs;
    const char* failing;  // the record whose file cannot be written
    int error;            // the system's reason, which the line gives
};

// Unmounts the tmpfs before its scratch folder is removed, whatever the test's outcome.
struct TmpfsMount {
    std::string folder;
    ~TmpfsMount() {
        if (!folder.empty() && std::system(("umount " + folder).c_str()) != 0) ADD_FAILURE() << "cannot unmount " << folder;
    }
};

TEST(BadInputs, DiskFullReportsTheFileAndKeepsEverythingWrittenBefore) {
    const DiskFullCase cases[] = {
        {"file-size limit", "trap '' XFSZ; prlimit --fsize=20000 ", false, "B1.bin", EFBIG},
        {"full tmpfs", "", true, "B2.bin", ENOSPC},
    };
    for (const DiskFullCase& c : cases) {
        for (const char* jobs : {"1", "3"}) {
            SCOPED_TRACE(std::string(c.what) + ", --jobs " + jobs);
            ScratchFolder outer;
            const std::string folder = outer / "night";
            ::mkdir(folder.c_str(), 0755);
            TmpfsMount mounted;
            if (c.on_tmpfs) {
                const std::string mount = "mount -t tmpfs -o size=80k tmpfs " + folder + " > /dev/null 2>&1";
                if (::geteuid() != 0 || std::system(mount.c_str()) != 0) {
                    std::printf("skipped %s: needs the superuser and a tmpfs mount\n", c.what);
                    continue;
                }
                mounted.folder = folder;
            }
            WriteText(folder + "/CALSTARS_A.txt", CalstarsText(20, 24, 1, {{"A1.bin", 3, 1, {{"5", "5", "1900", "2000"}}}, {"A2.bin", 3, 1, {{"9", "9", "900", "1000"}}}}));
            WriteText(folder + "/CALSTARS_B.txt", CalstarsText(100, 100, 1, {{"B1.bin", 3, 1, {{"5", "5", "1900", "2000"}}}, {"B2.bin", 3, 1, {{"9", "9", "900", "1000"}}}}));
            WriteText(folder + "/B2.bin", "the file of an earlier run");
            const ProgramRun run = RunCalstars2fp({"--jobs", jobs, folder}, "", c.shell_prefix + kWatchdog);
            EXPECT_EQ(run.status, 1) << c.what << "\n" << run.output;
            const std::vector<std::string> lines = Lines(run.output);
            EXPECT_EQ(lines.empty() ? "" : lines.back(),
                      " Cannot write output file " + folder + "/" + c.failing + ": " + std::strerror(c.error) + " ")
                << c.what;
            EXPECT_EQ(std::count_if(lines.begin(), lines.end(), IsMessage), 1) << c.what << "\n" << run.output;
            EXPECT_EQ(ReadBytes(folder + "/A1.bin").size(), 20u + 4 * 20 * 24) << c.what;
            EXPECT_EQ(ReadBytes(folder + "/A2.bin").size(), 20u + 4 * 20 * 24) << c.what;
            EXPECT_EQ(ReadText(folder + "/B2.bin"), "the file of an earlier run") << c.what;
            std::vector<std::string> expected = {"A1.bin", "A2.bin", "B2.bin", "CALSTARS_A.txt", "CALSTARS_B.txt", "DirListingCalstars.txt"};
            if (std::string(c.failing) == "B2.bin") {
                EXPECT_EQ(ReadBytes(folder + "/B1.bin").size(), 20u + 4 * 100 * 100) << c.what;
                expected.insert(expected.begin() + 2, "B1.bin");
            }
            EXPECT_EQ(ListFolder(folder), expected) << c.what;
        }
    }
}

}  // namespace
