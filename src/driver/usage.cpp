#include "driver/usage.h"

#include <cinttypes>
#include <cstdio>
#include <cstring>

#include "driver/batch.h"
#include "failure.h"
#include "platform/listing.h"
#include "reconstitution/vector_target.h"
#include "version.h"

namespace {

// A whole number from 1 to kMaxJobs, written in decimal digits only.
bool ParseJobs(const char* text, int32_t& jobs) {
    const size_t length = std::strlen(text);
    if (length == 0 || length > 9) return false;
    int32_t value = 0;
    for (size_t i = 0; i < length; ++i) {
        if (text[i] < '0' || text[i] > '9') return false;
        value = value * 10 + (text[i] - '0');
    }
    if (value < 1 || value > kMaxJobs) return false;
    jobs = value;
    return true;
}

}  // namespace

CommandLine ParseCommandLine(int argc, const char* const* argv) {
    CommandLine line;
    int next = 1;
    if (argc >= 2 && std::strcmp(argv[1], "--help") == 0) {
        line.action = CommandLine::kHelp;
        return line;
    }
    if (argc >= 2 && std::strcmp(argv[1], "--version") == 0) {
        line.action = CommandLine::kVersion;
        return line;
    }
    if (argc >= 2 && (std::strcmp(argv[1], "--jobs") == 0 || std::strcmp(argv[1], "-j") == 0)) {
        if (argc < 3) Fail(WaitKind::None, Format(" Option %s needs a number of workers from 1 to %" PRId32 " \n", argv[1], kMaxJobs));
        if (!ParseJobs(argv[2], line.jobs)) {
            Fail(WaitKind::None, Format(" Option %s takes a whole number of workers from 1 to %" PRId32 ", not \"%s\" \n", argv[1],
                                        kMaxJobs, argv[2]));
        }
        next = 3;
    }
    if (argc > next) {
        line.has_folder = true;
        line.folder = argv[next];
    }
    return line;
}

void PrintUsage() {
    std::printf(
        "Usage: calstars2fp [--jobs N] [<folder>]\n"
        "       calstars2fp --help | --version\n"
        "\n"
        "Reads the star lists CALSTARS*.txt of <folder> and, for every frame record in them, writes a\n"
        "four-product file (peak value, frame index, mean value, standard deviation) into <folder>\n"
        "under the name that the record gives, printing that name when the file is written. An\n"
        "existing file of that name is replaced. The names of the CALSTARS files are first written to\n"
        "%s in <folder>, which stays there. Further arguments are ignored.\n"
        "\n"
        "Without a folder, a dialog asks for any CALSTARS file and its folder is used. A folder named\n"
        "like an option is reached as ./--help or ./--jobs.\n"
        "\n"
        "--jobs N, -j N  reconstitute N records at a time (1 to %d); by default as many as the\n"
        "                processors this process may run on. Files, names and messages are the same\n"
        "                for every N: records are written and named in order, and after a failure\n"
        "                nothing of a later record is written. Fewer workers are used where the\n"
        "                memory would not hold N.\n"
        "\n"
        "Each file is written first in a hidden folder of the run's own in <folder>, .calstars2fp-<hex>,\n"
        "and renamed when complete. Stopped by SIGINT, SIGTERM or SIGHUP (Windows: Ctrl-C, Ctrl-Break,\n"
        "closing the console), it removes the file it is writing and that folder, keeps every file\n"
        "already written, prints one line naming the folder and the record it did not finish, and ends\n"
        "by that signal (Windows: exit status 128 + signal number).\n"
        "\n"
        "Exit status: 0 after the last listed file (also when there is none); 1 on a failure, after one\n"
        "line on standard output that says what went wrong.\n"
        "\n"
        "The companion program fpview turns four-product files into PNG and FITS images.\n",
        kListingName, static_cast<int>(kMaxJobs));
}

void PrintVersion() { std::printf("calstars2fp %s\nvector instructions: %s\n", kVersion, VectorTarget_Name().c_str()); }
