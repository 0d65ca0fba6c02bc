#include "viewer/image_readers.h"

#include <fitsio.h>
#include <png.h>

#include <csetjmp>
#include <cstdio>
#include <cstdlib>

bool ReadPng(const std::string& path, PngContents& png, std::string& error) {
    std::FILE* file = std::fopen(path.c_str(), "rb");
    if (file == nullptr) {
        error = "cannot open " + path;
        return false;
    }
    png_structp reader = png_create_read_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
    png_infop info = png_create_info_struct(reader);
    std::vector<png_bytep> rows;
    bool ok = false;
    // libpng reports errors by longjmp back here; every object of this function exists already.
    if (setjmp(png_jmpbuf(reader)) == 0) {
        png_init_io(reader, file);
        png_read_info(reader, info);
        png.width = png_get_image_width(reader, info);
        png.height = png_get_image_height(reader, info);
        png.bit_depth = png_get_bit_depth(reader, info);
        png.color_type = png_get_color_type(reader, info);
        if (png.bit_depth == 8 && png.color_type == PNG_COLOR_TYPE_GRAY) {
            png.pixels.assign(static_cast<size_t>(png.width) * png.height, 0);
            for (uint32_t row = 0; row < png.height; ++row) rows.push_back(png.pixels.data() + static_cast<size_t>(row) * png.width);
            png_read_image(reader, rows.data());
            png_read_end(reader, nullptr);
        }
        ok = true;
    } else {
        error = "libpng could not read " + path;
    }
    png_destroy_read_struct(&reader, &info, nullptr);
    std::fclose(file);
    return ok;
}

bool ReadFits(const std::string& path, FitsContents& fits, std::string& error) {
    int status = 0;
    fitsfile* file = nullptr;
    if (fits_open_diskfile(&file, path.c_str(), READONLY, &status) == 0) {
        fits_get_num_hdus(file, &fits.hdus, &status);
        fits_get_img_param(file, 3, &fits.bitpix, &fits.naxis, fits.axes, &status);
        long* keys_long[] = {&fits.fprows, &fits.fpcols, &fits.fpbitpix, &fits.fpframes, &fits.fpcamera};
        const char* names_long[] = {"FPROWS", "FPCOLS", "FPBITPIX", "FPFRAMES", "FPCAMERA"};
        for (int k = 0; k < 5; ++k) fits_read_key(file, TLONG, names_long[k], keys_long[k], nullptr, &status);
        for (int k = 0; k < 4; ++k) {
            char key[FLEN_KEYWORD];
            char value[FLEN_VALUE] = "";
            std::snprintf(key, sizeof key, "PLANE%d", k + 1);
            fits_read_key(file, TSTRING, key, value, nullptr, &status);
            fits.planes[k] = value;
        }
        char* source = nullptr;
        fits_read_key_longstr(file, "SOURCE", &source, nullptr, &status);
        if (source != nullptr) {
            fits.source = source;
            fits_free_memory(source, &status);
        }
        const long count = fits.naxis == 3 ? fits.axes[0] * fits.axes[1] * fits.axes[2] : 0;
        fits.pixels.assign(static_cast<size_t>(count), 0);
        int any_null = 0;
        if (count > 0) fits_read_img(file, TBYTE, 1, count, nullptr, fits.pixels.data(), &any_null, &status);
        int ignored = 0;
        fits_close_file(file, &ignored);
    }
    if (status == 0) return true;
    char reason[FLEN_STATUS] = "";
    fits_get_errstatus(status, reason);
    error = "CFITSIO could not read " + path + ": " + reason;
    return false;
}
