#include "viewer/fourproduct_file.h"

#include <cinttypes>
#include <fstream>

#include "failure.h"

const char* const kProductNames[kProducts] = {"peak", "frame", "mean", "stddev"};
const char* const kProductDescriptions[kProducts] = {"peak value", "frame index of the peak", "mean value",
                                                     "standard deviation"};

namespace {

int32_t LittleEndianWord(const uint8_t* bytes) {
    const uint32_t word = bytes[0] | bytes[1] << 8 | bytes[2] << 16 | static_cast<uint32_t>(bytes[3]) << 24;
    return static_cast<int32_t>(word);
}

uint64_t ExpectedSize(const FourProductFile& file) {
    return kHeaderBytes + uint64_t{kProducts} * static_cast<uint64_t>(file.rows) * static_cast<uint64_t>(file.cols);
}

}  // namespace

void FourProductFile_DecodeHeader(const uint8_t* header, FourProductFile& file) {
    file.rows = LittleEndianWord(header);
    file.cols = LittleEndianWord(header + 4);
    file.bits_per_pixel = LittleEndianWord(header + 8);
    file.header_word4 = LittleEndianWord(header + 12);
    file.first_int_magnitude = LittleEndianWord(header + 16);
}

void FourProductFile_Check(const FourProductFile& file, uint64_t file_size, const std::string& path) {
    if (file.rows < 1 || file.cols < 1) {
        Fail(WaitKind::None, Format(" Four-product file %s has %" PRId32 " rows and %" PRId32 " columns: both must be at least 1 \n",
                                    path.c_str(), file.rows, file.cols));
    }
    if (file.bits_per_pixel != 8) {
        Fail(WaitKind::None, Format(" Four-product file %s has %" PRId32 " bits per pixel, not 8 \n", path.c_str(),
                                    file.bits_per_pixel));
    }
    if (file_size != ExpectedSize(file)) {
        Fail(WaitKind::None, Format(" Four-product file %s is %" PRIu64 " bytes, not 20 + 4 x %" PRId32 " x %" PRId32 " = %" PRIu64 " \n",
                                    path.c_str(), file_size, file.rows, file.cols, ExpectedSize(file)));
    }
}

void FourProductFile_Read(const std::string& path, FourProductFile& file) {
    std::ifstream in(path, std::ios::binary | std::ios::ate);
    if (!in) Fail(WaitKind::None, Format(" Cannot open four-product file %s for reading \n", path.c_str()));
    const std::streamoff end = in.tellg();
    const uint64_t file_size = end > 0 ? static_cast<uint64_t>(end) : 0;
    uint8_t header[kHeaderBytes];
    in.seekg(0);
    if (file_size < kHeaderBytes || !in.read(reinterpret_cast<char*>(header), kHeaderBytes)) {
        Fail(WaitKind::None, Format(" Four-product file %s is %" PRIu64 " bytes, shorter than its %d-byte header \n", path.c_str(),
                                    file_size, kHeaderBytes));
    }
    FourProductFile_DecodeHeader(header, file);
    FourProductFile_Check(file, file_size, path);
    const size_t npix = static_cast<size_t>(file.rows) * static_cast<size_t>(file.cols);
    for (std::vector<uint8_t>& plane : file.planes) {
        plane.resize(npix);
        if (!in.read(reinterpret_cast<char*>(plane.data()), static_cast<std::streamsize>(npix))) {
            Fail(WaitKind::None, Format(" Cannot read four-product file %s \n", path.c_str()));
        }
    }
}
