#include "driver/usage.h"

#include <cstdio>

#include "driver/paths.h"
#include "version.h"

void PrintUsage() {
    std::printf(
        "Usage: calstars2fp <folder>\n"
        "       calstars2fp --help | --version\n"
        "\n"
        "Reads the star lists CALSTARS*.txt of <folder> and, for every frame record in them, writes a\n"
        "four-product file (peak value, frame index, mean value, standard deviation) into <folder>\n"
        "under the name that the record gives, printing that name when the file is written. An\n"
        "existing file of that name is replaced. The names of the CALSTARS files are first written to\n"
        "%s in <folder>, which stays there. Further arguments are ignored.\n"
        "\n"
        "Without a folder, a dialog asks for any CALSTARS file and its folder is used. A folder named\n"
        "like an option is reached as ./--help.\n"
        "\n"
        "Each file is written under <name>.partial first and renamed when complete. Stopped by SIGINT,\n"
        "SIGTERM or SIGHUP (Windows: Ctrl-C, Ctrl-Break, closing the console), it removes the file it is\n"
        "writing, keeps every file already written, prints one line naming the folder and the record it\n"
        "did not finish, and ends by that signal (Windows: exit status 128 + signal number).\n"
        "\n"
        "Exit status: 0 after the last listed file (also when there is none); 1 on a failure, after one\n"
        "line on standard output that says what went wrong.\n"
        "\n"
        "The companion program fpview turns four-product files into PNG and FITS images.\n",
        kListingName);
}

void PrintVersion() { std::printf("calstars2fp %s\n", kVersion); }
