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

TEST(SafeOutput, CommitPutsTheBytesUnderTheFinalNameAndRemovesOnlyAbandonedTemporaries) {
    struct Case {
        const char* what;
        std::vector<std::pair<std::string, std::string>> before;  // finished files (of any run, or the user's)
        const char* temporary;                                    // name the bytes are written under
        std::vector<std::pair<std::string, std::string>> left;    // temporaries left by a killed run
    };
    const std::string mark = Abandoned("");
    const Case cases[] = {
        {"new file", {}, "out.bin.partial", {}},
        {"existing file replaced", {{"out.bin", std::string(1000, 'x')}}, "out.bin.partial", {}},
        {"finished file named like the temporary", {{"out.bin.partial", "earlier record"}}, "out.bin.partial2", {}},
        {"two such files", {{"out.bin.partial", "one"}, {"out.bin.partial2", "two"}}, "out.bin.partial3", {}},
        {"empty file at the temporary name", {{"out.bin.partial", ""}}, "out.bin.partial2", {}},
        {"file holding all but the last byte of the mark", {{"out.bin.partial", mark.substr(0, kTemporaryMarkBytes - 1)}},
         "out.bin.partial2", {}},
        {"mark further in", {{"out.bin.partial", "x" + mark}}, "out.bin.partial2", {}},
        {"temporary of a killed run", {}, "out.bin.partial", {{"out.bin.partial", Abandoned("cut short")}}},
        {"killed run's temporary holding only the mark", {}, "out.bin.partial", {{"out.bin.partial", mark}}},
        {"killed run's temporary after a finished file", {{"out.bin.partial", "one"}}, "out.bin.partial2",
         {{"out.bin.partial2", Abandoned("cut short")}}},
    };
    for (const Case& c : cases) {
        ScratchFolder folder;
        for (const auto& [name, text] : c.before) ::WriteText(folder / name, text);
        for (const auto& [name, text] : c.left) ::WriteText(folder / name, text);
        SafeOutput output;
        ASSERT_TRUE(SafeOutput_Open(output, folder / "out.bin")) << c.what;
        EXPECT_EQ(output.temporary_name, folder / c.temporary) << c.what;
        EXPECT_TRUE(Exists(folder / c.temporary)) << c.what;
        std::string held;
        if (ReadWhileHeld(folder / c.temporary, held)) {
            EXPECT_EQ(held, mark) << c.what;
        }
        ASSERT_TRUE(WriteText(output, kBytes)) << c.what;
        ASSERT_TRUE(SafeOutput_Commit(output)) << c.what;
        EXPECT_EQ(ReadText(folder / "out.bin"), kBytes) << c.what;
        EXPECT_FALSE(Exists(folder / c.temporary)) << c.what;
        for (const auto& [name, text] : c.before) {
            if (name != "out.bin") {
                EXPECT_EQ(ReadText(folder / name), text) << c.what << ": " << name;
            }
        }
        EXPECT_TRUE(output.temporary_name.empty()) << c.what;
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
    ASSERT_TRUE(SafeOutput_Open(first, folder / "a.bin"));  // under a.bin.partial2
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
    // A final name that looks like a temporary one is reserved while it is written, as the driver does.
    SafeOutput_Reserve(folder / "same.bin.partial");
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
    SafeOutput_Release(folder / "same.bin.partial");
    EXPECT_EQ(failures, std::vector<int>(4, 0));
    EXPECT_EQ(ListFolder(folder.path()), (std::vector<std::string>{"other.bin", "same.bin", "same.bin.partial"}));
    for (const std::string& name : ListFolder(folder.path())) {
        const std::string text = ReadText(folder / name);
        EXPECT_EQ(text.size(), 1000u) << name;
        EXPECT_EQ(text.find_first_not_of(text[0]), std::string::npos) << name << ": two writers in one file";
    }
}

}  // namespace
