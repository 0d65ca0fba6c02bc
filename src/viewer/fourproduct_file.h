// Reading a four-product file back: its five header values and its four planes, after the checks
// that keep a truncated or foreign file from being shown as an image.
//
// The file is five little-endian 32-bit header words (rows, cols, bits per pixel, header_word4,
// first_int_magnitude) and four planes of rows x cols bytes, row-major, in product order (peak
// value, frame index of the peak, mean value, standard deviation): 20 + 4 x rows x cols bytes.
//
// Use: FourProductFile_Read once per file; the exporters take the record as it is.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "fourproduct/fourproduct.h"

struct FourProductFile {
    int32_t rows = 0;
    int32_t cols = 0;
    int32_t bits_per_pixel = 0;
    int32_t header_word4 = 0;         // frames that a frame index of 0..255 spans (256)
    int32_t first_int_magnitude = 0;  // |first integer| of the CALSTARS header (the camera number)
    std::vector<uint8_t> planes[kProducts];  // product k: rows x cols bytes, row 0 first
};

// Short product names, used in output file names: "peak", "frame", "mean", "stddev".
extern const char* const kProductNames[kProducts];
// What each product holds, written into exported headers: "peak value", "frame index of the peak", ...
extern const char* const kProductDescriptions[kProducts];

// The header values of `header` (at least kHeaderBytes bytes) decoded into `file`; planes untouched.
void FourProductFile_DecodeHeader(const uint8_t* header, FourProductFile& file);

// Refuses a header that does not describe a four-product file of `file_size` bytes: rows or cols
// below 1, bits per pixel other than 8, or a size other than 20 + 4 x rows x cols. Throws a Failure
// (no wait) whose one line names `path` and the value that is wrong.
void FourProductFile_Check(const FourProductFile& file, uint64_t file_size, const std::string& path);

// Reads the four-product file at `path` into `file`, checking it as above before any plane is read.
// Also fails on a path that is not a regular file (a FIFO, a device or a folder, never opened), a
// file that cannot be opened, is shorter than its header, or cannot be read whole. Planes that do not
// fit the memory throw std::bad_alloc or std::length_error (ConvertFile reports them), before any
// byte of them is read. `before_planes`, when given, sees the checked header before any plane is
// allocated (the caller's own checks of the size, cheapest first).
void FourProductFile_Read(const std::string& path, FourProductFile& file,
                          const std::function<void(const FourProductFile&)>& before_planes = nullptr);
