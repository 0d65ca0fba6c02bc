#include "viewer/fits_export.h"

#include <fitsio.h>

#include <cstdlib>
#include <memory>

#include "failure.h"
#include "fourproduct/fits_keywords.h"
#include "safe_output/safe_output.h"

namespace {

// Closes the file on every path out of WriteFits; the status of a close after a failure is of no
// interest, the first error is the one reported.
struct FitsCloser {
    void operator()(fitsfile* fits) const {
        int ignored = 0;
        fits_close_file(fits, &ignored);
    }
};
using FitsHandle = std::unique_ptr<fitsfile, FitsCloser>;

// Frees the memory block that CFITSIO grew with realloc, on every path out of WriteFits.
struct MemoryFreer {
    void operator()(void** memory) const { std::free(*memory); }
};

// FITS files are made of blocks of 2880 bytes; the memory block grows by one at a time.
constexpr size_t kFitsBlock = 2880;

void CheckStatus(int status, const std::string& path) {
    if (status == 0) return;
    char reason[FLEN_STATUS] = "";
    fits_get_errstatus(status, reason);
    fits_clear_errmsg();
    Fail(WaitKind::None, Format(" Cannot write FITS file %s: %s \n", path.c_str(), reason));
}

void WriteKey(fitsfile* fits, const FitsKeyword& keyword, int& status) {
    const char* comment = keyword.comment.c_str();
    if (keyword.kind == FitsValueKind::kInteger) {
        long value = keyword.number;
        fits_write_key(fits, TLONG, keyword.name.c_str(), &value, comment, &status);
    } else if (keyword.may_continue) {
        fits_write_key_longstr(fits, keyword.name.c_str(), keyword.text.c_str(), comment, &status);
    } else {
        fits_write_key(fits, TSTRING, keyword.name.c_str(), const_cast<char*>(keyword.text.c_str()), comment, &status);
    }
}

}  // namespace

void WriteFits(const FourProduct& file, const std::string& source_name, const std::string& path) {
    // CFITSIO builds the file in memory (it grows the block with realloc); the bytes are then stored
    // through a safe output file, so CFITSIO never opens a path of its own.
    void* memory = nullptr;
    size_t memory_size = 0;
    const std::unique_ptr<void*, MemoryFreer> owned(&memory);
    int status = 0;
    fitsfile* raw = nullptr;
    fits_create_memfile(&raw, &memory, &memory_size, kFitsBlock, std::realloc, &status);
    CheckStatus(status, path);
    FitsHandle fits(raw);
    long axes[3] = {file.cols, file.rows, kProducts};
    fits_create_img(fits.get(), BYTE_IMG, 3, axes, &status);
    for (const FitsKeyword& keyword : FourProduct_FitsKeywords(file, source_name)) WriteKey(fits.get(), keyword, status);
    const LONGLONG npix = static_cast<LONGLONG>(file.rows) * file.cols;
    for (int product = 0; product < kProducts && status == 0; ++product) {
        const LONGLONG first = product * npix + 1;
        fits_write_img(fits.get(), TBYTE, first, npix, const_cast<uint8_t*>(FourProduct_Plane(file, product)), &status);
    }
    // The file ends where the one HDU ends, its last block filled; the memory block may be larger.
    LONGLONG header_start = 0, data_start = 0, data_end = 0;
    fits_get_hduaddrll(fits.get(), &header_start, &data_start, &data_end, &status);
    CheckStatus(status, path);
    raw = fits.release();
    fits_close_file(raw, &status);
    CheckStatus(status, path);
    if (data_end <= 0 || static_cast<size_t>(data_end) > memory_size) {
        Fail(WaitKind::None, Format(" Cannot write FITS file %s: the encoded file has no consistent size \n", path.c_str()));
    }
    int error = 0;
    if (!SafeOutput_WriteWhole(path, memory, static_cast<size_t>(data_end), &error)) {
        Fail(WaitKind::None, Format(" Cannot write FITS file %s: %s \n", path.c_str(), SafeOutput_ErrorText(error).c_str()));
    }
}
