#include "viewer/fourproduct_file.h"

#include <cerrno>
#include <cinttypes>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <functional>
#include <stdexcept>

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
    const auto refuse = [&](const std::string& message) { FailContent(WaitKind::None, message, path, 0); };
    if (file.rows < 1 || file.cols < 1) {
        refuse(Format(" Four-product file %s has %" PRId32 " rows and %" PRId32 " columns: both must be at least 1 \n",
                      path.c_str(), file.rows, file.cols));
    }
    if (file.bits_per_pixel != 8) {
        refuse(Format(" Four-product file %s has %" PRId32 " bits per pixel, not 8 \n", path.c_str(), file.bits_per_pixel));
    }
    if (file_size != ExpectedSize(file)) {
        refuse(Format(" Four-product file %s is %" PRIu64 " bytes, not 20 + 4 x %" PRId32 " x %" PRId32 " = %" PRIu64 " \n",
                      path.c_str(), file_size, file.rows, file.cols, ExpectedSize(file)));
    }
}

void FourProductFile_Read(const std::string& path, FourProductFile& file, const std::function<void(const FourProductFile&)>& before_planes) {
    // Opening a FIFO or a device for reading can wait for ever: only a regular file is opened.
    std::error_code error;
    const std::filesystem::file_status status = std::filesystem::status(path, error);
    if (!error && status.type() != std::filesystem::file_type::regular) {
        FailFile(WaitKind::None, Format(" Four-product file %s is not a regular file \n", path.c_str()), path,
                 status.type() == std::filesystem::file_type::directory ? EISDIR : 0);
    }
    errno = 0;
    std::ifstream in(path, std::ios::binary | std::ios::ate);
    if (!in) FailFile(WaitKind::None, Format(" Cannot open four-product file %s for reading \n", path.c_str()), path, errno);
    const std::streamoff end = in.tellg();
    const uint64_t file_size = end > 0 ? static_cast<uint64_t>(end) : 0;
    uint8_t header[kHeaderBytes];
    in.seekg(0);
    if (file_size < kHeaderBytes || !in.read(reinterpret_cast<char*>(header), kHeaderBytes)) {
        FailContent(WaitKind::None, Format(" Four-product file %s is %" PRIu64 " bytes, shorter than its %d-byte header \n",
                                           path.c_str(), file_size, kHeaderBytes),
                    path, 0);
    }
    FourProductFile_DecodeHeader(header, file);
    FourProductFile_Check(file, file_size, path);
    const uint64_t npix64 = static_cast<uint64_t>(file.rows) * static_cast<uint64_t>(file.cols);
    if (npix64 > SIZE_MAX) throw std::length_error("planes beyond the address space");
    const size_t npix = static_cast<size_t>(npix64);
    if (before_planes) before_planes(file);
    // All four planes are had before a byte is read, so that a file the memory cannot hold fails
    // at once rather than after reading most of it.
    for (std::vector<uint8_t>& plane : file.planes) plane.reserve(npix);
    for (std::vector<uint8_t>& plane : file.planes) {
        plane.resize(npix);
        if (!in.read(reinterpret_cast<char*>(plane.data()), static_cast<std::streamsize>(npix))) {
            FailFile(WaitKind::None, Format(" Cannot read four-product file %s \n", path.c_str()), path, 0);
        }
    }
}
