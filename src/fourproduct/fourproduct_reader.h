// Reading a four-product file back into the record that the writer stores (fourproduct.h): its five
// header values and its four planes, after the checks that keep a truncated or foreign file from
// being taken for an image. The file's layout is the writer's; the header's words are decoded by
// FourProduct_DecodeHeader, the one reverse of FourProduct_Header.
//
// Use: FourProduct_ReadFile once per file; the exporters (fpview's PNG and FITS writers, the Python
// module) take the record as it is, planes in its current bank.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "fourproduct/fourproduct.h"

// Reads the four-product file at `path` into `record`: the five header values into their fields,
// the four planes into the current bank's slots (rows x cols bytes each, row 0 first); the other
// bank's slots and output_name are left as they are.
//
// Refused with a Failure (no wait) whose one line names `path`, before any plane is allocated: a
// path that is not a regular file (a FIFO, a device or a folder, never opened), a file that cannot
// be opened, one shorter than its 20-byte header, rows or cols below 1, bits per pixel other than 8,
// a size other than 20 + 4 x rows x cols bytes; and a file that cannot be read whole. Planes that
// do not fit the memory throw std::bad_alloc or std::length_error (the caller reports them, as
// fpview's ConvertFile does), before any byte of them is read. `before_planes`, when given, sees the
// checked header before any plane is allocated (the caller's own checks of the size, cheapest first).
void FourProduct_ReadFile(const std::string& path, FourProduct& record,
                          const std::function<void(const FourProduct&)>& before_planes = nullptr);

// The same read into memory of the caller's: the header values into `record` (its planes are not
// touched), then the four planes, in file order, into the 4 x rows x cols bytes at the address
// `planes_for` returns once it has seen the checked header. So a caller that owns its array (the
// Python module's NumPy array) takes one allocation, uncleared, and no copy. The same refusals as
// FourProduct_ReadFile; `planes_for` may throw (an allocation that fails), before any plane is read.
void FourProduct_ReadFileInto(const std::string& path, FourProduct& record,
                              const std::function<uint8_t*(const FourProduct&)>& planes_for);
