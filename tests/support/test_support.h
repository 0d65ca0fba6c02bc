// Helpers shared by the tests: scratch folders, files, and running the built program.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "calstars/calstars_writer.h"
#include "fourproduct/fourproduct.h"

// A fresh folder under the system's temporary folder, removed with everything in it at the end.
class ScratchFolder {
public:
    ScratchFolder();
    ~ScratchFolder();
    ScratchFolder(const ScratchFolder&) = delete;
    ScratchFolder& operator=(const ScratchFolder&) = delete;
    const std::string& path() const { return path_; }  // ends without a separator
    std::string operator/(const std::string& name) const { return path_ + "/" + name; }

private:
    std::string path_;
};

void WriteText(const std::string& path, const std::string& text);
std::string ReadText(const std::string& path);
std::vector<uint8_t> ReadBytes(const std::string& path);
bool Exists(const std::string& path);
// Names in a folder, sorted (without "." and "..").
std::vector<std::string> ListFolder(const std::string& folder);

struct ProgramRun {
    int status = -1;      // exit status, or 128 + signal number when killed by a signal
    std::string output;   // standard output
};

// Runs the built program with `arguments` (each passed as one word), standard input from `input`.
// Defined in run_program.cpp, which only the native (POSIX) build compiles. `shell_prefix` goes
// before the program in the shell command: a watchdog, a resource limit, another user
// ("timeout -s KILL 20 ", "prlimit --fsize=4096 ").
ProgramRun RunCalstars2fp(const std::vector<std::string>& arguments, const std::string& input = "",
                          const std::string& shell_prefix = "");
// The same for any built program.
ProgramRun RunExecutable(const std::string& executable, const std::vector<std::string>& arguments, const std::string& input = "",
                         const std::string& shell_prefix = "");

// A CALSTARS file's text as the CALSTARS writer lays it out: its free lines and a header of the
// given values, then the given records, then the end marker. Each record is its name, window,
// divisor and its star lines, each given as the text of its four values ("row", "col",
// "intensity", "total"), so that a test may put any text in any of them.
struct TestRecord {
    std::string name;
    int window = 9;
    int divisor = 1;
    std::vector<CalStarStarFields> stars;
};
std::string CalstarsText(int rows, int cols, int nstars, const std::vector<TestRecord>& records, int first_int = 1);

// A value for every pixel of every product that differs between products and runs through all 256
// byte values once a plane has 256 pixels.
uint8_t PatternValue(int product, size_t pixel);
// Writes a four-product file of rows x cols with PatternValue, through the program's writer.
void WritePatternFile(const std::string& path, int32_t rows, int32_t cols, int32_t first_int = 3);
// A copy of product `product` of the record's current bank: rows x cols bytes.
std::vector<uint8_t> PlaneBytes(const FourProduct& record, int product);

// True when this build runs under AddressSanitizer or ThreadSanitizer, whose shadow memory a limited
// address space (ulimit -v) cannot hold: tests that limit it skip there.
bool SanitizerNeedsTheAddressSpace();

// Runs `check` once under each vector target this build compiled and this processor runs (best first,
// the plain one-lane target last), each forced in turn for every fast stage; afterwards the stages
// choose for themselves again. `check` gets the target's name, for its messages.
void ForEachVectorTarget(const std::function<void(const std::string& target)>& check);

// Each conformance case under `root` (a folder with input/ and expected/): `run` gets a scratch folder
// holding a copy of the case's input, and the case's name for its messages, and runs the program on
// it; then every expected file must stand in that folder byte for byte. Returns the number of cases.
int CheckConformanceCases(const std::string& root, const std::function<void(const std::string& folder, const std::string& name)>& run);
