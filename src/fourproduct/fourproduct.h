// Four-product image: the output record and the binary file that stores it.
//
// A four-product file holds four 8-bit planes that look like a capture of a star field: product 0
// the peak value, 1 the frame index of the peak, 2 the mean value, 3 the standard deviation. The file
// is five little-endian 32-bit header words (rows, cols, bits per pixel, header_word4,
// first_int_magnitude) followed by the four planes, each rows x cols bytes, row-major:
// 20 + 4 x rows x cols bytes in all.
//
// The record keeps two banks of four plane slots; product k of bank b is slot 2k + b. Only bank 1
// is ever filled and written, so bank 0's slots stay empty (no memory is spent on them).
//
// Use: FourProduct_MemSetup once per CALSTARS file; fill the current bank's planes; set
// output_name[bank]; FourProduct_WriteFile once per frame record. A file is read back into the same
// record by FourProduct_ReadFile (fourproduct_reader.h), and described in FITS terms by
// fits_keywords.h.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "safe_output/safe_output.h"

constexpr int kProducts = 4;
constexpr int kBanks = 2;
constexpr int kPlaneSlots = kProducts * kBanks;
constexpr int kHeaderWords = 5;
constexpr int kHeaderBytes = 4 * kHeaderWords;
// Fourth header word: the number of frames that a frame index of 0..255 spans.
constexpr int32_t kFramesPerFourProduct = 256;

enum Product { kPeakValue = 0, kPeakFrameIndex = 1, kMeanValue = 2, kStandardDeviation = 3 };

// Short product names, in product order, as output file names and options give them: "peak",
// "frame", "mean", "stddev".
extern const char* const kProductNames[kProducts];
// What each product holds, in product order, as exported headers describe it: "peak value", "frame
// index of the peak", "mean value", "standard deviation".
extern const char* const kProductDescriptions[kProducts];

struct FourProduct {
    int32_t first_int_magnitude = 0;  // |first_int| of the CALSTARS header
    int32_t bits_per_pixel = 8;
    int32_t header_word4 = kFramesPerFourProduct;
    int32_t rows = 0;
    int32_t cols = 0;
    int32_t bank = 1;                      // current bank; set-up makes it 1
    std::string output_name[kBanks];       // full path of the file to write, per bank
    std::vector<uint8_t> planes[kPlaneSlots];  // slot 2k + b: product k of bank b; empty when unused
};

// The slot of product `product` (0..3) in the record's current bank.
inline int FourProduct_Slot(const FourProduct& record, int product) { return 2 * product + record.bank; }

// The plane of product `product` in the record's current bank.
inline uint8_t* FourProduct_Plane(FourProduct& record, int product) {
    return record.planes[FourProduct_Slot(record, product)].data();
}
inline const uint8_t* FourProduct_Plane(const FourProduct& record, int product) {
    return record.planes[FourProduct_Slot(record, product)].data();
}

// Records the header values and sizes the current bank's four planes to rows x cols bytes. A plane
// keeps its memory from an earlier image that holds this one (its bytes are then stale: every byte is
// written before the file is), and is freed before a larger one is taken, so that two sizes are
// never held at once. Fails with " ERROR:  Memory not allocated in FourProduct_MemSetup\n" (waiting
// for one character) when they cannot be allocated.
void FourProduct_MemSetup(FourProduct& record, int32_t first_int, int32_t rows, int32_t cols);

// The bytes `held` takes once set up for a rows x cols image (FourProduct_MemSetup), what it holds now
// kept: the current bank's four planes of rows x cols bytes. With rows or cols 0, what it holds.
uint64_t FourProduct_Bytes(const FourProduct& held, int32_t rows, int32_t cols);

// The same for a record that holds no plane yet.
uint64_t FourProduct_Bytes(int32_t rows, int32_t cols);

// Frees every plane slot; safe on a record that holds none.
void FourProduct_MemFree(FourProduct& record);

// Writes the current bank to output_name[bank], replacing any file of that name. The bytes go to a
// temporary file in the same folder first (a safe output file, safe_output.h), every write and the close are checked, and only a
// complete file is renamed to the final name: a failed write never leaves a partial file under the
// final name, nor removes the file that was there. Failures (waiting for one character):
// " Cannot open output file <name> for writing \n" and " Cannot write output file <name>: <error> \n",
// <error> being the system's reason (SafeOutput_ErrorText: "No space left on device", "File too
// large" under a file size limit).
void FourProduct_WriteFile(FourProduct& record);

// FourProduct_WriteFile in two steps, for a writer that renames in an order of its own: the first
// opens `output` for output_name[bank] and writes the file under its temporary name (failing with the
// open failure above; a failed write is remembered in `output`), the second renames it over the final
// name (failing with the write failure above, the temporary file removed).
void FourProduct_WriteTemporary(FourProduct& record, SafeOutput& output);
void FourProduct_CommitFile(SafeOutput& output);

// The file's five header words (kHeaderBytes bytes) of `record`: rows, cols, bits_per_pixel,
// header_word4, first_int_magnitude, each little-endian. Used by the writer and by tests.
std::vector<uint8_t> FourProduct_Header(const FourProduct& record);

// The reverse: the five header words at `header` (kHeaderBytes bytes) into `record`'s fields of the
// same names; nothing else of the record changes. Both walk one table of the words' order.
void FourProduct_DecodeHeader(const uint8_t* header, FourProduct& record);
