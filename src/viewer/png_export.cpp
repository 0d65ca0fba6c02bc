#include "viewer/png_export.h"

#include <png.h>

#include <cstdint>
#include <cstring>
#include <stdexcept>

#include "failure.h"
#include "safe_output/safe_output.h"

namespace {

// Copies product `product` of `file` (cols x rows) into `image` with its top left corner at (left, top).
void Paste(const FourProduct& file, int product, int32_t left, int32_t top, GrayImage& image) {
    const size_t row_bytes = static_cast<size_t>(file.cols);
    const uint8_t* plane = FourProduct_Plane(file, product);
    for (int32_t row = 0; row < file.rows; ++row) {
        const uint8_t* from = plane + static_cast<size_t>(row) * row_bytes;
        uint8_t* to = image.pixels.data() + static_cast<size_t>(top + row) * static_cast<size_t>(image.width) + static_cast<size_t>(left);
        std::memcpy(to, from, row_bytes);
    }
}

}  // namespace

GrayImage ProductImage(const FourProduct& file, int product) {
    const uint8_t* plane = FourProduct_Plane(file, product);
    const size_t npix = static_cast<size_t>(file.rows) * static_cast<size_t>(file.cols);
    return GrayImage{file.cols, file.rows, std::vector<uint8_t>(plane, plane + npix)};
}

void MosaicImage_CheckSize(int32_t rows, int32_t cols) {
    // In 64 bits: 2 x cols + 2 overflows 32 bits from cols = 2^30 on.
    const uint64_t width = 2 * static_cast<uint64_t>(cols) + kMosaicSeparator;
    const uint64_t height = 2 * static_cast<uint64_t>(rows) + kMosaicSeparator;
    if (width > INT32_MAX || height > INT32_MAX || width * height > SIZE_MAX) {
        throw std::length_error("mosaic of more than 2^31 - 1 columns or rows");
    }
}

GrayImage MosaicImage(const FourProduct& file) {
    MosaicImage_CheckSize(file.rows, file.cols);
    const uint64_t width = 2 * static_cast<uint64_t>(file.cols) + kMosaicSeparator;
    const uint64_t height = 2 * static_cast<uint64_t>(file.rows) + kMosaicSeparator;
    GrayImage image;
    image.width = static_cast<int32_t>(width);
    image.height = static_cast<int32_t>(height);
    image.pixels.assign(static_cast<size_t>(width * height), kSeparatorValue);
    const int32_t right = file.cols + kMosaicSeparator;
    const int32_t bottom = file.rows + kMosaicSeparator;
    Paste(file, kPeakValue, 0, 0, image);
    Paste(file, kPeakFrameIndex, right, 0, image);
    Paste(file, kMeanValue, 0, bottom, image);
    Paste(file, kStandardDeviation, right, bottom, image);
    return image;
}

uint64_t Png_LargestWidth() { return PNG_USER_WIDTH_MAX; }
uint64_t Png_LargestHeight() { return PNG_USER_HEIGHT_MAX; }

bool Png_Takes(uint64_t width, uint64_t height) { return width <= Png_LargestWidth() && height <= Png_LargestHeight(); }

void WritePng(const GrayImage& image, const std::string& path) {
    // libpng's simplified interface: it handles its own errors (no longjmp through C++ frames) and
    // reports them in png.message. The stream is made in memory, sized by a first call, and stored
    // through a safe output file.
    png_image png;
    std::memset(&png, 0, sizeof png);
    png.version = PNG_IMAGE_VERSION;
    png.width = static_cast<png_uint_32>(image.width);
    png.height = static_cast<png_uint_32>(image.height);
    png.format = PNG_FORMAT_GRAY;
    png_alloc_size_t size = 0;
    std::vector<uint8_t> stream;
    bool encoded = png_image_write_get_memory_size(png, size, 0, image.pixels.data(), image.width, nullptr) != 0;
    if (encoded) {
        stream.resize(size);
        encoded = png_image_write_to_memory(&png, stream.data(), &size, 0, image.pixels.data(), image.width, nullptr) != 0;
    }
    if (!encoded) {
        const std::string reason = png.message;
        png_image_free(&png);
        Fail(WaitKind::None, Format(" Cannot write PNG file %s: %s \n", path.c_str(), reason.c_str()));
    }
    int error = 0;
    if (!SafeOutput_WriteWhole(path, stream.data(), size, &error)) {
        Fail(WaitKind::None, Format(" Cannot write PNG file %s: %s \n", path.c_str(), SafeOutput_ErrorText(error).c_str()));
    }
}
