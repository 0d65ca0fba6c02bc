// Readers for the exported pictures, written against libpng's and CFITSIO's reading interfaces (not
// the ones the exporters use), so that a round trip checks what another program would see.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

struct PngContents {
    uint32_t width = 0;
    uint32_t height = 0;
    int bit_depth = 0;
    int color_type = -1;
    std::vector<uint8_t> pixels;  // width x height bytes when 8-bit gray
};

// Reads the PNG at `path`; false (with `error` set) when libpng cannot.
bool ReadPng(const std::string& path, PngContents& png, std::string& error);

struct FitsContents {
    int bitpix = 0;
    int naxis = 0;
    long axes[3] = {0, 0, 0};
    std::vector<uint8_t> pixels;  // every pixel of the primary HDU, in FITS order
    long fprows = 0, fpcols = 0, fpbitpix = 0, fpframes = 0, fpcamera = 0;
    std::string planes[4];        // PLANE1 .. PLANE4
    std::string source;
    int hdus = 0;
};

// Reads the primary HDU of the FITS file at `path`; false (with `error` set) on any CFITSIO error.
bool ReadFits(const std::string& path, FitsContents& fits, std::string& error);
