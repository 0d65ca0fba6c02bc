// FITS export: the four products as one 8-bit cube in the primary HDU, written with CFITSIO.
//
// Layout: BITPIX = 8 (unsigned bytes, the products' values unchanged), NAXIS1 = cols, NAXIS2 = rows,
// NAXIS3 = 4; plane k + 1 of the cube is product k, and FITS row j + 1 is the file's row j. A reader
// indexing data[plane][row][col] (astropy's order) therefore gets the file's bytes exactly; an image
// viewer that puts FITS row 1 at the bottom (DS9) shows the picture upside down compared with the PNG.
// One cube rather than four HDUs so that DS9 opens all four products as the frames of one cube.
//
// Header keywords beside the mandatory ones: those of fits_keywords.h (the five header words, the
// planes' descriptions, SOURCE and CREATOR), in its order. Nothing depends on the date or the
// machine, so the same input gives the same bytes.
#pragma once

#include <string>

#include "fourproduct/fourproduct.h"

// Writes the current bank of `file` to `path` as described above, replacing any file there through
// a safe output file (safe_output.h); `source_name` goes into SOURCE. Throws a Failure " Cannot write
// FITS file <path>: <reason> " on any CFITSIO error or when the file cannot be written (nothing is
// then left behind).
void WriteFits(const FourProduct& file, const std::string& source_name, const std::string& path);
