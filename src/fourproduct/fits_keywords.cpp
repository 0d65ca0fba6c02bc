#include "fourproduct/fits_keywords.h"

#include "version.h"

namespace {

FitsKeyword Integer(const char* name, int32_t value, const char* comment) {
    FitsKeyword keyword;
    keyword.name = name;
    keyword.number = value;
    keyword.comment = comment;
    return keyword;
}

FitsKeyword Text(const std::string& name, const std::string& value, const char* comment, bool may_continue = false) {
    FitsKeyword keyword;
    keyword.name = name;
    keyword.kind = FitsValueKind::kText;
    keyword.text = FitsPrintableText(value);
    keyword.comment = comment;
    keyword.may_continue = may_continue;
    return keyword;
}

}  // namespace

std::string FitsPrintableText(const std::string& text) {
    std::string printable = text;
    for (char& c : printable) {
        const unsigned char byte = static_cast<unsigned char>(c);
        if (byte < 32 || byte > 126) c = ' ';
    }
    return printable;
}

std::vector<FitsKeyword> FourProduct_FitsKeywords(const FourProduct& record, const std::string& source_name) {
    std::vector<FitsKeyword> keywords = {
        Integer("FPROWS", record.rows, "rows of the four-product file"),
        Integer("FPCOLS", record.cols, "columns of the four-product file"),
        Integer("FPBITPIX", record.bits_per_pixel, "bits per pixel of the four-product file"),
        Integer("FPFRAMES", record.header_word4, "frames spanned by frame index 0..255"),
        Integer("FPCAMERA", record.first_int_magnitude, "|first integer| of the CALSTARS header"),
    };
    for (int product = 0; product < kProducts; ++product) {
        keywords.push_back(Text("PLANE" + std::to_string(product + 1), kProductDescriptions[product], "product of this plane"));
    }
    keywords.push_back(Text("SOURCE", source_name, "four-product file", true));
    keywords.push_back(Text("CREATOR", std::string("fpview ") + kVersion, "program that wrote this file"));
    return keywords;
}
