#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "driver/usage.h"
#include "failure.h"

namespace {

CommandLine Parse(const std::vector<std::string>& words) {
    std::vector<const char*> argv = {"calstars2fp"};
    for (const std::string& word : words) argv.push_back(word.c_str());
    return ParseCommandLine(static_cast<int>(argv.size()), argv.data());
}

TEST(CommandLine, JobsComeFirstAndTheNextWordIsTheFolder) {
    struct Case {
        std::vector<std::string> words;
        CommandLine::Action action;
        int32_t jobs;
        bool has_folder;
        const char* folder;
    };
    const Case cases[] = {
        {{}, CommandLine::kRun, 0, false, ""},
        {{"night"}, CommandLine::kRun, 0, true, "night"},
        {{"night", "--jobs", "4"}, CommandLine::kRun, 0, true, "night"},  // only the first word is an option
        {{"--jobs", "4", "night"}, CommandLine::kRun, 4, true, "night"},
        {{"-j", "1", "night", "extra"}, CommandLine::kRun, 1, true, "night"},
        {{"--jobs", "256", "night"}, CommandLine::kRun, 256, true, "night"},
        {{"--jobs", "2"}, CommandLine::kRun, 2, false, ""},              // the dialog picks the folder
        {{"--jobs", "2", "--help"}, CommandLine::kRun, 2, true, "--help"},  // after the number: a folder
        {{"--jobs", "3", "--jobs"}, CommandLine::kRun, 3, true, "--jobs"},
        {{"./--jobs"}, CommandLine::kRun, 0, true, "./--jobs"},
        {{"--help", "--jobs", "x"}, CommandLine::kHelp, 0, false, ""},
        {{"--version"}, CommandLine::kVersion, 0, false, ""},
        {{"--Jobs", "2"}, CommandLine::kRun, 0, true, "--Jobs"},  // spelled otherwise: a folder
    };
    for (const Case& c : cases) {
        std::string line;
        for (const std::string& word : c.words) line += word + " ";
        const CommandLine parsed = Parse(c.words);
        EXPECT_EQ(parsed.action, c.action) << line;
        EXPECT_EQ(parsed.jobs, c.jobs) << line;
        EXPECT_EQ(parsed.has_folder, c.has_folder) << line;
        EXPECT_EQ(parsed.folder, c.folder) << line;
    }
}

TEST(CommandLine, BadNumbersOfWorkersAreRefusedWithOneLine) {
    struct Case {
        std::vector<std::string> words;
        const char* message;
    };
    const Case cases[] = {
        {{"--jobs"}, " Option --jobs needs a number of workers from 1 to 256 \n"},
        {{"-j"}, " Option -j needs a number of workers from 1 to 256 \n"},
        {{"--jobs", "0", "night"}, " Option --jobs takes a whole number of workers from 1 to 256, not \"0\" \n"},
        {{"-j", "257", "night"}, " Option -j takes a whole number of workers from 1 to 256, not \"257\" \n"},
        {{"--jobs", "-2", "night"}, " Option --jobs takes a whole number of workers from 1 to 256, not \"-2\" \n"},
        {{"--jobs", "+2", "night"}, " Option --jobs takes a whole number of workers from 1 to 256, not \"+2\" \n"},
        {{"--jobs", "2.5", "night"}, " Option --jobs takes a whole number of workers from 1 to 256, not \"2.5\" \n"},
        {{"--jobs", "", "night"}, " Option --jobs takes a whole number of workers from 1 to 256, not \"\" \n"},
        {{"--jobs", " 2", "night"}, " Option --jobs takes a whole number of workers from 1 to 256, not \" 2\" \n"},
        {{"--jobs", "99999999999999999999", "night"},
         " Option --jobs takes a whole number of workers from 1 to 256, not \"99999999999999999999\" \n"},
        {{"--jobs", "night"}, " Option --jobs takes a whole number of workers from 1 to 256, not \"night\" \n"},
    };
    for (const Case& c : cases) {
        try {
            Parse(c.words);
            ADD_FAILURE() << c.message;
        } catch (const Failure& failure) {
            EXPECT_EQ(failure.message, c.message);
            EXPECT_EQ(failure.wait, WaitKind::None);
        }
    }
}

}  // namespace
