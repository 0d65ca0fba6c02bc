// Fuzz target: the CALSTARS reader on arbitrary bytes. Every input must either read to its end
// marker or be refused with a Failure; anything else (a crash, a sanitizer report, a hang) is a fault.
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "calstars/calstars.h"
#include "failure.h"

namespace {

// One scratch file for the whole run: the reader takes a path, not bytes.
const std::string& ScratchPath() {
    static const std::string path = [] {
        char pattern[] = "/tmp/calstars-reader-fuzz-XXXXXX";
        const int descriptor = ::mkstemp(pattern);
        if (descriptor < 0) std::abort();
        ::close(descriptor);
        return std::string(pattern);
    }();
    return path;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string& path = ScratchPath();
    FILE* file = std::fopen(path.c_str(), "wb");
    if (file == nullptr) std::abort();
    if (size > 0 && std::fwrite(data, 1, size, file) != size) std::abort();
    std::fclose(file);

    CalStarExtraction extraction;
    try {
        OpenCalStarExtraction(path, extraction);
        while (ReadCalStarFrame(extraction) == 0) {
            // A record that was read holds exactly nstars stars and a name the writer may use.
            if (extraction.row.size() != static_cast<size_t>(extraction.nstars)) std::abort();
            if (!IsPlainFileName(extraction.name)) std::abort();
        }
    } catch (const Failure&) {
        // A refusal is a correct answer to a malformed file.
    }
    return 0;
}
