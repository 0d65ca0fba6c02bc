#include "fourproduct/fourproduct_reader.h"

#include <cerrno>
#include <cinttypes>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <functional>
#include <stdexcept>
#include <vector>

#include "failure.h"

namespace {

uint64_t ExpectedSize(const FourProduct& record) {
    return kHeaderBytes + uint64_t{kProducts} * static_cast<uint64_t>(record.rows) * static_cast<uint64_t>(record.cols);
}

// Refuses a header that does not describe a four-product file of `file_size` bytes.
void CheckHeader(const FourProduct& record, uint64_t file_size, const std::string& path) {
    const auto refuse = [&](const std::string& message) { FailContent(WaitKind::None, message, path, 0); };
    if (record.rows < 1 || record.cols < 1) {
        refuse(Format(" Four-product file %s has %" PRId32 " rows and %" PRId32 " columns: both must be at least 1 \n",
                      path.c_str(), record.rows, record.cols));
    }
    if (record.bits_per_pixel != 8) {
        refuse(Format(" Four-product file %s has %" PRId32 " bits per pixel, not 8 \n", path.c_str(), record.bits_per_pixel));
    }
    if (file_size != ExpectedSize(record)) {
        refuse(Format(" Four-product file %s is %" PRIu64 " bytes, not 20 + 4 x %" PRId32 " x %" PRId32 " = %" PRIu64 " \n",
                      path.c_str(), file_size, record.rows, record.cols, ExpectedSize(record)));
    }
}

// Opens the file at `path` into `in` and reads its checked header into `record`; returns the
// pixels of one plane.
size_t OpenChecked(const std::string& path, FourProduct& record, std::ifstream& in) {
    // Opening a FIFO or a device for reading can wait for ever: only a regular file is opened.
    std::error_code error;
    const std::filesystem::file_status status = std::filesystem::status(path, error);
    if (!error && status.type() != std::filesystem::file_type::regular) {
        FailFile(WaitKind::None, Format(" Four-product file %s is not a regular file \n", path.c_str()), path,
                 status.type() == std::filesystem::file_type::directory ? EISDIR : 0);
    }
    errno = 0;
    in.open(path, std::ios::binary | std::ios::ate);
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
    FourProduct_DecodeHeader(header, record);
    CheckHeader(record, file_size, path);
    const uint64_t npix64 = static_cast<uint64_t>(record.rows) * static_cast<uint64_t>(record.cols);
    if (npix64 > SIZE_MAX / kProducts) throw std::length_error("planes beyond the address space");
    return static_cast<size_t>(npix64);
}

void ReadBytes(std::ifstream& in, uint8_t* out, size_t count, const std::string& path) {
    if (!in.read(reinterpret_cast<char*>(out), static_cast<std::streamsize>(count))) {
        FailFile(WaitKind::None, Format(" Cannot read four-product file %s \n", path.c_str()), path, 0);
    }
}

}  // namespace

void FourProduct_ReadFile(const std::string& path, FourProduct& record, const std::function<void(const FourProduct&)>& before_planes) {
    std::ifstream in;
    const size_t npix = OpenChecked(path, record, in);
    if (before_planes) before_planes(record);
    // All four planes are had before a byte is read, so that a file the memory cannot hold fails
    // at once rather than after reading most of it.
    for (int product = 0; product < kProducts; ++product) record.planes[FourProduct_Slot(record, product)].reserve(npix);
    for (int product = 0; product < kProducts; ++product) {
        std::vector<uint8_t>& plane = record.planes[FourProduct_Slot(record, product)];
        plane.resize(npix);
        ReadBytes(in, plane.data(), npix, path);
    }
}

void FourProduct_ReadFileInto(const std::string& path, FourProduct& record,
                              const std::function<uint8_t*(const FourProduct&)>& planes_for) {
    std::ifstream in;
    const size_t npix = OpenChecked(path, record, in);
    ReadBytes(in, planes_for(record), kProducts * npix, path);
}
