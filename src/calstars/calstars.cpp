#include "calstars/calstars.h"

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cinttypes>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <limits>
#include <string>
#include <system_error>
#include <vector>

#include "failure.h"

namespace {

// A star line is at least "0 0 0 0" plus a line end: a file of n bytes cannot hold more star lines
// than n / 8, so a larger nstars is a corrupt header, refused before anything is allocated.
constexpr int64_t kMinStarLineBytes = 8;

int ReadFrame(CalStarExtraction& record);

bool IsWhite(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r'; }

[[noreturn]] void Refuse(const CalStarExtraction& record, int line, const char* operation, const std::string& what) {
    FailContent(WaitKind::None, Format(" %s: %s at line %d of %s \n", operation, what.c_str(), line, record.path.c_str()),
                record.path, line);
}

bool AtEnd(const CalStarExtraction& record) { return record.reading.position >= record.reading.text.size(); }

// The character at the read position, which is not at the end.
char Current(const CalStarExtraction& record) { return record.reading.text[record.reading.position]; }

// The trailing "\n" (and a blank in a pattern) of formatted input: skips any white space, line ends
// and blank lines included.
void SkipWhite(CalStarExtraction& record) {
    while (!AtEnd(record) && IsWhite(Current(record))) {
        if (Current(record) == '\n') ++record.reading.line;
        ++record.reading.position;
    }
}

// "%[^<stop>]": the longest run of characters other than `stop` (and, for keys, other than a line
// end: a key must stand on its own line). Returns false if the run is empty. A run longer than the
// 255 characters of its buffer is refused rather than cut.
bool ScanUntil(CalStarExtraction& record, char stop, const char* operation, std::string& out) {
    const size_t start = record.reading.position;
    const int line = record.reading.line;
    while (!AtEnd(record) && Current(record) != stop && Current(record) != '\n') {
        ++record.reading.position;
    }
    if (record.reading.position - start > kMaxFieldLength) {
        Refuse(record, line, operation, Format("line longer than %zu characters", kMaxFieldLength));
    }
    if (record.reading.position == start) return false;
    out.assign(record.reading.text, start, record.reading.position - start);
    return true;
}

// "%[^\n]\n": one whole line, then the white space after it.
bool ScanLine(CalStarExtraction& record, const char* operation, std::string& out) {
    if (!ScanUntil(record, '\n', operation, out)) return false;
    SkipWhite(record);
    return true;
}

// "%d": optional white space, sign and decimal digits. A value outside the 32-bit range is refused.
bool ScanInt(CalStarExtraction& record, const char* operation, int32_t& out) {
    SkipWhite(record);
    const int line = record.reading.line;
    const std::string& text = record.reading.text;
    size_t p = record.reading.position;
    bool negative = false;
    if (p < text.size() && (text[p] == '+' || text[p] == '-')) negative = text[p++] == '-';
    int64_t magnitude = 0;
    const size_t digits_start = p;
    while (p < text.size() && text[p] >= '0' && text[p] <= '9') {
        magnitude = magnitude * 10 + (text[p] - '0');
        if (magnitude > int64_t{1} << 31) Refuse(record, line, operation, "number out of the 32-bit range");
        ++p;
    }
    if (p == digits_start) return false;
    const int64_t value = negative ? -magnitude : magnitude;
    if (value > std::numeric_limits<int32_t>::max()) Refuse(record, line, operation, "number out of the 32-bit range");
    out = static_cast<int32_t>(value);
    record.reading.position = p;
    return true;
}

// The power of `base` (10, or 2 for a hexadecimal number) of the leading digit of the number text
// [first, last) (digits with at most one point, then an optional exponent: "e" for base 10, "p" for
// base 2), saturated far beyond any float's range; 0 for a number of zeros. Only its sign is used:
// it tells a number too large for a float from one too small.
int64_t LeadingPower(const char* first, const char* last, int base) {
    const char exponent_letter = base == 10 ? 'e' : 'p';
    const int digit_power = base == 10 ? 1 : 4;  // a hexadecimal digit is four binary places
    int64_t place = 0;                           // the power of the digit after the last one seen
    int64_t leading = 0;
    bool seen_nonzero = false, after_point = false;
    const char* p = first;
    for (; p < last && *p != exponent_letter && *p != exponent_letter - 'a' + 'A'; ++p) {
        if (*p == '.') {
            after_point = true;
            continue;
        }
        if (after_point) place -= digit_power;
        if (!seen_nonzero && *p != '0') {
            seen_nonzero = true;
            leading = after_point ? place : 0;
        }
        if (!after_point && seen_nonzero) leading += digit_power;
    }
    if (!seen_nonzero) return 0;
    int64_t exponent = 0;
    bool negative = false;
    if (p < last) ++p;  // the exponent letter
    if (p < last && (*p == '+' || *p == '-')) negative = *p++ == '-';
    for (; p < last && exponent < (int64_t{1} << 40); ++p) exponent = exponent * 10 + (*p - '0');
    return leading + (negative ? -exponent : exponent);
}

}  // namespace

// std::from_chars reads no locale and rounds to nearest as the C library's conversion does; it takes
// neither a "+" nor a "0x" of its own, and leaves a value beyond the range untouched, so those are
// read here.
const char* CalStar_ReadFloat(const char* first, const char* last, float& value) {
    const char* p = first;
    const bool negative = p < last && *p == '-';
    if (p < last && (*p == '+' || *p == '-')) ++p;
    if (p == last || *p == '+' || *p == '-') return first;  // from_chars takes a sign of its own
    const bool hexadecimal = last - p >= 2 && p[0] == '0' && (p[1] == 'x' || p[1] == 'X');
    const char* digits = hexadecimal ? p + 2 : p;
    float magnitude = 0.0f;
    std::from_chars_result read{digits, std::errc::invalid_argument};
    if (digits < last && *digits != '+' && *digits != '-') {
        read = std::from_chars(digits, last, magnitude, hexadecimal ? std::chars_format::hex : std::chars_format::general);
    }
    if (read.ec == std::errc::invalid_argument) {
        if (!hexadecimal) return first;
        read.ptr = p + 1;  // "0x" with no hexadecimal digit after it: the number is the "0"
        magnitude = 0.0f;
    } else if (read.ec == std::errc::result_out_of_range) {
        magnitude = LeadingPower(digits, read.ptr, hexadecimal ? 2 : 10) > 0 ? std::numeric_limits<float>::infinity() : 0.0f;
    }
    value = negative ? -magnitude : magnitude;
    return read.ptr;
}

namespace {

// "%f": optional white space, then a single-precision number (rounded to nearest from its decimal).
bool ScanFloat(CalStarExtraction& record, float& out) {
    SkipWhite(record);
    if (AtEnd(record)) return false;
    const char* start = record.reading.text.c_str() + record.reading.position;
    const char* end = CalStar_ReadFloat(start, record.reading.text.c_str() + record.reading.text.size(), out);
    if (end == start) return false;
    record.reading.position += static_cast<size_t>(end - start);
    return true;
}

// "%[^=]= %d\n": a key line with an integer value.
int32_t ReadKeyInteger(CalStarExtraction& record, const char* operation, const char* what) {
    const int line = record.reading.line;
    std::string key;
    int32_t value = 0;
    if (AtEnd(record)) Refuse(record, line, operation, Format("end of input where the %s line belongs", what));
    if (!ScanUntil(record, '=', operation, key) || AtEnd(record) || Current(record) != '=') {
        Refuse(record, line, operation, Format("expected \"key = integer\" for %s", what));
    }
    ++record.reading.position;
    if (!ScanInt(record, operation, value)) Refuse(record, line, operation, Format("%s is not an integer", what));
    SkipWhite(record);
    return value;
}

// The whole file into `text`; false (and `error` the system's code, 0 when it gave none) when it
// cannot be opened or read. The file's size, where the system tells it, is reserved before anything
// is read, so that a file too large for the memory fails at once, before a byte of it is read
// (std::bad_alloc, which the caller reports).
bool ReadWholeFile(const std::string& path, std::string& text, int& error) {
    text.clear();
    errno = 0;
    FILE* file = std::fopen(path.c_str(), "rb");
    if (file == nullptr) {
        error = errno;
        return false;
    }
    struct Closer {
        FILE* file;
        ~Closer() { std::fclose(file); }
    } closer{file};
    // ftell gives -1 where the size does not fit a long (32-bit systems): the text then grows as read.
    if (std::fseek(file, 0, SEEK_END) == 0) {
        const long size = std::ftell(file);
        if (size > 0) text.reserve(static_cast<size_t>(size));
    }
    errno = 0;
    if (std::fseek(file, 0, SEEK_SET) != 0) {
        error = errno;
        return false;
    }
    char buffer[65536];
    size_t got = 0;
    errno = 0;
    while ((got = std::fread(buffer, 1, sizeof buffer, file)) > 0) text.append(buffer, got);
    if (!std::ferror(file)) return true;
    error = errno;
    return false;
}

// Opening a FIFO or a device can wait for ever, and reading one may never end: only a regular file
// (or a link to one) is opened. A path that cannot be examined is left to the open, which reports it.
void RefuseIfNotRegular(const std::string& path) {
    std::error_code error;
    const std::filesystem::file_type type = std::filesystem::status(path, error).type();
    if (error) return;
    if (type == std::filesystem::file_type::directory) {
        FailFile(WaitKind::None, Format(" Cal Star Extraction file %s is a folder \n", path.c_str()), path, EISDIR);
    }
    if (type != std::filesystem::file_type::regular) {
        FailFile(WaitKind::None, Format(" Cal Star Extraction file %s is not a regular file \n", path.c_str()), path, 0);
    }
}

// A carriage return right before a line end is part of the line end, as in Windows text mode.
// Done in place: the text never exists twice.
void NormaliseLineEnds(std::string& text) {
    size_t kept = 0;
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n') continue;
        text[kept++] = text[i];
    }
    text.resize(kept);
}

void ReadHeader(CalStarExtraction& record, int64_t file_bytes) {
    const char* op = "OpenCalStarExtraction";
    std::string ignored;
    // A free-line read matches nothing at a line end and leaves it in place, and so does every read
    // after it: where the file begins with a blank line, all five read nothing.
    bool free_lines_left = false;
    for (int i = 0; i < kFreeHeaderLines && !free_lines_left; ++i) {
        if (AtEnd(record)) Refuse(record, record.reading.line, op, "header cut short");
        free_lines_left = !ScanLine(record, op, ignored);
    }
    const int line = record.reading.line;
    std::string key;
    if (free_lines_left) {
        // The sixth line's key then takes in everything up to the first "=": the blank line and the
        // free lines. The values that follow are read from the lines they would stand on without the
        // blank line.
        while (!AtEnd(record) && Current(record) != '=') {
            if (Current(record) == '\n') {
                ++record.reading.position;
                ++record.reading.line;
            } else {
                ScanUntil(record, '=', op, key);
            }
        }
        if (AtEnd(record)) Refuse(record, record.reading.line, op, "header cut short");
    } else if (!ScanUntil(record, '=', op, key) || AtEnd(record) || Current(record) != '=') {
        Refuse(record, line, op, "expected \"key = text\" as the sixth header line");
    }
    ++record.reading.position;
    while (!AtEnd(record) && (Current(record) == ' ' || Current(record) == '\t')) {
        ++record.reading.position;
    }
    if (!ScanLine(record, op, record.header_text)) SkipWhite(record);

    record.first_int = ReadKeyInteger(record, op, "first header integer");
    const int size_line = record.reading.line;
    record.rows = ReadKeyInteger(record, op, "rows");
    record.cols = ReadKeyInteger(record, op, "cols");
    const int nstars_line = record.reading.line;
    record.nstars = ReadKeyInteger(record, op, "nstars");

    if (record.rows < 1 || record.cols < 1) {
        Refuse(record, size_line, op, Format("image of %" PRId32 " rows and %" PRId32 " cols describes no image", record.rows, record.cols));
    }
    if (int64_t{record.rows} * record.cols > std::numeric_limits<int32_t>::max()) {
        Refuse(record, size_line, op, Format("image of %" PRId32 " x %" PRId32 " pixels is too large", record.rows, record.cols));
    }
    if (record.nstars < 0 || record.nstars > file_bytes / kMinStarLineBytes) {
        Refuse(record, nstars_line, op, Format("nstars %" PRId32 " does not fit the file", record.nstars));
    }
}

void ReadStarLine(CalStarExtraction& record, int32_t i) {
    const char* op = "ReadCalStarFrame";
    const int line = record.reading.line;
    float row = 0.0f;
    float col = 0.0f;
    int32_t intensity = 0;
    int32_t total = 0;
    if (AtEnd(record)) Refuse(record, line, op, "end of input inside a record");
    if (!ScanFloat(record, row) || !ScanFloat(record, col) || !ScanInt(record, op, intensity) || !ScanInt(record, op, total)) {
        Refuse(record, line, op, "star line does not hold two numbers and two integers");
    }
    SkipWhite(record);
    CalStarExtraction_SetStar(record, static_cast<size_t>(i), row, col, intensity, total);
}

void Close(CalStarExtraction& record) {
    record.reading.open = false;
    record.reading.text.clear();
    record.reading.text.shrink_to_fit();
    CalStarExtraction_SizeStars(record, 0);
    record.row.shrink_to_fit();
    record.col.shrink_to_fit();
    record.intensity.shrink_to_fit();
    record.total.shrink_to_fit();
    record.background.shrink_to_fit();
    record.background_level.shrink_to_fit();
}

}  // namespace

bool IsPlainFileName(const std::string& name) {
    return !name.empty() && name != "." && name != ".." && name.size() <= kMaxFieldLength &&
           name.find_first_of("/\\") == std::string::npos && name.find('\0') == std::string::npos;
}

void CalStarExtraction_CopyRecord(const CalStarExtraction& from, CalStarExtraction& to) {
    // The reading's copy is empty: a plain assignment copies every record field and no text.
    to = from;
}

void CalStarExtraction_Close(CalStarExtraction& record) { Close(record); }

int64_t CalStarStar_TotalForLevel(int32_t intensity, int32_t level, int32_t divisor) {
    return int64_t{intensity} + int64_t{level} * divisor;
}

uint64_t CalStarExtraction_Bytes(const CalStarExtraction& held, int32_t nstars) {
    const uint64_t stars = static_cast<uint64_t>(std::max(nstars, 0));
    const auto array = [stars](const auto& values) {
        return sizeof(values[0]) * std::max<uint64_t>(values.capacity(), stars);
    };
    // The text's terminator is held beside its capacity.
    const uint64_t text = held.reading.text.capacity() == 0 ? 0 : held.reading.text.capacity() + 1;
    return text + array(held.row) + array(held.col) + array(held.intensity) + array(held.total) + array(held.background) +
           array(held.background_level);
}

uint64_t CalStarExtraction_FileBytes(uint64_t file_bytes) {
    const uint64_t stars = std::min<uint64_t>(file_bytes / kMinStarLineBytes, std::numeric_limits<int32_t>::max());
    return file_bytes + 1 + CalStarExtraction_Bytes(CalStarExtraction{}, static_cast<int32_t>(stars));
}

void CalStarExtraction_SizeStars(CalStarExtraction& record, size_t count) {
    record.row.assign(count, 0.0f);
    record.col.assign(count, 0.0f);
    record.intensity.assign(count, 0);
    record.total.assign(count, 0);
    record.background.assign(count, 0);
    record.background_level.assign(count, 0);
}

void CalStarExtraction_SetStar(CalStarExtraction& record, size_t i, float row, float col, int32_t intensity, int32_t total) {
    record.row[i] = row;
    record.col[i] = col;
    // Both values keep their low 16 bits; the background is the signed quotient of the 16-bit values.
    record.intensity[i] = static_cast<uint16_t>(intensity);
    record.total[i] = static_cast<uint16_t>(total);
    const int32_t level = (int32_t{record.total[i]} - int32_t{record.intensity[i]}) / record.divisor;
    record.background_level[i] = level;
    record.background[i] = static_cast<uint16_t>(level);
}

std::string CalStarFrame_Refusal(const std::string& name, int32_t divisor) {
    if (!IsPlainFileName(name)) return Format("record name \"%s\" is not a plain file name", name.c_str());
    if (divisor == 0) return "divisor 0";
    return std::string();
}

void OpenCalStarExtraction(const std::string& path, CalStarExtraction& record) {
    OnAllocationFailure(WaitKind::None, kCalStarReaderMemoryFailure, [&] {
        record.path = path;
        // The previous file's text is released before this one is read.
        Close(record);
        RefuseIfNotRegular(path);
        int error = 0;
        if (!ReadWholeFile(path, record.reading.text, error)) {
            Close(record);
            FailFile(WaitKind::None, Format(" Cannot open Cal Star Extraction file %s for reading \n", path.c_str()), path, error);
        }
        const int64_t file_bytes = static_cast<int64_t>(record.reading.text.size());
        NormaliseLineEnds(record.reading.text);
        record.reading.position = 0;
        record.reading.line = 1;
        record.reading.open = true;
        ReadHeader(record, file_bytes);
        CalStarExtraction_SizeStars(record, static_cast<size_t>(record.nstars));
    });
}

int ReadCalStarFrame(CalStarExtraction& record) {
    return OnAllocationFailure(WaitKind::None, kCalStarReaderMemoryFailure, [&] { return ReadFrame(record); });
}

namespace {

int ReadFrame(CalStarExtraction& record) {
    const char* op = "ReadCalStarFrame";
    std::string separator;
    // End of input where a separator belongs ends the file like the end marker does.
    if (!ScanLine(record, op, separator) || separator.find('#') != std::string::npos) {
        Close(record);
        return 1;
    }
    const int name_line = record.reading.line;
    if (!ScanLine(record, op, record.name)) Refuse(record, name_line, op, "end of input inside a record");
    const std::string name_refused = CalStarFrame_Refusal(record.name, 1);
    if (!name_refused.empty()) Refuse(record, name_line, op, name_refused);
    record.window = ReadKeyInteger(record, op, "window");
    const int divisor_line = record.reading.line;
    record.divisor = ReadKeyInteger(record, op, "divisor");
    const std::string divisor_refused = CalStarFrame_Refusal(record.name, record.divisor);
    if (!divisor_refused.empty()) Refuse(record, divisor_line, op, divisor_refused);
    for (int32_t i = 0; i < record.nstars; ++i) ReadStarLine(record, i);
    return 0;
}

}  // namespace
