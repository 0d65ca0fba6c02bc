// PNG export: one product as an 8-bit gray image, or all four side by side in a 2 x 2 mosaic.
//
// The mosaic puts peak value (top left), frame index of the peak (top right), mean value (bottom
// left) and standard deviation (bottom right) in their file orientation (row 0 at the top), parted by
// a white separator kMosaicSeparator pixels wide so that the dark sky of one product is not taken for
// the next. Pixel values are the products' bytes unchanged, so a PNG reader gets the planes back.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "fourproduct/fourproduct.h"

constexpr int32_t kMosaicSeparator = 2;
constexpr uint8_t kSeparatorValue = 255;

// An 8-bit gray picture: width x height bytes, row-major, top row first.
struct GrayImage {
    int32_t width = 0;
    int32_t height = 0;
    std::vector<uint8_t> pixels;
};

// Product `product` (0..3) of the current bank of `file` as a cols x rows picture.
GrayImage ProductImage(const FourProduct& file, int product);

// The 2 x 2 mosaic of `file`'s current bank: (2 x cols + kMosaicSeparator) x (2 x rows +
// kMosaicSeparator) pixels. Throws std::length_error when a side would exceed 2^31 - 1,
// std::bad_alloc when the memory does not hold it (ConvertFile turns both into the file's refusal).
GrayImage MosaicImage(const FourProduct& file);

// The check of MosaicImage's size on its own (std::length_error), for a file of rows x cols.
void MosaicImage_CheckSize(int32_t rows, int32_t cols);

// True when the PNG library writes a picture of width x height pixels: neither side beyond its
// build's limits (1,000,000 pixels in the common builds), which it otherwise refuses only once asked
// to encode ("Invalid IHDR data").
bool Png_Takes(uint64_t width, uint64_t height);

// The PNG library's largest width and height.
uint64_t Png_LargestWidth();
uint64_t Png_LargestHeight();

// Writes `image` to `path` as an 8-bit grayscale PNG with libpng, replacing any file there through a
// safe output file (safe_output.h). Throws a Failure " Cannot write PNG file <path>: <reason> " when
// libpng refuses or the file cannot be written (nothing is then left behind).
void WritePng(const GrayImage& image, const std::string& path);
