#include "support/test_support.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <stdexcept>

#include <gtest/gtest.h>
#include <hwy/targets.h>

#include "reconstitution/vector_target.h"

namespace fs = std::filesystem;

ScratchFolder::ScratchFolder() {
    // A random name that no other folder has yet; create_directory refuses one that exists, so two
    // test processes can never share a folder.
    std::random_device entropy;
    for (int attempt = 0; attempt < 100; ++attempt) {
        char suffix[16];
        std::snprintf(suffix, sizeof suffix, "%08x", static_cast<unsigned>(entropy()));
        const fs::path candidate = fs::temp_directory_path() / ("calstars2fp-test-" + std::string(suffix));
        std::error_code error;
        if (fs::create_directory(candidate, error)) {
            path_ = candidate.string();
            return;
        }
    }
    throw std::runtime_error("cannot create a scratch folder");
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

std::string CalstarsText(int rows, int cols, int nstars, const std::vector<TestRecord>& records, int first_int) {
    CalStarExtraction header;
    header.header_text = "test camera";
    header.first_int = first_int;
    header.rows = rows;
    header.cols = cols;
    header.nstars = nstars;
    std::string text = CalStarHeader_Lines(CalStarHeader_Fields(header));
    for (const TestRecord& record : records) {
        text += CalStarRecord_Lines(CalStarRecordFields{record.name, std::to_string(record.window), std::to_string(record.divisor)});
        for (const CalStarStarFields& star : record.stars) text += CalStarStar_Line(star);
    }
    return text + kCalStarEndMarker;
}

uint8_t PatternValue(int product, size_t pixel) { return static_cast<uint8_t>((pixel * 7 + product * 61) % 256); }

void WritePatternFile(const std::string& path, int32_t rows, int32_t cols, int32_t first_int) {
    FourProduct record;
    FourProduct_MemSetup(record, first_int, rows, cols);
    const size_t npix = static_cast<size_t>(rows) * static_cast<size_t>(cols);
    for (int product = 0; product < kProducts; ++product) {
        for (size_t p = 0; p < npix; ++p) FourProduct_Plane(record, product)[p] = PatternValue(product, p);
    }
    record.output_name[record.bank] = path;
    FourProduct_WriteFile(record);
}

std::vector<uint8_t> PlaneBytes(const FourProduct& record, int product) {
    const uint8_t* plane = FourProduct_Plane(record, product);
    return std::vector<uint8_t>(plane, plane + static_cast<size_t>(record.rows) * static_cast<size_t>(record.cols));
}

bool SanitizerNeedsTheAddressSpace() {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    return true;  // GCC
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
    return true;  // clang
#else
    return false;
#endif
#else
    return false;
#endif
}

void ForEachVectorTarget(const std::function<void(const std::string& target)>& check) {
    struct Restore {
        ~Restore() { hwy::SetSupportedTargetsForTest(0); }
    } restore;
    for (const int64_t target : VectorTarget_Available()) {
        hwy::SetSupportedTargetsForTest(target);
        check(VectorTarget_NameOf(target));
    }
}

int CheckConformanceCases(const std::string& root, const std::function<void(const std::string& folder, const std::string& name)>& run) {
    int cases = 0;
    for (const auto& entry : fs::directory_iterator(root)) {
        if (!fs::is_directory(entry.path() / "input")) continue;
        ++cases;
        ScratchFolder scratch;
        for (const auto& input : fs::directory_iterator(entry.path() / "input")) {
            fs::copy_file(input.path(), fs::path(scratch.path()) / input.path().filename());
        }
        const std::string name = entry.path().filename().string();
        run(scratch.path(), name);
        for (const auto& expected : fs::directory_iterator(entry.path() / "expected")) {
            const std::string file = expected.path().filename().string();
            EXPECT_TRUE(ReadBytes(scratch / file) == ReadBytes(expected.path().string())) << name << "/" << file << " differs";
        }
    }
    return cases;
}
