#include "viewer/convert.h"

#include <algorithm>
#include <cctype>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <map>
#include <new>
#include <stdexcept>
#include <utility>

#include "failure.h"
#include "fourproduct/fourproduct_reader.h"
#include "platform/console.h"
#include "safe_output/safe_output.h"
#include "platform/interruption.h"
#include "version.h"
#include "viewer/fits_export.h"
#include "viewer/png_export.h"

namespace fs = std::filesystem;

namespace {

constexpr size_t kBarWidth = 30;

bool EndsWithIgnoringCase(const std::string& text, const std::string& suffix) {
    if (text.size() < suffix.size()) return false;
    return std::equal(suffix.begin(), suffix.end(), text.end() - static_cast<std::ptrdiff_t>(suffix.size()),
                      [](char a, char b) { return std::tolower(static_cast<unsigned char>(a)) == std::tolower(static_cast<unsigned char>(b)); });
}

// "peak, frame, mean or stddev": the names --product takes, for the usage and the refusal.
std::string ProductChoices() {
    std::string choices;
    for (int product = 0; product < kProducts; ++product) {
        choices += (product == 0 ? "" : product + 1 < kProducts ? ", " : " or ") + std::string(kProductNames[product]);
    }
    return choices;
}

int ProductByName(const std::string& name) {
    for (int product = 0; product < kProducts; ++product) {
        if (name == kProductNames[product]) return product;
    }
    Fail(WaitKind::None, Format(" Unknown product %s: %s \n", name.c_str(), ProductChoices().c_str()));
}

// The value of option argv[i], moving i past it.
std::string OptionValue(int argc, char** argv, int& i) {
    if (i + 1 >= argc) Fail(WaitKind::None, Format(" Option %s needs a value (see fpview --help) \n", argv[i]));
    return argv[++i];
}

std::string JoinNames(const std::vector<std::string>& names) {
    std::string joined;
    for (const std::string& name : names) joined += (joined.empty() ? "" : " ") + name;
    return joined;
}

// Shows where a folder run stands: a bar redrawn in place on a terminal, one plain line per file
// otherwise (a log, a pipe). Failure lines are printed between, never inside the bar.
struct Progress {
    size_t total = 0;
    size_t done = 0;
    bool terminal = false;
    size_t drawn = 0;  // characters of the bar line now on the screen
};

void Progress_Clear(Progress& progress) {
    if (progress.drawn == 0) return;
    std::printf("\r%*s\r", static_cast<int>(progress.drawn), "");
    progress.drawn = 0;
}

void Progress_Step(Progress& progress, const std::string& input, const std::vector<std::string>& outputs) {
    ++progress.done;
    if (progress.terminal) {
        Progress_Clear(progress);
        const std::string line = ProgressBar(progress.done, progress.total, kBarWidth) + " " + fs::path(input).filename().string();
        std::printf("%s", line.c_str());
        progress.drawn = line.size();
    } else if (!outputs.empty()) {
        std::printf("[%zu/%zu] %s: %s\n", progress.done, progress.total, input.c_str(), JoinNames(outputs).c_str());
    }
    FlushStandardOutput();
}

void Progress_Report(Progress& progress, const Failure& failure) {
    Progress_Clear(progress);
    std::fputs(failure.message.c_str(), stdout);
    FlushStandardOutput();
}

// Refuses `input` when one of its outputs is one that an earlier input of the run was converted
// into (a.bin and a.BIN both make a.png): the second would silently replace the first's.
void RefuseReplacingEarlierOutputs(const std::string& input, const ViewerOptions& options,
                                   std::map<std::string, std::string>& earlier) {
    const std::vector<std::string> outputs = OutputPaths(input, options);
    for (const std::string& output : outputs) {
        const auto found = earlier.find(output);
        if (found != earlier.end()) {
            Fail(WaitKind::None, Format(" Four-product file %s would replace %s, made from %s in this run \n", input.c_str(),
                                        output.c_str(), found->second.c_str()));
        }
    }
    for (const std::string& output : outputs) earlier.emplace(output, input);
}

int ConvertFolder(const std::string& folder, const ViewerOptions& options) {
    const std::vector<std::string> inputs = ListFourProductFiles(folder);
    if (inputs.empty()) Fail(WaitKind::None, Format(" No four-product files (*%s) in folder %s \n", kFourProductSuffix, folder.c_str()));
    // One hidden folder for the temporary files of the whole folder, not one per file.
    const SafeOutputFolderHold temporaries(OutputPaths(inputs.front(), options).front());
    Progress progress;
    progress.total = inputs.size();
    progress.terminal = StandardOutputIsTerminal();
    size_t failed = 0;
    std::map<std::string, std::string> made;  // every output path of the inputs tried so far, with its input
    for (const std::string& input : inputs) {
        std::vector<std::string> outputs;
        Interruption_NameRecord(input);
        try {
            RefuseReplacingEarlierOutputs(input, options, made);
            outputs = ConvertFile(input, options);
        } catch (const Failure& failure) {
            Progress_Report(progress, failure);
            ++failed;
        }
        Interruption_RecordDone();
        Progress_Step(progress, input, outputs);
    }
    Progress_Clear(progress);
    std::printf("Converted %zu of %zu four-product files in %s\n", inputs.size() - failed, inputs.size(), folder.c_str());
    return failed == 0 ? 0 : 1;
}

}  // namespace

ViewerAction ParseViewerArguments(int argc, char** argv, ViewerOptions& options) {
    bool png_only = false;
    bool fits_only = false;
    std::vector<std::string> inputs;
    bool options_ended = false;
    for (int i = 1; i < argc; ++i) {
        const std::string argument = argv[i];
        if (options_ended || argument.compare(0, 2, "--") != 0) inputs.push_back(argument);
        else if (argument == "--") options_ended = true;
        else if (argument == "--help") return ViewerAction::Help;
        else if (argument == "--version") return ViewerAction::Version;
        else if (argument == "--png") png_only = true;
        else if (argument == "--fits") fits_only = true;
        else if (argument == "--product") options.product = ProductByName(OptionValue(argc, argv, i));
        else if (argument == "--out") options.out_folder = OptionValue(argc, argv, i);
        else Fail(WaitKind::None, Format(" Unknown option %s (see fpview --help) \n", argument.c_str()));
    }
    if (png_only && fits_only) Fail(WaitKind::None, " Options --png and --fits exclude each other: give neither for both \n");
    if (options.product != kMosaic && fits_only) Fail(WaitKind::None, " Option --product chooses the PNG picture: not with --fits \n");
    if (inputs.size() != 1) Fail(WaitKind::None, " Give one four-product file or one folder (see fpview --help) \n");
    options.write_png = !fits_only;
    options.write_fits = !png_only;
    options.input = inputs[0];
    return ViewerAction::Convert;
}

std::vector<std::string> OutputPaths(const std::string& input, const ViewerOptions& options) {
    const fs::path input_path(input);
    std::string stem = input_path.filename().string();
    if (EndsWithIgnoringCase(stem, kFourProductSuffix)) stem.resize(stem.size() - std::strlen(kFourProductSuffix));
    const fs::path folder = options.out_folder.empty() ? input_path.parent_path() : fs::path(options.out_folder);
    std::vector<std::string> paths;
    if (options.write_png) {
        const std::string suffix = options.product == kMosaic ? ".png" : std::string(".") + kProductNames[options.product] + ".png";
        paths.push_back((folder / (stem + suffix)).string());
    }
    if (options.write_fits) paths.push_back((folder / (stem + ".fits")).string());
    return paths;
}

namespace {

// A picture that the memory (or the address space, or a PNG) cannot hold: the planes go first, so
// that the message and the next file have memory.
[[noreturn]] void RefuseTooLarge(const std::string& input, FourProduct& file) {
    FourProduct_MemFree(file);
    Fail(WaitKind::None, Format(" Four-product file %s of %" PRId32 " x %" PRId32 " pixels is too large for this machine's memory \n",
                                input.c_str(), file.rows, file.cols));
}

std::vector<std::string> ConvertRead(const std::string& input, const ViewerOptions& options, FourProduct& file);

}  // namespace

std::vector<std::string> ConvertFile(const std::string& input, const ViewerOptions& options) {
    FourProduct file;
    return IfAllocationFails([&] { return ConvertRead(input, options, file); },
                             [&]() -> std::vector<std::string> { RefuseTooLarge(input, file); });
}

namespace {

// The picture's width and height: the mosaic's, or one product's.
std::pair<uint64_t, uint64_t> PictureSize(const FourProduct& header, const ViewerOptions& options) {
    const uint64_t rows = static_cast<uint64_t>(header.rows), cols = static_cast<uint64_t>(header.cols);
    if (options.product != kMosaic) return {cols, rows};
    return {2 * cols + kMosaicSeparator, 2 * rows + kMosaicSeparator};
}

// The PNG library refuses a picture wider or taller than its limits: said before anything is
// encoded, with the options that still give the file's contents.
[[noreturn]] void RefusePicture(const std::string& path, const FourProduct& file, const ViewerOptions& options) {
    const std::pair<uint64_t, uint64_t> size = PictureSize(file, options);
    const std::string instead =
        options.product == kMosaic
            ? Format("--product %s gives one product of %" PRId32 " x %" PRId32 " pixels%s, --fits the FITS file alone",
                     kProductNames[kPeakValue], file.cols, file.rows,
                     Png_Takes(static_cast<uint64_t>(file.cols), static_cast<uint64_t>(file.rows)) ? "" : " (too large as well)")
            : std::string("--fits gives the FITS file alone");
    Fail(WaitKind::None, Format(" Cannot write PNG file %s: a picture of %" PRIu64 " x %" PRIu64
                                " pixels is larger than the %" PRIu64 " x %" PRIu64 " the PNG library writes; %s \n",
                                path.c_str(), size.first, size.second, Png_LargestWidth(), Png_LargestHeight(), instead.c_str()));
}

std::vector<std::string> ConvertRead(const std::string& input, const ViewerOptions& options, FourProduct& file) {
    bool png_refused = false;
    FourProduct_ReadFile(input, file, [&](const FourProduct& header) {
        if (!options.write_png) return;
        if (options.product == kMosaic) MosaicImage_CheckSize(header.rows, header.cols);
        const std::pair<uint64_t, uint64_t> size = PictureSize(header, options);
        png_refused = !Png_Takes(size.first, size.second);
        // A picture the PNG library refuses is not made; with a FITS file to write the planes are
        // still read for it.
        if (png_refused && !options.write_fits) RefusePicture(OutputPaths(input, options).front(), header, options);
    });
    const std::vector<std::string> outputs = OutputPaths(input, options);
    size_t next = 0;
    if (options.write_png) {
        if (!png_refused) {
            const GrayImage image = options.product == kMosaic ? MosaicImage(file) : ProductImage(file, options.product);
            WritePng(image, outputs[next]);
        }
        ++next;
    }
    if (options.write_fits) {
        const std::string source_name = fs::path(input).filename().string();
        WriteFits(file, source_name, outputs[next++]);
    }
    if (png_refused) RefusePicture(outputs.front(), file, options);
    return outputs;
}

}  // namespace

std::vector<std::string> ListFourProductFiles(const std::string& folder) {
    std::vector<std::string> names;
    std::error_code error;
    for (fs::directory_iterator entry(folder, error), end; !error && entry != end; entry.increment(error)) {
        const std::string name = entry->path().filename().string();
        std::error_code ignored;
        if (EndsWithIgnoringCase(name, kFourProductSuffix) && entry->is_regular_file(ignored)) names.push_back(name);
    }
    if (error) Fail(WaitKind::None, Format(" Cannot read folder %s: %s \n", folder.c_str(), error.message().c_str()));
    std::sort(names.begin(), names.end());
    std::vector<std::string> paths;
    for (const std::string& name : names) paths.push_back((fs::path(folder) / name).string());
    return paths;
}

std::string ProgressBar(size_t done, size_t total, size_t width) {
    const size_t filled = total == 0 ? width : done * width / total;
    const int digits = static_cast<int>(std::to_string(total).size());
    return "[" + std::string(filled, '#') + std::string(width - filled, ' ') + "] " +
           Format("%*zu/%zu", digits, done, total);
}

int RunViewer(int argc, char** argv) {
    ViewerOptions options;
    switch (ParseViewerArguments(argc, argv, options)) {
        case ViewerAction::Help:
            PrintViewerUsage();
            return 0;
        case ViewerAction::Version:
            std::printf("fpview %s\n", kVersion);
            return 0;
        case ViewerAction::Convert:
            break;
    }
    if (!options.out_folder.empty()) {
        std::error_code error;
        fs::create_directories(options.out_folder, error);
        if (error) Fail(WaitKind::None, Format(" Cannot create folder %s: %s \n", options.out_folder.c_str(), error.message().c_str()));
    }
    // Stopped by a signal, fpview removes the picture it is writing and names the file it did not finish.
    Interruption_Watch(options.input, "file");
    std::error_code ignored;
    if (fs::is_directory(options.input, ignored)) return ConvertFolder(options.input, options);
    Interruption_NameRecord(options.input);
    const std::vector<std::string> outputs = ConvertFile(options.input, options);
    std::printf("%s: %s\n", options.input.c_str(), JoinNames(outputs).c_str());
    return 0;
}

void PrintViewerUsage() {
    std::printf(
        "Usage: fpview [--png | --fits] [--product NAME] [--out FOLDER] [--] <file or folder>\n"
        "       fpview --help | --version\n"
        "\n"
        "Turns four-product files (written by calstars2fp) into pictures: a PNG of the 2 x 2 mosaic of\n"
        "the four products (peak value and frame index on top, mean value and standard deviation below)\n"
        "and a FITS cube of 4 planes of 8-bit pixels that DS9 or astropy open.\n"
        "Given a folder, converts every *.bin file in it and shows the progress.\n"
        "\n"
        "  --png           write only the PNG\n"
        "  --fits          write only the FITS file\n"
        "  --product NAME  PNG of one product instead of the mosaic: %s\n"
        "  --out FOLDER    write the outputs into FOLDER (created if needed) instead of beside each input\n"
        "  --              end of options: the next argument is the input whatever it looks like\n"
        "\n"
        "Outputs are named after the input with .bin dropped: NAME.png (NAME.<product>.png) and NAME.fits.\n"
        "They never replace an input; an existing output of that name is replaced.\n"
        "\n"
        "Exit status: 0 when every file was converted; 1 otherwise (a file refused, for instance because\n"
        "its size is not 20 + 4 x rows x cols bytes, or an output that could not be written: one line each,\n"
        "the other files of a folder are still converted), for a command-line error, and when standard\n"
        "output could not be written.\n",
        ProductChoices().c_str());
}
