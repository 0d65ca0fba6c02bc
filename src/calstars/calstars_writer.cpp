#include "calstars/calstars_writer.h"

#include <algorithm>
#include <charconv>
#include <cinttypes>
#include <limits>

#include "failure.h"
#include "safe_output/safe_output.h"

const char* const kCalStarEndMarker = "##############################################\n";

namespace {

// Enough for any float's shortest form ("-1.17549435e-38") and any 32-bit integer.
constexpr size_t kNumberChars = 32;

// The free lines this writer gives a file: a reader skips them, a person reading the file sees
// where it came from.
const char* const kWriterFreeLines[kFreeHeaderLines] = {"Calibration star listing", "Written by calstars2fp from a star catalogue",
                                                        "Format version 1", "Stars are listed per frame below",
                                                        "----------------------------------------"};
// A line without "#" before each record.
const char* const kRecordSeparator = "----------------------------------------------";

// The shortest text that reads back as `value`: std::to_chars is exact and ignores the locale.
template <typename Number>
std::string NumberText(Number value) {
    char digits[kNumberChars];
    const std::to_chars_result written = std::to_chars(digits, digits + sizeof digits, value);
    return std::string(digits, written.ptr);
}

void AppendKeyLine(std::string& text, const char* key, const std::string& value) {
    text += key;
    text += " = ";
    text += value;
    text += '\n';
}

}  // namespace

CalStarHeaderFields CalStarHeader_Fields(const CalStarExtraction& header) {
    CalStarHeaderFields fields;
    for (int i = 0; i < kFreeHeaderLines; ++i) fields.free_lines[static_cast<size_t>(i)] = kWriterFreeLines[i];
    fields.header_text = header.header_text;
    fields.first_int = NumberText(header.first_int);
    fields.rows = NumberText(header.rows);
    fields.cols = NumberText(header.cols);
    fields.nstars = NumberText(header.nstars);
    return fields;
}

CalStarRecordFields CalStarRecord_Fields(const CalStarExtraction& record) {
    return CalStarRecordFields{record.name, NumberText(record.window), NumberText(record.divisor)};
}

CalStarStarFields CalStarStar_Fields(const CalStarExtraction& record, size_t i) {
    return CalStarStarFields{NumberText(record.row[i]), NumberText(record.col[i]), NumberText(int32_t{record.intensity[i]}),
                             NumberText(int32_t{record.total[i]})};
}

std::string CalStarHeader_Lines(const CalStarHeaderFields& header) {
    std::string text;
    for (const std::string& line : header.free_lines) text += line + '\n';
    AppendKeyLine(text, "Camera", header.header_text);
    AppendKeyLine(text, "Camera number", header.first_int);
    AppendKeyLine(text, "Nrows", header.rows);
    AppendKeyLine(text, "Ncols", header.cols);
    AppendKeyLine(text, "Nstars", header.nstars);
    return text;
}

std::string CalStarRecord_Lines(const CalStarRecordFields& record) {
    std::string text = std::string(kRecordSeparator) + '\n' + record.name + '\n';
    AppendKeyLine(text, "window", record.window);
    AppendKeyLine(text, "divisor", record.divisor);
    return text;
}

std::string CalStarStar_Line(const CalStarStarFields& star) {
    return star.row + ' ' + star.col + ' ' + star.intensity + ' ' + star.total + '\n';
}

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

namespace {

// The characters the reader's line reads skip as white space.
bool IsWhiteSpace(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r'; }

constexpr char kHexDigits[] = "0123456789abcdef";

// `name` with its control characters escaped, so that a reason that quotes it stays one line.
std::string EscapedName(const std::string& name) {
    std::string text;
    for (const char c : name) {
        const unsigned char byte = static_cast<unsigned char>(c);
        if (c == '\n') text += "\\n";
        else if (c == '\r') text += "\\r";
        else if (c == '\t') text += "\\t";
        else if (byte < 0x20 || byte == 0x7f) text += std::string("\\x") + kHexDigits[byte >> 4] + kHexDigits[byte & 15];
        else text += c;
    }
    return text;
}

}  // namespace

std::string CalStarName_Refusal(const std::string& name) {
    const auto refusal = [&](const char* why) { return Format("record name \"%s\" %s", EscapedName(name).c_str(), why); };
    if (name.find_first_of("\r\n") != std::string::npos) return refusal("holds a line end");
    if (!name.empty() && std::all_of(name.begin(), name.end(), IsWhiteSpace)) return refusal("is blank");
    if (!name.empty() && (IsWhiteSpace(name.front()) || IsWhiteSpace(name.back()))) {
        return refusal("begins or ends with white space");
    }
    return CalStarFrame_Refusal(name, 1);
}

void RefuseCalStarFile(const std::string& path, const std::string& why) {
    FailContent(WaitKind::None, Format(" Cannot write Cal Star Extraction file %s: %s \n", path.c_str(), why.c_str()), path, 0);
}

std::string CalStarRecord_Refusal(const CalStarExtraction& header, const CalStarExtraction& record) {
    std::string refused = CalStarName_Refusal(record.name);
    if (refused.empty()) refused = CalStarFrame_Refusal(record.name, record.divisor);
    if (!refused.empty()) return refused;
    const size_t nstars = static_cast<size_t>(header.nstars);
    if (record.row.size() != nstars || record.col.size() != nstars || record.intensity.size() != nstars ||
        record.total.size() != nstars) {
        return Format("record %s has %zu stars, not the file's %" PRId32, record.name.c_str(), record.row.size(), header.nstars);
    }
    return std::string();
}

std::string CalStarFile_Text(const CalStarExtraction& header, const std::vector<const CalStarExtraction*>& records) {
    std::string text = CalStarHeader_Lines(CalStarHeader_Fields(header));
    for (const CalStarExtraction* record : records) {
        text += CalStarRecord_Lines(CalStarRecord_Fields(*record));
        for (size_t i = 0; i < record->row.size(); ++i) text += CalStarStar_Line(CalStarStar_Fields(*record, i));
    }
    return text + kCalStarEndMarker;
}

void WriteCalStarFile(const std::string& path, const CalStarExtraction& header,
                      const std::vector<const CalStarExtraction*>& records) {
    std::string refused = CalStarHeader_Refusal(header);
    if (!refused.empty()) RefuseCalStarFile(path, refused);
    for (const CalStarExtraction* record : records) {
        refused = CalStarRecord_Refusal(header, *record);
        if (!refused.empty()) RefuseCalStarFile(path, refused);
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
