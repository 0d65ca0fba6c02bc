#include "driver/batch.h"

#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <fstream>

#include "calstars/calstars.h"
#include "driver/interruption.h"
#include "driver/paths.h"
#include "driver/platform.h"
#include "driver/usage.h"
#include "failure.h"
#include "fourproduct/fourproduct.h"
#include "reconstitution/gauss_star.h"
#include "reconstitution/reconstitution.h"

namespace {

// Bytes per pixel that a CALSTARS file's image needs while it is processed: four 8-bit planes, three
// 16-bit work images and one 32-bit pixel list.
constexpr uint64_t kBytesPerPixel = 4 * 1 + 3 * 2 + 4;

void CheckFolder(const std::string& folder) {
    if (folder.empty()) Fail(WaitKind::Character, " The folder argument is empty \n");
    if (folder.size() > kMaxFolderLength) {
        Fail(WaitKind::Character, Format(" Folder %s is longer than %zu characters \n", folder.c_str(), kMaxFolderLength));
    }
    if (kFolderSeparator == '\\' && folder.find('"') != std::string::npos) {
        Fail(WaitKind::Character, Format(" Folder %s contains a double quote \n", folder.c_str()));
    }
}

std::string JoinPath(const std::string& folder, const std::string& name, const char* what) {
    const std::string path = folder + name;
    if (path.size() >= kPathBuffer) {
        Fail(WaitKind::None, Format(" The %s path %s is longer than %zu characters \n", what, path.c_str(), kPathBuffer - 1));
    }
    return path;
}

// Reads the next line of the listing, without its line end (a carriage return before it included).
bool ReadListingLine(std::ifstream& listing, std::string& line) {
    if (!std::getline(listing, line)) return false;
    if (!line.empty() && line.back() == '\r') line.pop_back();
    return true;
}

void ProcessCalstarsFile(const std::string& folder, const std::string& calstars_path, CalStarExtraction& extraction,
                         FourProduct& product, ReconWorkBuffers& buffers) {
    OpenCalStarExtraction(calstars_path, extraction);
    CheckMemoryBudget(extraction.rows, extraction.cols, 1, PhysicalMemoryBytes(), calstars_path);
    FourProduct_MemSetup(product, extraction.first_int, extraction.rows, extraction.cols);
    CalStarReconsitution_MemSetup(buffers, extraction);
    while (ReadCalStarFrame(extraction) == 0) {
        Interruption_NameRecord(extraction.name);
        if (WouldOverwriteInput(extraction.name)) {
            Fail(WaitKind::None, Format(" Record name %s in %s would overwrite an input of the run \n", extraction.name.c_str(),
                                        calstars_path.c_str()));
        }
        CheckMemoryBudget(extraction.rows, extraction.cols, extraction.window, PhysicalMemoryBytes(), calstars_path);
        CalStarReconsitution(buffers, extraction, product);
        product.output_name[product.bank] = JoinPath(folder, extraction.name, "output");
        std::printf("%s\n", extraction.name.c_str());
        std::fflush(stdout);
        FourProduct_WriteFile(product);
        Interruption_RecordDone();
        CalStarReconsitution_FrameFree(buffers);
    }
    CalStarReconsitution_MemFree(buffers);
}

}  // namespace

void CheckMemoryBudget(int32_t rows, int32_t cols, int32_t window, uint64_t physical_bytes, const std::string& path) {
    const uint64_t npix = static_cast<uint64_t>(rows) * static_cast<uint64_t>(cols);
    const int32_t half = window > 0 ? (window - 1) / 2 : 0;
    const uint64_t needed = kBytesPerPixel * npix + GaussStar_TableBytes(half);
    // Leave a quarter of the machine to the system; on a 32-bit build the address space is the limit.
    uint64_t limit = physical_bytes / 4 * 3;
    if (sizeof(size_t) < 8 && (limit == 0 || limit > (uint64_t{1} << 31))) limit = uint64_t{1} << 31;
    if (limit != 0 && needed > limit) {
        Fail(WaitKind::None, Format(" Image of %" PRId32 " x %" PRId32 " pixels with window %" PRId32 " in %s needs %" PRIu64
                                    " MB of memory, more than the %" PRIu64 " MB this machine can give \n",
                                    rows, cols, window, path.c_str(), needed >> 20, limit >> 20));
    }
}

int RunBatch(const std::string& folder_argument) {
    CheckFolder(folder_argument);
    const std::string folder = EnsureTrailingSeparator(folder_argument, kFolderSeparator);
    if (folder.size() > kMaxFolderLength) CheckFolder(folder);
    const std::string listing_path = folder + kListingName;
    Interruption_Watch(folder);
    WriteCalstarsListing(folder, listing_path);

    std::ifstream listing(listing_path);
    // A directory of the listing's name opens but cannot be read: it is no listing either.
    listing.peek();
    if (!listing || listing.bad()) {
        Fail(WaitKind::Character, Format(" Directory listing file %s not found (or not generated)\n\n", listing_path.c_str()));
    }
    CalStarExtraction extraction;
    FourProduct product;
    ReconWorkBuffers buffers;
    std::string line;
    while (ReadListingLine(listing, line)) {
        if (!CutAfterTxt(line)) continue;
        ProcessCalstarsFile(folder, JoinPath(folder, line, "CALSTARS file"), extraction, product, buffers);
    }
    return 0;
}

int RunProgram(int argc, char** argv) {
    if (argc >= 2 && std::strcmp(argv[1], "--help") == 0) {
        PrintUsage();
        return 0;
    }
    if (argc >= 2 && std::strcmp(argv[1], "--version") == 0) {
        PrintVersion();
        return 0;
    }
    if (argc >= 2) return RunBatch(argv[1]);
    std::string chosen;
    std::string folder;
    std::string file_name;
    if (!SelectCalStarsFile(chosen) || chosen.size() >= kPathBuffer - 1 ||
        !SplitFolderAndName(chosen, folder, file_name, kFolderSeparator)) {
        Fail(WaitKind::None, " ERROR getting CALSTARS filename \n");
    }
    // A file in the root of a POSIX file system splits into an empty folder: the root itself.
    return RunBatch(folder.empty() ? std::string(1, kFolderSeparator) : folder);
}

int ReportFailure(const Failure& failure) {
    std::fputs(failure.message.c_str(), stdout);
    std::fflush(stdout);
    if (failure.wait == WaitKind::Character) {
        std::getchar();
    } else if (failure.wait == WaitKind::Integer) {
        int discarded = 0;
        if (std::scanf("%d", &discarded) != 1) discarded = 0;
    }
    return 1;
}
