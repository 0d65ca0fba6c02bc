#include "fourproduct/fourproduct.h"

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <new>
#include <string>

#include "driver/platform.h"
#include "failure.h"

namespace {

void PutLittleEndian(std::vector<uint8_t>& bytes, int32_t value) {
    const uint32_t word = static_cast<uint32_t>(value);
    for (int shift = 0; shift < 32; shift += 8) bytes.push_back(static_cast<uint8_t>(word >> shift));
}

// True when the folder holds an entry of that name, a symbolic link included even if it leads
// nowhere: writing through a link would put the bytes wherever it points, outside the folder. An
// entry that cannot be examined counts as absent, so that opening it reports the failure.
bool Exists(const std::string& path) {
    std::error_code error;
    const std::filesystem::file_type type = std::filesystem::symlink_status(path, error).type();
    return type != std::filesystem::file_type::not_found && type != std::filesystem::file_type::none;
}

// Name of the temporary file beside the final one: "<name>.partial", or with a number after it when
// a file of that name exists, since that file may be the output of an earlier record of the run
// (a record may be named "x.partial" and a later one "x"). It cannot be a CALSTARS input nor the
// listing, since it ends in ".partial" or a digit.
std::string TemporaryName(const std::string& final_name) {
    std::string name = final_name + ".partial";
    for (int number = 2; Exists(name); ++number) name = final_name + ".partial" + std::to_string(number);
    return name;
}

bool WriteAll(FILE* file, const void* data, size_t size) {
    return size == 0 || std::fwrite(data, 1, size, file) == size;
}

}  // namespace

void FourProduct_MemFree(FourProduct& record) {
    for (auto& plane : record.planes) std::vector<uint8_t>().swap(plane);
}

void FourProduct_MemSetup(FourProduct& record, int32_t first_int, int32_t rows, int32_t cols) {
    FourProduct_MemFree(record);
    record.bits_per_pixel = 8;
    record.header_word4 = kFramesPerFourProduct;
    record.rows = rows;
    record.cols = cols;
    // The magnitude of the most negative 32-bit value does not fit; it keeps its bit pattern.
    record.first_int_magnitude = first_int < 0 ? static_cast<int32_t>(0u - static_cast<uint32_t>(first_int)) : first_int;
    record.bank = 1;
    const size_t npix = static_cast<size_t>(rows) * static_cast<size_t>(cols);
    try {
        for (int product = 0; product < kProducts; ++product) record.planes[2 * product + record.bank].resize(npix);
    } catch (const std::bad_alloc&) {
        Fail(WaitKind::Character, " ERROR:  Memory not allocated in FourProduct_MemSetup\n");
    }
}

std::vector<uint8_t> FourProduct_Header(const FourProduct& record) {
    std::vector<uint8_t> header;
    header.reserve(kHeaderBytes);
    PutLittleEndian(header, record.rows);
    PutLittleEndian(header, record.cols);
    PutLittleEndian(header, record.bits_per_pixel);
    PutLittleEndian(header, record.header_word4);
    PutLittleEndian(header, record.first_int_magnitude);
    return header;
}

void FourProduct_WriteFile(FourProduct& record) {
    const std::string& final_name = record.output_name[record.bank];
    const std::string temporary = TemporaryName(final_name);
    FILE* file = std::fopen(temporary.c_str(), "wb");
    if (file == nullptr) Fail(WaitKind::Character, Format(" Cannot open output file %s for writing \n", final_name.c_str()));

    const std::vector<uint8_t> header = FourProduct_Header(record);
    const size_t npix = static_cast<size_t>(record.rows) * static_cast<size_t>(record.cols);
    bool ok = WriteAll(file, header.data(), header.size());
    for (int product = 0; product < kProducts && ok; ++product) {
        ok = WriteAll(file, FourProduct_Plane(record, product), npix);
    }
    ok = (std::fflush(file) == 0) && ok;
    ok = (std::fclose(file) == 0) && ok;
    if (ok) ok = RenameReplacing(temporary, final_name);
    if (!ok) {
        std::remove(temporary.c_str());
        Fail(WaitKind::Character, Format(" Cannot write output file %s \n", final_name.c_str()));
    }
}
