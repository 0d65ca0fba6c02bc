// The companion program fpview: its command line, the conversion of one four-product file into its
// PNG and FITS exports, and the folder mode with its progress display.
//
//   fpview [--png | --fits] [--product peak|frame|mean|stddev] [--out <folder>] <file or folder>
//   fpview --help | --version
//
// Outputs go beside each input (or into --out) under the input's name with a trailing ".bin"
// dropped and ".png", ".<product>.png" or ".fits" added. An input never ends in any of those, so an
// output never replaces an input; each output is written as a safe output file (safe_output.h: in a
// hidden folder beside it first, renamed when complete), so an interrupted run leaves no half-written
// image under the final name.
//
// Exit status: 0 when every file was converted; 1 when any file was refused or could not be
// written (one line each, the other files of a folder are still converted), for a folder without
// four-product files, for a command-line error, and when standard output could not be written.
// In a folder, an input is refused when its outputs would replace those of an earlier input of
// the run (a.bin and a.BIN both make a.png).
#pragma once

#include <cstddef>
#include <string>
#include <vector>

// The whole mosaic rather than one product.
constexpr int kMosaic = -1;
// Names that folder mode takes for four-product files, compared without regard to case.
constexpr const char* kFourProductSuffix = ".bin";

struct ViewerOptions {
    bool write_png = true;
    bool write_fits = true;
    int product = kMosaic;   // product of the PNG (0..3), or kMosaic for all four
    std::string out_folder;  // empty: beside each input
    std::string input;       // a four-product file, or a folder of them
};

enum class ViewerAction { Convert, Help, Version };

// Reads the command line (argv[1..argc-1]) into `options`. Options come before the input; "--"
// ends them, so any name is reachable. Throws a Failure (no wait) for an unknown option, a missing
// option value, an unknown product, both --png and --fits, or not exactly one input.
ViewerAction ParseViewerArguments(int argc, char** argv, ViewerOptions& options);

// The files that `options` makes of `input`, in the order they are written.
std::vector<std::string> OutputPaths(const std::string& input, const ViewerOptions& options);

// Reads and checks `input`, then writes every output of OutputPaths. Returns those paths. Throws the
// reader's or writers' Failure; outputs written before a failure stay. A picture that the memory
// cannot hold (its planes, or a mosaic wider or taller than 2^31 - 1) is refused with
// " Four-product file <path> of <rows> x <cols> pixels is too large for this machine's memory ". A
// picture wider or taller than the PNG library writes (Png_Takes) is refused with " Cannot write PNG
// file <path>: ... " naming --product and --fits, after the FITS file when that is asked for too.
std::vector<std::string> ConvertFile(const std::string& input, const ViewerOptions& options);

// The four-product files of `folder` (names ending in kFourProductSuffix, regular files), as paths
// under `folder`, in byte order of their names. Throws a Failure when the folder cannot be read.
std::vector<std::string> ListFourProductFiles(const std::string& folder);

// The terminal progress display after `done` of `total` files: "[####      ]  3/10" with a bar of
// `width` characters.
std::string ProgressBar(size_t done, size_t total, size_t width);

// Runs fpview; returns the exit status. Command-line and single-file failures throw a Failure.
int RunViewer(int argc, char** argv);

// Prints fpview's usage text on standard output.
void PrintViewerUsage();
