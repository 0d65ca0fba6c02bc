#include "calstars/calstars_writer.h"

#include <charconv>
#include <cinttypes>
#include <limits>

#include "failure.h"
#include "safe_output/safe_output.h"

namespace {

// Enough for any float's shortest form ("-1.17549435e-38") and any 32-bit integer.
constexpr size_t kNumberChars = 32;

template <typename Number>
void Append(std::string& text, Number value) {
    char digits[kNumberChars];
    const std::to_chars_result written = std::to_chars(digits, digits + sizeof digits, value);
    text.append(digits, written.ptr);
}

}  // namespace

std::string CalStarHeader_Refusal(const CalStarExtraction& header) {
    if (header.rows < 1 || header.cols < 1) {
        return Format("image of %" PRId32 " rows and %" PRId32 " cols describes no image", header.rows, header.cols);
    }
    if (int64_t{header.rows} * header.cols > std::numeric_limits<int32_t>::max()) {
        return Format("image of %" PRId32 " x %" PRId32 " pixels is too large", header.rows, header.cols);
    }
    if (header.nstars < 0) return Format("nstars %" PRId32 " is negative", header.nstars);
    // The reader takes the text after "= " up to the line end, without the blanks that follow "=".
    if (header.header_text.find_first_of("\r\n") != std::string::npos || header.header_text.size() > kMaxFieldLength ||
        (!header.header_text.empty() && (header.header_text[0] == ' ' || header.header_text[0] == '\t'))) {
        return "the header text must be one line of at most 255 characters without leading blanks";
    }
    return std::string();
}

std::string CalStarRecord_Refusal(const CalStarExtraction& header, const CalStarExtraction& record) {
    const std::string refused = CalStarFrame_Refusal(record.name, record.divisor);
    if (!refused.empty()) return refused;
    const size_t nstars = static_cast<size_t>(header.nstars);
    if (record.row.size() != nstars || record.col.size() != nstars || record.intensity.size() != nstars ||
        record.total.size() != nstars) {
        return Format("record %s has %zu stars, not the file's %" PRId32, record.name.c_str(), record.row.size(), header.nstars);
    }
    return std::string();
}

std::string CalStarFile_Text(const CalStarExtraction& header, const std::vector<const CalStarExtraction*>& records) {
    std::string text =
        "Calibration star listing\nWritten by calstars2fp from a star catalogue\nFormat version 1\n"
        "Stars are listed per frame below\n----------------------------------------\n";
    text += "Camera = " + header.header_text + "\nCamera number = ";
    Append(text, header.first_int);
    text += "\nNrows = ";
    Append(text, header.rows);
    text += "\nNcols = ";
    Append(text, header.cols);
    text += "\nNstars = ";
    Append(text, header.nstars);
    text += "\n";
    for (const CalStarExtraction* record : records) {
        text += "----------------------------------------------\n" + record->name + "\nwindow = ";
        Append(text, record->window);
        text += "\ndivisor = ";
        Append(text, record->divisor);
        text += "\n";
        for (size_t i = 0; i < record->row.size(); ++i) {
            Append(text, record->row[i]);
            text += ' ';
            Append(text, record->col[i]);
            text += ' ';
            Append(text, int32_t{record->intensity[i]});
            text += ' ';
            Append(text, int32_t{record->total[i]});
            text += '\n';
        }
    }
    text += "##############################################\n";
    return text;
}

void WriteCalStarFile(const std::string& path, const CalStarExtraction& header,
                      const std::vector<const CalStarExtraction*>& records) {
    const auto refuse = [&](const std::string& why) {
        Fail(WaitKind::None, Format(" Cannot write Cal Star Extraction file %s: %s \n", path.c_str(), why.c_str()));
    };
    std::string refused = CalStarHeader_Refusal(header);
    if (!refused.empty()) refuse(refused);
    for (const CalStarExtraction* record : records) {
        refused = CalStarRecord_Refusal(header, *record);
        if (!refused.empty()) refuse(refused);
    }
    const std::string text = OnAllocationFailure(WaitKind::None, " Memory not allocated in WriteCalStarFile \n",
                                                 [&] { return CalStarFile_Text(header, records); });
    int error = 0;
    if (!SafeOutput_WriteWhole(path, text.data(), text.size(), &error)) {
        FailFile(WaitKind::None,
                 Format(" Cannot write Cal Star Extraction file %s: %s \n", path.c_str(), SafeOutput_ErrorText(error).c_str()),
                 path, error > 0 ? error : 0);
    }
}
