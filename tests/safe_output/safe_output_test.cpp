#include "safe_output/safe_output.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "failure.h"
#include "support/test_support.h"

namespace {

const std::string kBytes = "four-product bytes";

bool WriteText(SafeOutput& output, const std::string& text) { return SafeOutput_Write(output, text.data(), text.size()); }

// What a run killed while writing leaves: its temporary file, still beginning with the mark.
std::string Abandoned(const std::string& rest) {
    return std::string(reinterpret_cast<const char*>(kTemporaryMark), kTemporaryMarkBytes) + rest;
}

// The bytes another process finds in a temporary file being written: true with its text, or false
// where the writer's handle shares nothing with other processes (Windows).
bool ReadWhileHeld(const std::string& path, std::string& text) {
    std::ifstream file(path, std::ios::binary);
    if (!file) return false;
    std::ostringstream bytes;
    bytes << file.rdbuf();
    text = bytes.str();
    return true;
}

// The hidden folders of this process in `folder` (there is at most one while outputs are open there).
std::vector<std::string> HiddenFolders(const std::string& folder) {
    std::vector<std::string> hidden;
    for (const std::string& name : ListFolder(folder)) {
        if (name.rfind(kSafeOutputFolderPrefix, 0) == 0) hidden.push_back(name);
    }
    return hidden;
}

// Whatever stands beside the final name stays as it is, files named like the temporary files of
// earlier versions ("<name>.partial", marked or not) included: the temporary file lives in the
// process's hidden folder, which goes with the last output open in the folder.
TEST(SafeOutput, CommitReplacesOnlyTheFinalNameAndLeavesEverythingBesideIt) {
    struct Case {
        const char* what;
        std::vector<std::pair<std::string, std::string>> before;  // files of any run, or the user's
    };
    const std::string mark = Abandoned("");
    const Case cases[] = {
        {"new file", {}},
        {"existing file replaced", {{"out.bin", std::string(1000, 'x')}}},
        {"finished file named like an old temporary", {{"out.bin.partial", "earlier record"}, {"out.bin.partial2", "two"}}},
        {"marked leftovers of an earlier version", {{"out.bin.partial", Abandoned("cut short")}, {"out.bin.partial2", mark}}},
        {"file named like a hidden folder", {{std::string(kSafeOutputFolderPrefix) + "1-2-3", mark}}},
    };
    for (const Case& c : cases) {
        ScratchFolder folder;
        for (const auto& [name, text] : c.before) ::WriteText(folder / name, text);
        SafeOutput output;
        ASSERT_TRUE(SafeOutput_Open(output, folder / "out.bin")) << c.what;
        const std::vector<std::string> hidden = HiddenFolders(folder.path());
        ASSERT_EQ(hidden.size(), c.what == std::string("file named like a hidden folder") ? 2u : 1u) << c.what;
        EXPECT_EQ(output.temporary_name.rfind(folder.path() + "/" + kSafeOutputFolderPrefix, 0), 0u) << c.what;
        EXPECT_TRUE(Exists(output.temporary_name)) << c.what;
        std::string held;
        if (ReadWhileHeld(output.temporary_name, held)) {
            EXPECT_EQ(held, mark) << c.what;
        }
        ASSERT_TRUE(WriteText(output, kBytes)) << c.what;
        ASSERT_TRUE(SafeOutput_Commit(output)) << c.what;
        EXPECT_EQ(ReadText(folder / "out.bin"), kBytes) << c.what;
        std::vector<std::string> expected = {"out.bin"};
        for (const auto& [name, text] : c.before) {
            if (name != "out.bin") {
                expected.push_back(name);
                EXPECT_EQ(ReadText(folder / name), text) << c.what << ": " << name;
            }
        }
        std::sort(expected.begin(), expected.end());
        EXPECT_EQ(ListFolder(folder.path()), expected) << c.what << ": the hidden folder is gone";
        EXPECT_TRUE(output.temporary_name.empty()) << c.what;
    }
}

// A final name that is the hidden folder's own (a record may be named anything) fails at its rename,
// a folder standing there; the temporary files in the hidden folder are not touched.
TEST(SafeOutput, FinalNameOfTheHiddenFolderFailsAndLosesNothing) {
    ScratchFolder folder;
    SafeOutput first;
    ASSERT_TRUE(SafeOutput_Open(first, folder / "A.bin"));
    ASSERT_TRUE(WriteText(first, kBytes));
    const std::vector<std::string> hidden = HiddenFolders(folder.path());
    ASSERT_EQ(hidden.size(), 1u);
    int error = 0;
    EXPECT_FALSE(SafeOutput_WriteWhole(folder / hidden[0], "other", 5, &error));
    EXPECT_NE(error, 0);
    ASSERT_TRUE(SafeOutput_Commit(first));
    EXPECT_EQ(ReadText(folder / "A.bin"), kBytes);
    EXPECT_EQ(ListFolder(folder.path()), std::vector<std::string>{"A.bin"});
}

// At the first output in a folder, the hidden folders that earlier processes left there (killed, no
// clean-up) are removed when provably abandoned: their lock file free, only marked files in them.
// Anything that is not provably such a leftover stays, and a folder is looked at once per process.
TEST(SafeOutput, AbandonedHiddenFoldersGoAndOnlyThose) {
    const std::string lock = kSafeOutputLockName;
    const std::string mark = Abandoned("");
    struct Case {
        const char* what;
        std::string name;                                         // of the hidden folder, or of a file
        std::vector<std::pair<std::string, std::string>> inside;  // its files (none: a file, not a folder)
        std::vector<std::string> left;                            // what stays inside ("-": it all stays)
        bool folder = true;
    };
    const std::string name = std::string(kSafeOutputFolderPrefix) + "4d2-7-18b0c1d2e3f4";
    const Case cases[] = {
        {"lock and marked files", name, {{lock, ""}, {"3", Abandoned("cut short")}, {"4", mark}}, {}},
        {"lock alone", name, {{lock, ""}}, {}},
        {"empty, no lock", name, {}, {}},
        {"marked file, no lock", name, {{"3", mark}}, {"-"}},
        {"an unmarked file beside the marked one", name, {{lock, ""}, {"3", mark}, {"5", "a user's file"}}, {lock, "5"}},
        {"a name not of the form", std::string(kSafeOutputFolderPrefix) + "Night", {{lock, ""}, {"3", mark}}, {"-"}},
        {"a file of that name", name, {}, {}, false},
    };
    for (const Case& c : cases) {
        ScratchFolder folder;
        const std::string path = folder / c.name;
        if (c.folder) {
            std::filesystem::create_directory(path);
            for (const auto& [file, text] : c.inside) ::WriteText(path + "/" + file, text);
        } else {
            ::WriteText(path, mark);
        }
        ASSERT_TRUE(SafeOutput_WriteWhole(folder / "out.bin", kBytes.data(), kBytes.size())) << c.what;
        std::vector<std::string> expected = {"out.bin"};
        const bool stays = !c.folder || !c.left.empty();
        if (stays) expected.push_back(c.name);
        std::sort(expected.begin(), expected.end());
        EXPECT_EQ(ListFolder(folder.path()), expected) << c.what;
        if (!c.folder || c.left.empty()) continue;
        std::vector<std::string> left = c.left;
        if (left == std::vector<std::string>{"-"}) {
            left.clear();
            for (const auto& [file, text] : c.inside) left.push_back(file);
        }
        std::sort(left.begin(), left.end());
        EXPECT_EQ(ListFolder(path), left) << c.what;
        // Once per folder and process: a leftover that appears later stays until another process.
        std::filesystem::create_directory(folder / (std::string(kSafeOutputFolderPrefix) + "1-1-1"));
        ASSERT_TRUE(SafeOutput_WriteWhole(folder / "out.bin", kBytes.data(), kBytes.size())) << c.what;
        EXPECT_TRUE(Exists(folder / (std::string(kSafeOutputFolderPrefix) + "1-1-1"))) << c.what;
    }
}

// The first bytes wait in memory while the mark stands in their place: files shorter and longer
// than the mark, written in pieces that end before, at and after its end, come out whole.
TEST(SafeOutput, FirstBytesReplaceTheMarkWhateverTheLengthAndPieces) {
    const size_t mark = kTemporaryMarkBytes;
    struct Case {
        size_t length;
        std::vector<size_t> pieces;  // sizes of the writes, the last one taking the rest
    };
    const Case cases[] = {
        {0, {}},      {1, {}},          {mark - 1, {}},     {mark, {}},           {mark + 1, {}},
        {5, {2, 3}},  {mark, {1, 1}},   {40, {mark - 1, 1}}, {40, {mark, 0, 1}}, {40, {mark + 1}},
        {100, {3, 20, 0, 7}},
    };
    for (const Case& c : cases) {
        ScratchFolder folder;
        std::string text;
        for (size_t i = 0; i < c.length; ++i) text.push_back(static_cast<char>('a' + i % 26));
        SafeOutput output;
        ASSERT_TRUE(SafeOutput_Open(output, folder / "out.bin"));
        size_t at = 0;
        for (size_t piece : c.pieces) {
            piece = std::min(piece, text.size() - at);
            ASSERT_TRUE(SafeOutput_Write(output, text.data() + at, piece));
            at += piece;
            std::string during;
            if (ReadWhileHeld(output.temporary_name, during)) {
                EXPECT_EQ(during.substr(0, mark), Abandoned("")) << c.length << " after " << at;
            }
        }
        ASSERT_TRUE(SafeOutput_Write(output, text.data() + at, text.size() - at));
        ASSERT_TRUE(SafeOutput_Commit(output));
        EXPECT_EQ(ReadText(folder / "out.bin"), text) << c.length;
        EXPECT_EQ(ListFolder(folder.path()), std::vector<std::string>{"out.bin"}) << c.length;
    }
}

// Names that cannot be a file are refused before anything is touched: no temporary name is made
// from them (an empty name would give ".partial" in the current folder, "night/" would give
// "night/.partial"), so the files there stay as they are.
TEST(SafeOutput, NamesThatAreNoFileAreRefusedBeforeAnythingIsTouched) {
    ScratchFolder folder;
    std::filesystem::create_directory(folder / "night");
    const std::string users = Abandoned("a user's file that looks abandoned");
    for (const char* name : {".partial", "night/.partial", "night.partial", ".partial2", "..partial"}) ::WriteText(folder / name, users);
    const std::string refused[] = {"", folder / "", folder / "night/", folder / "night/.", folder / "night/..", folder / ".",
                                   folder / "night//", folder / "night/./", "."};
    for (const std::string& name : refused) {
        SafeOutput output;
        EXPECT_FALSE(SafeOutput_Open(output, name)) << "'" << name << "'";
        EXPECT_NE(output.error, 0) << "'" << name << "'";
        EXPECT_FALSE(SafeOutput_ErrorText(output.error).empty());
        int error = 0;
        EXPECT_FALSE(SafeOutput_WriteWhole(name, kBytes.data(), kBytes.size(), &error)) << "'" << name << "'";
        EXPECT_NE(error, 0);
    }
    EXPECT_EQ(ListFolder(folder.path()), (std::vector<std::string>{"..partial", ".partial", ".partial2", "night", "night.partial"}));
    for (const char* name : {".partial", "night/.partial", "night.partial", ".partial2", "..partial"}) {
        EXPECT_EQ(ReadText(folder / name), users) << name;
    }
}

TEST(SafeOutput, FailuresLeaveNothingAndTheFinalNameAsItWas) {
    ScratchFolder folder;
    // No folder to create the temporary file in.
    SafeOutput missing;
    EXPECT_FALSE(SafeOutput_Open(missing, folder / "no-folder/out.bin"));
    EXPECT_NE(missing.error, 0);
    EXPECT_FALSE(SafeOutput_ErrorText(missing.error).empty());
    // A directory in the way of the final name: the bytes are written, the rename fails.
    std::filesystem::create_directory(folder / "taken.bin");
    SafeOutput taken;
    ASSERT_TRUE(SafeOutput_Open(taken, folder / "taken.bin"));
    ASSERT_TRUE(WriteText(taken, kBytes));
    EXPECT_FALSE(SafeOutput_Commit(taken));
    EXPECT_NE(taken.error, 0);
    // Abandoned after writing: the earlier file stays.
    ::WriteText(folder / "kept.bin", "earlier run");
    {
        SafeOutput abandoned;
        ASSERT_TRUE(SafeOutput_Open(abandoned, folder / "kept.bin"));
        ASSERT_TRUE(WriteText(abandoned, kBytes));
        SafeOutput_Abandon(abandoned);
        SafeOutput_Abandon(abandoned);  // twice does nothing
    }
    // Destroyed while open, as when a failure is thrown past it.
    try {
        SafeOutput thrown;
        ASSERT_TRUE(SafeOutput_Open(thrown, folder / "kept.bin"));
        Fail(WaitKind::None, "thrown");
    } catch (const Failure&) {
    }
    EXPECT_EQ(ReadText(folder / "kept.bin"), "earlier run");
    EXPECT_EQ(ListFolder(folder.path()), (std::vector<std::string>{"kept.bin", "taken.bin"}));
    EXPECT_TRUE(std::filesystem::is_empty(folder / "taken.bin"));
}

TEST(SafeOutput, SweepRemovesOnlyTheFilesBeingWritten) {
    ScratchFolder folder;
    const std::string earlier = "an earlier record's output";
    ASSERT_TRUE(SafeOutput_WriteWhole(folder / "a.bin.partial", earlier.data(), earlier.size()));
    ASSERT_TRUE(SafeOutput_WriteWhole(folder / "done.bin", kBytes.data(), kBytes.size()));
    SafeOutput first;
    SafeOutput second;
    ASSERT_TRUE(SafeOutput_Open(first, folder / "a.bin"));
    ASSERT_TRUE(WriteText(first, kBytes));
    ASSERT_TRUE(SafeOutput_Open(second, folder / "b.bin"));
    SafeOutput_RemoveTemporaries();
    // What an interrupted writer would go on to do finds its file gone and names nothing. (The
    // listing is taken after the handles are closed: on Windows a removed file that is still open
    // keeps its entry until then, as it does at the end of an interrupted process.)
    EXPECT_FALSE(SafeOutput_Commit(first));
    SafeOutput_Abandon(second);
    EXPECT_EQ(ListFolder(folder.path()), (std::vector<std::string>{"a.bin.partial", "done.bin"}));
    EXPECT_EQ(ReadText(folder / "a.bin.partial"), "an earlier record's output");
    // After a sweep nothing more is created, until the table is opened again.
    SafeOutput late;
    EXPECT_FALSE(SafeOutput_Open(late, folder / "late.bin"));
    SafeOutput_Reopen();
    EXPECT_TRUE(SafeOutput_WriteWhole(folder / "late.bin", kBytes.data(), kBytes.size()));
}

TEST(SafeOutput, TableOfOpenFilesIsBoundedAndFreedOnClose) {
    ScratchFolder folder;
    std::vector<std::unique_ptr<SafeOutput>> open;
    for (int i = 0; i < kSafeOutputSlots; ++i) {
        open.push_back(std::make_unique<SafeOutput>());
        ASSERT_TRUE(SafeOutput_Open(*open.back(), folder / ("f" + std::to_string(i)))) << i;
    }
    SafeOutput one_more;
    EXPECT_FALSE(SafeOutput_Open(one_more, folder / "extra"));
    EXPECT_FALSE(SafeOutput_ErrorText(one_more.error).empty());
    ASSERT_TRUE(SafeOutput_Commit(*open.front()));
    EXPECT_TRUE(SafeOutput_Open(one_more, folder / "extra"));
    // A path longer than the table holds is refused before anything is created.
    SafeOutput too_long;
    EXPECT_FALSE(SafeOutput_Open(too_long, folder / std::string(kSafeOutputPathBytes, 'x')));
    open.clear();
    SafeOutput_Abandon(one_more);
    EXPECT_EQ(ListFolder(folder.path()), std::vector<std::string>{"f0"});
}

// Several threads write files of one final name and of names like each other's temporary files at
// once, as a parallel run's workers do: every open gets a temporary file of its own (exclusive
// creation, no two writers in one file), every commit leaves a whole file, and no temporary is left.
TEST(SafeOutput, ThreadsWritingAtOnceNeverShareATemporaryFile) {
    ScratchFolder folder;
    const std::vector<std::string> names = {"same.bin", "same.bin.partial", "other.bin"};
    std::vector<std::thread> threads;
    std::vector<int> failures(4, 0);
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&, t] {
            const std::string text = std::string(1000, static_cast<char>('a' + t));
            for (int i = 0; i < 60; ++i) {
                SafeOutput output;
                const std::string name = folder / names[static_cast<size_t>(i) % names.size()];
                if (!SafeOutput_Open(output, name) || !WriteText(output, text) || !SafeOutput_Commit(output)) ++failures[t];
            }
        });
    }
    for (std::thread& thread : threads) thread.join();
    EXPECT_EQ(failures, std::vector<int>(4, 0));
    EXPECT_EQ(ListFolder(folder.path()), (std::vector<std::string>{"other.bin", "same.bin", "same.bin.partial"}));
    for (const std::string& name : ListFolder(folder.path())) {
        const std::string text = ReadText(folder / name);
        EXPECT_EQ(text.size(), 1000u) << name;
        EXPECT_EQ(text.find_first_not_of(text[0]), std::string::npos) << name << ": two writers in one file";
    }
}

}  // namespace
