// CALSTARS reader: the text file that lists, per camera image, the calibration stars found in it.
//
// A CALSTARS file is a header (five free lines, one "key = text" line, then "key = integer" lines for
// first_int, rows, cols and nstars) followed by frame records. Each record is a separator line, a
// name line (the four-product file to write), "key = integer" lines for window and divisor, and
// exactly nstars star lines "row col intensity total". A separator line that contains "#" anywhere
// ends the file. The text is read the way formatted input reads it: keys are any text before "=",
// white space (blank lines included) after each line is skipped, and a carriage return before a line
// end belongs to the line end, so files written on Windows read the same everywhere. A file that
// begins with a blank line reads as formatted input reads it: the five free-line reads match nothing
// there, and the key of the "key = text" line takes in the blank line and the free lines, so the
// header is the one the file holds without its blank line. Everywhere else a key stands on one line.
//
// Use: OpenCalStarExtraction once per file, then ReadCalStarFrame until it returns 1.
//
// Every malformed input is refused with a Failure naming the operation, the file and the line; the
// reader never waits for a key. Refused: lines over 255 characters, a header that describes no image
// (rows or cols below 1, rows x cols over 2^31 - 1, nstars below 0 or more star lines than the file's
// size could hold), end of input inside a record, a star line that is not two numbers and two
// integers, a number out of the 32-bit range, divisor 0, and record names that are not plain file
// names (empty, ".", "..", containing "/" or "\\").
#pragma once

#include <cstdint>
#include <string>
#include <vector>

// Longest text a name, key or ignored line may hold: the 256-character buffers less the terminator.
constexpr size_t kMaxFieldLength = 255;
// The free lines that begin a file, read and ignored.
constexpr int kFreeHeaderLines = 5;
// The reader's memory failure: a file, or the star arrays it asks for, that the memory cannot hold.
constexpr const char* kCalStarReaderMemoryFailure = " Memory not allocated in OpenCalStarExtraction \n";

// The reader's place in the open file: the file's text (line ends normalised), the read position and
// line number, and whether a file is open. A copy is a closed reader holding no text (assigning one
// closes the target's): copying a record copies the record, never the file. A move keeps it all.
struct CalStarReading {
    std::string text;
    size_t position = 0;
    int line = 1;
    bool open = false;

    CalStarReading() = default;
    CalStarReading(const CalStarReading&) {}
    CalStarReading& operator=(const CalStarReading&) { return *this = CalStarReading(); }
    CalStarReading(CalStarReading&&) = default;
    CalStarReading& operator=(CalStarReading&&) = default;
};

struct CalStarExtraction {
    std::string header_text;  // value of the sixth header line; not used further
    int32_t first_int = 0;    // passed to the four-product header as its absolute value
    int32_t rows = 0;         // image height
    int32_t cols = 0;         // image width and row stride
    int32_t nstars = 0;       // star lines in every record of this file
    std::string name;         // current record: file name of the four-product file
    int32_t window = 0;       // current record: side of each star's square window (odd)
    int32_t divisor = 0;      // current record: divisor of the background level
    std::vector<float> row;   // star centre, row coordinate
    std::vector<float> col;   // star centre, column coordinate
    std::vector<uint16_t> intensity;   // integrated intensity, low 16 bits of the value read
    std::vector<uint16_t> total;       // fourth value of the star line, low 16 bits
    std::vector<uint16_t> background;  // (total - intensity) / divisor, stored in 16 bits
    // The same quotient before it is cut to 16 bits: negative or above 255 when the file's values are
    // inconsistent. The reconstitution clamps its seeding with it.
    std::vector<int32_t> background_level;

    std::string path;  // the file the record was read from, as messages name it
    CalStarReading reading;
};

// Opens the CALSTARS file at `path`, reads its header into `record` and sizes the star arrays for
// nstars stars. Only a regular file (or a link to one) is opened: a folder fails with
// " Cal Star Extraction file <path> is a folder \n", anything else that is not a regular file (a FIFO,
// a device, which could block or never end) with " Cal Star Extraction file <path> is not a regular
// file \n". Fails with " Cannot open Cal Star Extraction file <path> for reading \n" when the file
// cannot be read, and with a line naming the file and line for a malformed or implausible header.
// These failures carry the path, the system's error code and the line (failure.h).
// The file's size is reserved before it is read, so that a file the memory cannot hold fails at once;
// that, and star arrays that cannot be allocated, fail with
// " Memory not allocated in OpenCalStarExtraction \n" (as does a failed allocation in
// ReadCalStarFrame). The previous file's text and arrays are released first.
void OpenCalStarExtraction(const std::string& path, CalStarExtraction& record);

// Reads the next frame record into `record` and returns 0, or meets the end marker (a separator line
// with "#"; also plain end of input where a separator is expected), closes the file, frees the star
// arrays and returns 1.
int ReadCalStarFrame(CalStarExtraction& record);

// Closes the file before its end marker, as ReadCalStarFrame closes it there: the file's text and
// the star arrays are freed; the header values and the current record's name, window and divisor
// stay. Safe on a closed record.
void CalStarExtraction_Close(CalStarExtraction& record);

// Sizes the record's six star arrays to `count` stars, every value 0.
void CalStarExtraction_SizeStars(CalStarExtraction& record, size_t count);

// Stores star `i` (below nstars) of the current record from the values of its star line: the
// position, and the intensity and total as read (32-bit), of which the record keeps the low 16 bits,
// and the background level (total - intensity) / divisor of those 16-bit values. The divisor must be
// set and not 0.
void CalStarExtraction_SetStar(CalStarExtraction& record, size_t i, float row, float col, int32_t intensity, int32_t total);

// The fourth value of a star line that gives star `intensity` the background level `level` under
// `divisor` (not 0): intensity + level x divisor, the total from which SetStar's quotient gives back
// `level` exactly when both values fit 16 bits. In 64 bits: the reader takes only 32-bit values.
int64_t CalStarStar_TotalForLevel(int32_t intensity, int32_t level, int32_t divisor);

// Copies `from` into `to`: every field, the header values, the current record, its star arrays and
// the path (which messages name) included, and never the file's text or the reader's place in it
// (`to` is left a closed record). So a record goes to a worker or to Python while the reader reads on,
// and a field added to CalStarExtraction is copied with the rest.
void CalStarExtraction_CopyRecord(const CalStarExtraction& from, CalStarExtraction& to);

// The reader's "%f": the number at the start of [first, last) as formatted input reads it in the
// "C" locale, whatever locale any thread of the process has set: an optional sign, then a decimal
// number, "0x" and a hexadecimal one, "inf", "infinity" or "nan" with an optional "(...)", in any
// case; a number beyond a float's range gives the infinity or zero of its sign. Returns the end of
// the number, or `first` (value untouched) when there is none. A NaN reads as the quiet NaN of its
// sign. Exposed so that a test can hold it against the C library's own conversion.
const char* CalStar_ReadFloat(const char* first, const char* last, float& value);

// The bytes `held` takes once it holds a record of nstars stars, what it holds now kept: the file's
// text where it holds one (a copy never does: CalStarExtraction_CopyRecord) and the six star arrays,
// 18 bytes a star. With nstars 0, what it holds: after OpenCalStarExtraction, the reader's memory
// for the file.
uint64_t CalStarExtraction_Bytes(const CalStarExtraction& held, int32_t nstars);

// The most bytes OpenCalStarExtraction takes for a file of `file_bytes`: its text and the star
// arrays of as many stars as a file of that size can list.
uint64_t CalStarExtraction_FileBytes(uint64_t file_bytes);

// Why the reader refuses a frame record of this name and divisor ("record name \"<name>\" is not a
// plain file name", "divisor 0"), or "" when it accepts them. The reader adds the file and line.
std::string CalStarFrame_Refusal(const std::string& name, int32_t divisor);

// True when `name` can be written as a file in the working folder: not empty, not "." or "..", no
// "/" or "\\", at most kMaxFieldLength characters.
bool IsPlainFileName(const std::string& name);
