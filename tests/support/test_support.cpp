#include "support/test_support.h"

#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

namespace fs = std::filesystem;

ScratchFolder::ScratchFolder() {
    std::string pattern = (fs::temp_directory_path() / "calstars2fp-test-XXXXXX").string();
    if (::mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("cannot create a scratch folder");
    path_ = pattern;
}

ScratchFolder::~ScratchFolder() {
    std::error_code ignored;
    fs::permissions(path_, fs::perms::owner_all, fs::perm_options::add, ignored);
    fs::remove_all(path_, ignored);
}

void WriteText(const std::string& path, const std::string& text) {
    std::ofstream file(path, std::ios::binary);
    file << text;
}

std::string ReadText(const std::string& path) {
    std::ifstream file(path, std::ios::binary);
    std::ostringstream text;
    text << file.rdbuf();
    return text.str();
}

std::vector<uint8_t> ReadBytes(const std::string& path) {
    const std::string text = ReadText(path);
    return std::vector<uint8_t>(text.begin(), text.end());
}

bool Exists(const std::string& path) { return fs::exists(path); }

std::vector<std::string> ListFolder(const std::string& folder) {
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(folder)) names.push_back(entry.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

namespace {

std::string ShellQuote(const std::string& word) {
    std::string quoted = "'";
    for (char c : word) quoted += (c == '\'') ? std::string("'\\''") : std::string(1, c);
    return quoted + "'";
}

}  // namespace

ProgramRun RunCalstars2fp(const std::vector<std::string>& arguments, const std::string& input) {
    return RunExecutable(CALSTARS2FP_EXE, arguments, input);
}

ProgramRun RunExecutable(const std::string& executable, const std::vector<std::string>& arguments, const std::string& input) {
    ScratchFolder io;
    WriteText(io / "stdin", input);
    std::string command = ShellQuote(executable);
    for (const std::string& argument : arguments) command += " " + ShellQuote(argument);
    command += " < " + ShellQuote(io / "stdin") + " > " + ShellQuote(io / "stdout") + " 2>&1";
    const int raw = std::system(command.c_str());
    ProgramRun run;
    run.output = ReadText(io / "stdout");
    if (WIFEXITED(raw)) run.status = WEXITSTATUS(raw);
    return run;
}

std::string CalstarsText(int rows, int cols, int nstars, const std::vector<TestRecord>& records, int first_int) {
    std::ostringstream text;
    text << "Calibration star listing\nline 2\nline 3\nline 4\n------\n";
    text << "Camera = test camera\nCamera number = " << first_int << "\nNrows = " << rows << "\nNcols = " << cols
         << "\nNstars = " << nstars << "\n";
    for (const TestRecord& record : records) {
        text << "-----\n" << record.name << "\nwindow = " << record.window << "\ndivisor = " << record.divisor << "\n";
        for (const std::string& star : record.stars) text << star << "\n";
    }
    text << "#####\n";
    return text.str();
}
