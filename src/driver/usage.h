// The main program's command-line conventions: --help, --version and --jobs N (also -j N). Only
// argv[1] spelled exactly like an option is one; anything else stays a folder, so a folder named
// "--help" or "--jobs" is reached as "./--help" or "./--jobs". After "--jobs N" the next argument, if
// any, is the folder, whatever it is spelled like.
#pragma once

#include <cstdint>
#include <string>

struct CommandLine {
    enum Action { kRun, kHelp, kVersion } action = kRun;
    int32_t jobs = 0;         // workers asked for with --jobs; 0: as many as the process has processors
    bool has_folder = false;  // false: the user is asked for a CALSTARS file
    std::string folder;
};

// Reads argc/argv as above; further arguments are ignored. Refuses (Failure, no wait) a --jobs
// without a number, or with one that is not a whole number from 1 to kMaxJobs (batch.h).
CommandLine ParseCommandLine(int argc, const char* const* argv);

// Prints the usage text (the folder argument, what is written where, the exit statuses) on standard
// output.
void PrintUsage();

// Prints "calstars2fp <version>" and, on a second line "vector instructions: <target>", the
// instruction set the fast stages run with on this processor (see vector_target.h), on standard
// output.
void PrintVersion();
