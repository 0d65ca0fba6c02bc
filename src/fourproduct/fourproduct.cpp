#include "fourproduct/fourproduct.h"

#include <algorithm>
#include <new>
#include <string>

#include "failure.h"
#include "safe_output/safe_output.h"

const char* const kProductNames[kProducts] = {"peak", "frame", "mean", "stddev"};
const char* const kProductDescriptions[kProducts] = {"peak value", "frame index of the peak", "mean value",
                                                     "standard deviation"};

namespace {

// The header words in the order of the file: the writer and the reader both walk this table, so the
// order and the meaning of each word are written down once.
constexpr int32_t FourProduct::*kHeaderLayout[kHeaderWords] = {&FourProduct::rows, &FourProduct::cols,
                                                               &FourProduct::bits_per_pixel, &FourProduct::header_word4,
                                                               &FourProduct::first_int_magnitude};

void PutLittleEndian(std::vector<uint8_t>& bytes, int32_t value) {
    const uint32_t word = static_cast<uint32_t>(value);
    for (int shift = 0; shift < 32; shift += 8) bytes.push_back(static_cast<uint8_t>(word >> shift));
}

int32_t LittleEndianWord(const uint8_t* bytes) {
    const uint32_t word = bytes[0] | bytes[1] << 8 | bytes[2] << 16 | static_cast<uint32_t>(bytes[3]) << 24;
    return static_cast<int32_t>(word);
}

// The system's error code of a failed output, 0 where the refusal was no system error (a path too
// long for the table of temporary files).
int SystemError(const SafeOutput& output) { return output.error > 0 ? output.error : 0; }

}  // namespace

void FourProduct_MemFree(FourProduct& record) {
    for (auto& plane : record.planes) std::vector<uint8_t>().swap(plane);
}

uint64_t FourProduct_Bytes(const FourProduct& held, int32_t rows, int32_t cols) {
    const uint64_t npix = rows > 0 && cols > 0 ? static_cast<uint64_t>(rows) * static_cast<uint64_t>(cols) : 0;
    uint64_t bytes = 0;
    for (int slot = 0; slot < kPlaneSlots; ++slot) {
        const uint64_t capacity = held.planes[slot].capacity();
        // Set-up frees bank 0's slots and fits bank 1's (the old plane freed before a larger one).
        bytes += npix == 0 ? capacity : (slot % kBanks == 1 ? std::max(capacity, npix) : 0);
    }
    return bytes;
}

uint64_t FourProduct_Bytes(int32_t rows, int32_t cols) { return FourProduct_Bytes(FourProduct{}, rows, cols); }

void FourProduct_MemSetup(FourProduct& record, int32_t first_int, int32_t rows, int32_t cols) {
    const size_t npix = static_cast<size_t>(rows) * static_cast<size_t>(cols);
    // The current bank's planes keep their memory when it holds the new image (the plane fill writes
    // every byte); otherwise they are freed before the new ones are taken.
    for (int slot = 0; slot < kPlaneSlots; ++slot) {
        std::vector<uint8_t>& plane = record.planes[slot];
        if (slot % kBanks != 1 || npix > plane.capacity()) std::vector<uint8_t>().swap(plane);
    }
    record.bits_per_pixel = 8;
    record.header_word4 = kFramesPerFourProduct;
    record.rows = rows;
    record.cols = cols;
    // The magnitude of the most negative 32-bit value does not fit; it keeps its bit pattern.
    record.first_int_magnitude = first_int < 0 ? static_cast<int32_t>(0u - static_cast<uint32_t>(first_int)) : first_int;
    record.bank = 1;
    OnAllocationFailure(WaitKind::Character, " ERROR:  Memory not allocated in FourProduct_MemSetup\n", [&] {
        for (int product = 0; product < kProducts; ++product) record.planes[FourProduct_Slot(record, product)].resize(npix);
    });
}

std::vector<uint8_t> FourProduct_Header(const FourProduct& record) {
    std::vector<uint8_t> header;
    header.reserve(kHeaderBytes);
    for (int32_t FourProduct::*word : kHeaderLayout) PutLittleEndian(header, record.*word);
    return header;
}

void FourProduct_DecodeHeader(const uint8_t* header, FourProduct& record) {
    for (int i = 0; i < kHeaderWords; ++i) record.*kHeaderLayout[i] = LittleEndianWord(header + 4 * i);
}

void FourProduct_WriteTemporary(FourProduct& record, SafeOutput& output) {
    const std::string& final_name = record.output_name[record.bank];
    if (!SafeOutput_Open(output, final_name)) {
        FailFile(WaitKind::Character, Format(" Cannot open output file %s for writing \n", final_name.c_str()), final_name,
                 SystemError(output));
    }
    const std::vector<uint8_t> header = FourProduct_Header(record);
    const size_t npix = static_cast<size_t>(record.rows) * static_cast<size_t>(record.cols);
    bool ok = SafeOutput_Write(output, header.data(), header.size());
    for (int product = 0; product < kProducts && ok; ++product) ok = SafeOutput_Write(output, FourProduct_Plane(record, product), npix);
}

void FourProduct_CommitFile(SafeOutput& output) {
    if (!SafeOutput_Commit(output)) {
        FailFile(WaitKind::Character,
                 Format(" Cannot write output file %s: %s \n", output.final_name.c_str(), SafeOutput_ErrorText(output.error).c_str()),
                 output.final_name, SystemError(output));
    }
}

void FourProduct_WriteFile(FourProduct& record) {
    SafeOutput output;
    FourProduct_WriteTemporary(record, output);
    FourProduct_CommitFile(output);
}
