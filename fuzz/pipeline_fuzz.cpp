// Fuzz target: the whole per-file pipeline (listing, reader, memory check, reconstitution, writer)
// on small CALSTARS files whose header values, windows, names, stars and background levels come from
// the fuzzer's bytes. Every input must end in written files or a Failure, and must leave no
// temporary file behind.
#include <dirent.h>
#include <unistd.h>

#include <fuzzer/FuzzedDataProvider.h>

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "calstars/calstars_writer.h"
#include "driver/batch.h"
#include "failure.h"
#include "safe_output/safe_output.h"

namespace {

constexpr int kMaxSide = 64;     // images up to 64 x 64
constexpr int kMaxWindow = 7;    // the profile table grows with the window squared: keep it small
constexpr int kMaxStars = 16;
constexpr int kMaxRecords = 3;
constexpr const char* kCalstarsName = "CALSTARS_F.txt";

// Names a record may take: plain ones, ones the writer must refuse, and ones that meet the
// writer's temporary names or the run's inputs.
const char* const kNames[] = {"A.bin", "B.bin", "A.bin.partial", "../A.bin", "sub/A.bin", "a\\b", "..", ".",
                              "CALSTARS_G.txt", "calstars_f.TXT", "DirListingCalstars.txt", "x"};

const std::string& ScratchFolder() {
    static const std::string folder = [] {
        char pattern[] = "/tmp/calstars-pipeline-fuzz-XXXXXX";
        if (::mkdtemp(pattern) == nullptr) std::abort();
        // The names printed for written files would flood the fuzzer's output.
        if (std::freopen("/dev/null", "w", stdout) == nullptr) std::abort();
        return std::string(pattern) + "/";
    }();
    return folder;
}

std::vector<std::string> FolderNames(const std::string& folder) {
    std::vector<std::string> names;
    DIR* directory = ::opendir(folder.c_str());
    if (directory == nullptr) std::abort();
    while (const dirent* entry = ::readdir(directory)) {
        const std::string name = entry->d_name;
        if (name != "." && name != "..") names.push_back(name);
    }
    ::closedir(directory);
    return names;
}

void EmptyFolder(const std::string& folder) {
    for (const std::string& name : FolderNames(folder)) std::remove((folder + name).c_str());
}

// A coordinate: mostly inside or near the image, sometimes any float at all (NaN, infinities, huge).
std::string Coordinate(FuzzedDataProvider& bytes, int side) {
    char text[64];
    if (bytes.ConsumeIntegralInRange<int>(0, 7) == 0) {
        const uint32_t bits = bytes.ConsumeIntegral<uint32_t>();
        float value = 0.0f;
        std::memcpy(&value, &bits, sizeof value);
        std::snprintf(text, sizeof text, "%.9g", static_cast<double>(value));
    } else {
        const double value = bytes.ConsumeFloatingPointInRange<double>(-12.0, side + 12.0);
        std::snprintf(text, sizeof text, "%.2f", value);
    }
    return text;
}

// The text through the CALSTARS writer's pieces, with the fuzzer's values as their field texts. The
// values are drawn in the order of the file.
std::string CalstarsText(FuzzedDataProvider& bytes) {
    const int rows = bytes.ConsumeIntegralInRange<int>(0, kMaxSide);
    const int cols = bytes.ConsumeIntegralInRange<int>(0, kMaxSide);
    const int nstars = bytes.ConsumeIntegralInRange<int>(0, kMaxStars);
    CalStarHeaderFields header = CalStarHeader_Fields(CalStarExtraction{});
    header.header_text = "fuzz";
    header.first_int = std::to_string(bytes.ConsumeIntegral<int32_t>());
    header.rows = std::to_string(rows);
    header.cols = std::to_string(cols);
    header.nstars = std::to_string(nstars);
    std::string text = CalStarHeader_Lines(header);
    const int records = bytes.ConsumeIntegralInRange<int>(0, kMaxRecords);
    for (int r = 0; r < records; ++r) {
        CalStarRecordFields record;
        record.name = bytes.PickValueInArray(kNames);
        record.window = std::to_string(bytes.ConsumeIntegralInRange<int>(-1, kMaxWindow));
        record.divisor = std::to_string(bytes.ConsumeIntegralInRange<int>(-3, 40));
        text += CalStarRecord_Lines(record);
        for (int s = 0; s < nstars; ++s) {
            // intensity and total anywhere in 32 bits: the reader keeps their low 16 bits, and the
            // background level (total - intensity) / divisor may fall outside 0..255.
            CalStarStarFields star;
            star.row = Coordinate(bytes, rows);
            star.col = Coordinate(bytes, cols);
            star.intensity = std::to_string(bytes.ConsumeIntegral<int32_t>());
            star.total = std::to_string(bytes.ConsumeIntegral<int32_t>());
            text += CalStarStar_Line(star);
        }
    }
    return text + (bytes.ConsumeBool() ? kCalStarEndMarker : "");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string& folder = ScratchFolder();
    EmptyFolder(folder);
    FuzzedDataProvider bytes(data, size);
    const std::string text = CalstarsText(bytes);
    FILE* file = std::fopen((folder + kCalstarsName).c_str(), "wb");
    if (file == nullptr || std::fwrite(text.data(), 1, text.size(), file) != text.size()) std::abort();
    std::fclose(file);
    try {
        RunBatch(folder);
    } catch (const Failure&) {
        // A refusal is a correct answer; what it leaves behind is checked below.
    }
    for (const std::string& name : FolderNames(folder)) {
        // Temporary files live in the run's hidden folder, which goes with its last output.
        if (name.rfind(kSafeOutputFolderPrefix, 0) == 0) {
            std::fprintf(stderr, "hidden folder %s left behind\n", name.c_str());
            std::abort();
        }
    }
    return 0;
}
