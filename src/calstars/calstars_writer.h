// Writing a CALSTARS file: the text that the reader (calstars.h) reads back to the same header values
// and frame records, for star fields that come from another catalogue than the star extraction.
//
// The file is five free lines, "Camera = <header_text>", "Camera number = <first_int>", "Nrows = ",
// "Ncols = ", "Nstars = ", then per record a separator line, its name, "window = ", "divisor = " and
// its star lines "row col intensity total", and the end marker. Each position is written as the
// shortest decimal that reads back as the same single-precision number, whatever the locale, so
// the reader gives back every bit of a finite position or an infinity (a NaN, which the program
// refuses as a position, comes back as the quiet NaN of its sign); intensity and total are the
// records' 16-bit values.
//
// The text is built from pieces that lay out the text of each field as it is to stand in the file:
// CalStarHeader_Lines (the free lines and the header's key lines), per record CalStarRecord_Lines
// (separator, name, window, divisor) and one CalStarStar_Line per star, then kCalStarEndMarker. The
// pieces neither check nor convert the field texts they are given, so a generator can format its
// numbers its own way and a test can put any text in any field (a malformed file is the writer's
// pieces with one field's text replaced). The *_Fields functions give the texts this writer writes.
//
// Use: fill a CalStarExtraction with the header values (first_int, rows, cols, nstars, header_text)
// and one per record (name, window, divisor, row, col, intensity, total with nstars entries each),
// then WriteCalStarFile once (or CalStarFile_Text for the text alone).
#pragma once

#include <array>
#include <cstddef>
#include <string>
#include <vector>

#include "calstars/calstars.h"

// The texts of a header's fields: the free lines (without their line ends) and the values after "= ".
struct CalStarHeaderFields {
    std::array<std::string, kFreeHeaderLines> free_lines;
    std::string header_text, first_int, rows, cols, nstars;
};

// The texts of a frame record's fields before its star lines.
struct CalStarRecordFields {
    std::string name, window, divisor;
};

// The texts of the four values of a star line.
struct CalStarStarFields {
    std::string row, col, intensity, total;
};

// The line that ends the file (a separator line with "#" in it), line end included.
extern const char* const kCalStarEndMarker;

// The texts this writer gives `header`'s values (its own free lines, decimal integers) and `record`'s
// name, window and divisor, and star `i` (below the record's star count) of `record`.
CalStarHeaderFields CalStarHeader_Fields(const CalStarExtraction& header);
CalStarRecordFields CalStarRecord_Fields(const CalStarExtraction& record);
CalStarStarFields CalStarStar_Fields(const CalStarExtraction& record, size_t i);

// The lines of the pieces, each line with its line end: the five free lines and the five key lines
// of a header; the separator, name and key lines of a record; one star line.
std::string CalStarHeader_Lines(const CalStarHeaderFields& header);
std::string CalStarRecord_Lines(const CalStarRecordFields& record);
std::string CalStarStar_Line(const CalStarStarFields& star);

// Why a header or a record cannot be written so that the reader reads it back, or "" when it can:
// rows or cols below 1, rows x cols over 2^31 - 1, nstars below 0, a header text with a line end or
// over 255 characters or with leading blanks; a record whose name CalStarName_Refusal refuses, whose
// divisor the reader refuses (CalStarFrame_Refusal) or whose star arrays do not hold nstars entries
// each.
std::string CalStarHeader_Refusal(const CalStarExtraction& header);
std::string CalStarRecord_Refusal(const CalStarExtraction& header, const CalStarExtraction& record);

// Why a record name cannot be written so that the reader reads the same name back, or "": a line end
// (LF or CR) anywhere, which would end the name line there or vanish with the line end ("record name
// \"A\\nB.bin\" holds a line end"); a name of white space only, or one that begins or ends with white
// space (blanks, tabs), which the reader skips before a line or which a file name does not keep;
// then the reader's own refusal (CalStarFrame_Refusal). The reason shows the name with its control
// characters escaped (\n, \r, \t, \xHH), so that it stays one line. The reader keeps accepting what
// it reads: this rule is the writer's, so that a written name is the name read.
std::string CalStarName_Refusal(const std::string& name);

// Refuses writing the CALSTARS file at `path` for `why` (a reason above, or one of the caller's:
// what the program would refuse to process), with " Cannot write Cal Star Extraction file <path>:
// <why> \n", a content failure that carries the path.
[[noreturn]] void RefuseCalStarFile(const std::string& path, const std::string& why);

// The whole text of the file, from the pieces above with this writer's field texts.
std::string CalStarFile_Text(const CalStarExtraction& header, const std::vector<const CalStarExtraction*>& records);

// Writes the file at `path` through a safe output file (safe_output.h): complete under its name or
// not at all. Refuses what the Refusal functions refuse with " Cannot write Cal Star Extraction file
// <path>: <reason> \n" before anything is written, and a file that cannot be written with the same
// line and the system's error text (the failure carries the path and the system's error code).
void WriteCalStarFile(const std::string& path, const CalStarExtraction& header,
                      const std::vector<const CalStarExtraction*>& records);
