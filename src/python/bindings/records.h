// The star lists in Python: Record (one frame record, read from a CALSTARS file or made from a star
// table of any catalogue, whose columns the user names; pickled with the image it was read with),
// CalstarsFile (an open CALSTARS file, its records by iteration, read again once at its end; a
// context manager), read_calstars and write_calstars. Every record goes through the CALSTARS reader
// and writer of calstars/: a record made here is refused with the reasons of the reader, the writer
// and the reconstitution (those that need no image) where a file of it would be, and a file written
// here reads back to the same records and is one the program processes.
#pragma once

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <cstdint>
#include <memory>
#include <mutex>

#include "calstars/calstars.h"
#include "python/bindings/conversions.h"

namespace bindings {

// One star of Record.stars, laid out as its NumPy structured dtype (the module's STAR_DTYPE).
struct Star {
    float row;
    float col;
    uint16_t intensity;
    uint16_t total;
};

// The header of an open CALSTARS file, kept apart from the reader so that records can be checked
// against it.
struct CalstarsFile {
    CalStarExtraction extraction;  // the reader: header, current record, the file's text
    bool finished = false;         // the end marker was met (or the file closed): no record is read
    bool closed = false;           // close() was called: the file is not read again
    int64_t records_read = 0;      // since the file was opened or read again from its start
    std::unique_ptr<std::mutex> reading = std::make_unique<std::mutex>();  // one thread reads at a time
};

// A frame record: a copy of what the reconstitution reads (not the text), read from a file (path,
// rows and cols are the file's) or made in memory (path kMemoryPath, rows and cols 0).
struct Record {
    CalStarExtraction record;
    py::array stars;  // read-only structured array over a copy of the star arrays
};

// Defines Record, CalstarsFile, read_calstars and write_calstars in `module`. STAR_DTYPE, the dtype
// of Star, must be registered first.
void DefineRecords(py::module_& module);

}  // namespace bindings
