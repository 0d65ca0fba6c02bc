// The main program's command-line conventions: --help and --version. Only argv[1] spelled exactly
// like an option is one; anything else stays a folder, so a folder named "--help" is reached as
// "./--help".
#pragma once

// Prints the usage text (the folder argument, what is written where, the exit statuses) on standard
// output.
void PrintUsage();

// Prints "calstars2fp <version>" on standard output.
void PrintVersion();
