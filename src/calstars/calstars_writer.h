// Writing a CALSTARS file: the text that the reader (calstars.h) reads back to the same header values
// and frame records, for star fields that come from another catalogue than the star extraction.
//
// The file is five free lines, "Camera = <header_text>", "Camera number = <first_int>", "Nrows = ",
// "Ncols = ", "Nstars = ", then per record a separator line, its name, "window = ", "divisor = " and
// its star lines "row col intensity total", and the end marker. Each position is written as the
// shortest decimal that reads back as the same single-precision number, whatever the locale, so
// the reader gives back every bit of it; intensity and total are the records' 16-bit values.
//
// Use: fill a CalStarExtraction with the header values (first_int, rows, cols, nstars, header_text)
// and one per record (name, window, divisor, row, col, intensity, total with nstars entries each),
// then WriteCalStarFile once.
#pragma once

#include <string>
#include <vector>

#include "calstars/calstars.h"

// Why a header or a record cannot be written so that the reader reads it back, or "" when it can:
// rows or cols below 1, rows x cols over 2^31 - 1, nstars below 0, a header text with a line end or
// over 255 characters or with leading blanks; a record whose name or divisor the reader refuses
// (CalStarFrame_Refusal) or whose star arrays do not hold nstars entries each.
std::string CalStarHeader_Refusal(const CalStarExtraction& header);
std::string CalStarRecord_Refusal(const CalStarExtraction& header, const CalStarExtraction& record);

// The whole text of the file.
std::string CalStarFile_Text(const CalStarExtraction& header, const std::vector<const CalStarExtraction*>& records);

// Writes the file at `path` through a safe output file (safe_output.h): complete under its name or
// not at all. Refuses what the Refusal functions refuse with " Cannot write Cal Star Extraction file
// <path>: <reason> \n" before anything is written, and a file that cannot be written with the same
// line and the system's error text (the failure carries the path and the system's error code).
void WriteCalStarFile(const std::string& path, const CalStarExtraction& header,
                      const std::vector<const CalStarExtraction*>& records);
