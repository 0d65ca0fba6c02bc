// The FITS keywords that describe a four-product record: the ones a FITS export of the four planes
// holds beside the mandatory ones (SIMPLE, BITPIX, NAXIS, NAXISn, EXTEND), in the order they are
// written, each with its value and comment:
//
//   FPROWS, FPCOLS, FPBITPIX, FPFRAMES, FPCAMERA  the five header words of the four-product file
//   PLANE1 .. PLANE4                             what each plane holds ("peak value", ...)
//   SOURCE                                       the four-product file's name
//   CREATOR                                      "fpview <version>"
//
// fpview writes them through CFITSIO and the Python module's FourProduct.to_hdulist through
// astropy, both from this one table, so both give the same header. Nothing in it depends on the
// date or the machine: the same record and name give the same keywords.
//
// A FITS header holds printable ASCII only (bytes 32 to 126). CFITSIO writes every other byte of a
// text value as a blank, where astropy refuses the value: the table gives each text value with
// those bytes already blanks, so that both writers take it as it is and a name like "laté.bin"
// reads "lat  .bin" in both.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "fourproduct/fourproduct.h"

enum class FitsValueKind { kInteger, kText };

struct FitsKeyword {
    std::string name;                           // at most 8 characters
    FitsValueKind kind = FitsValueKind::kInteger;
    int32_t number = 0;                         // the value of a kInteger keyword
    std::string text;                           // the value of a kText keyword: printable ASCII
    std::string comment;
    // A text that may not fit one 80-character card (a file name) continues over several cards
    // rather than being cut; the others are short and written on one card.
    bool may_continue = false;
};

// The keywords above for `record` (its header fields; the planes are not read) exported from the
// file named `source_name` (the name without its folder, any bytes).
std::vector<FitsKeyword> FourProduct_FitsKeywords(const FourProduct& record, const std::string& source_name);

// `text` with every byte outside printable ASCII (32 to 126) made a blank, one blank per byte: the
// text a FITS header gives for it.
std::string FitsPrintableText(const std::string& text);
