// Whole runs of the built calstars2fp on generated camera-nights, against the literal reconstitution
// on a sample of the same records, measured in the same run.
//
//   calstars2fp_night_bench [--quick] [--repetitions N] [--work FOLDER] [--program PATH]
//                           [--vector-target NAME] [--cases N,N,...]
//
// Each case is a folder written by `make_calstars --night`: every record lists the same stars a little
// further along the sky, as a camera's night does (not one record repeated). For each case:
//  - the program on the whole folder, on one core (--jobs 1) and on every CPU of the affinity mask
//    (--jobs N), when the program has the --jobs option; wall-clock time, median of the repetitions,
//    in ms per record, with the CPU time beside it (steadier on a shared machine), and the peak
//    resident memory of the run;
//  - the literal pipeline (CalStarReconsitution_Reference, then the file write) on every k-th record
//    of the same folder, read with the reader in a child process of this program; ms per sampled
//    record and the child's peak memory;
//  - the ratio literal / fast;
//  - the part of a record that a parallel run keeps serial (the rename and the printed name), against
//    the record's time on one thread, and the speed-up that share allows at 4, 8, 16 and 64 workers;
//  - the stages of a record, in this process on one thread over the folder's first records (up to
//    400): reading, the buffers' set-up per file, seeding, hole fill, border completion, filter, star
//    layer, plane fill and the file write, in ms per record and their share, the two per-pixel stages
//    also in ns a pixel; the stages are run as CalStarReconsitution runs them, and their planes are
//    checked against it on each file's first record. --vector-target NAME runs them with that target of
//    the build (the whole runs use the program as it was built).
// --quick runs every case on smaller folders with one repetition (for CI: the cases keep running;
// its numbers mean little); --cases picks cases by their number (from 1). Generated folders go under
// --work (default: the system's temporary folder) and are removed at the end.
#include <sched.h>
#include <time.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "calstars/calstars.h"
#include "failure.h"
#include "fourproduct/fourproduct.h"
#include "reconstitution/median_filter.h"
#include "reconstitution/reconstitution.h"
#include "reconstitution/vector_target.h"
#include "safe_output/safe_output.h"

#include "force_vector_target.h"

namespace fs = std::filesystem;

namespace {

// The files of one make_calstars --night call: `nights` nights of `records` records, one file each.
// Stars and window 0: the generator's own, drawn per night (50 to 150 stars; window 7, 9 or 11).
struct NightPart {
    int rows, cols, stars, window;
    int records;  // per night
    int nights;   // one file each
    int camera;
    uint64_t seed;
};

struct NightCase {
    std::string label;
    std::vector<NightPart> parts;
    int literal_every;  // the literal runs on records 0, k, 2k, ... of the folder
    int runs_per_repetition;  // whole runs per repetition: more for a folder that takes a fraction of a second
};

// The full cases, and the quick ones (the same shapes, fewer records and samples). The last is a
// folder of a few short files of two sizes, as a camera computer's day may leave: three nights'
// files of 4, 4 and 3 records, 640 x 480, 720 x 480 and 640 x 480, each night its own stars and
// window.
std::vector<NightCase> Cases(bool quick) {
    const NightCase short_files{"3 files, 11 records, 640x480 and 720x480",
                                {{480, 640, 0, 0, 4, 1, 1, 21}, {480, 720, 0, 0, 4, 1, 2, 22}, {480, 640, 0, 0, 3, 1, 3, 23}},
                                1,
                                quick ? 1 : 7};
    if (quick) {
        return {{"640x480 night, 100 stars, w9", {{480, 640, 100, 9, 100, 1, 1, 11}}, 50, 1},
                {"1280x720 night, 150 stars, w9", {{720, 1280, 150, 9, 20, 1, 1, 12}}, 10, 1},
                {"8 files x 3 records, 640x480, 100 stars, w9", {{480, 640, 100, 9, 3, 8, 1, 13}}, 12, 1},
                short_files};
    }
    return {{"640x480 night, 100 stars, w9", {{480, 640, 100, 9, 3000, 1, 1, 11}}, 100, 1},
            {"1280x720 night, 150 stars, w9", {{720, 1280, 150, 9, 300, 1, 1, 12}}, 30, 1},
            {"40 files x 3 records, 640x480, 100 stars, w9", {{480, 640, 100, 9, 3, 40, 1, 13}}, 12, 1},
            short_files};
}

struct ChildRun {
    int status = -1;
    double seconds = 0.0;
    double cpu_seconds = 0.0;  // user + system time of the child and its threads
    long peak_kb = 0;          // the child's peak resident set (kB)
};

// Starts `arguments` (argv[0] is the program) with standard input from /dev/null and standard output
// into `output` (or /dev/null), waits for it, and measures its wall-clock time and peak memory.
ChildRun Run(const std::vector<std::string>& arguments, const std::string& output = "/dev/null") {
    std::vector<char*> argv;
    for (const std::string& argument : arguments) argv.push_back(const_cast<char*>(argument.c_str()));
    argv.push_back(nullptr);
    ChildRun run;
    std::fflush(stdout);
    const auto start = std::chrono::steady_clock::now();
    const pid_t pid = ::fork();
    if (pid == 0) {
        const int in = ::open("/dev/null", O_RDONLY);
        const int out = ::open(output.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (in < 0 || out < 0) ::_exit(126);
        ::dup2(in, 0);
        ::dup2(out, 1);
        ::execv(argv[0], argv.data());
        ::_exit(127);
    }
    if (pid < 0) return run;
    int status = 0;
    rusage usage{};
    if (::wait4(pid, &status, 0, &usage) != pid) return run;
    run.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    run.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    run.peak_kb = usage.ru_maxrss;
    run.cpu_seconds = static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
                      static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) * 1e-6;
    return run;
}

std::string ReadAll(const std::string& path) {
    std::ifstream file(path, std::ios::binary);
    std::ostringstream text;
    text << file.rdbuf();
    return text.str();
}

int AffinityCpus() {
    cpu_set_t set;
    CPU_ZERO(&set);
    if (::sched_getaffinity(0, sizeof set, &set) == 0) return CPU_COUNT(&set);
    const unsigned count = std::thread::hardware_concurrency();
    return count > 0 ? static_cast<int>(count) : 1;
}

std::vector<std::string> CalstarsFiles(const std::string& folder) {
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(folder)) {
        const std::string name = entry.path().filename().string();
        if (name.rfind("CALSTARS", 0) == 0) names.push_back(name);
    }
    std::sort(names.begin(), names.end());
    return names;
}

// Everything but the CALSTARS files: the listing and the written four-product files.
void RemoveOutputs(const std::string& folder) {
    for (const auto& entry : fs::directory_iterator(folder)) {
        if (entry.path().filename().string().rfind("CALSTARS", 0) != 0) fs::remove(entry.path());
    }
}

double CpuSeconds() {
    timespec now{};
    ::clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) * 1e-9;
}

double Median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    const size_t n = values.size();
    return n % 2 == 1 ? values[n / 2] : 0.5 * (values[n / 2 - 1] + values[n / 2]);
}

// Reads every record of the folder's CALSTARS files (in listing order) with buffers set up per file
// as the program sets them up, and hands each to `visit(extraction, buffers, product)`. The visitor
// frees the record's frame buffers when it reconstitutes it.
template <typename Visit>
void ForEachRecord(const std::string& folder, Visit visit) {
    CalStarExtraction extraction;
    FourProduct product;
    ReconWorkBuffers buffers;
    for (const std::string& name : CalstarsFiles(folder)) {
        OpenCalStarExtraction(folder + "/" + name, extraction);
        FourProduct_MemSetup(product, extraction.first_int, extraction.rows, extraction.cols);
        CalStarReconsitution_MemSetup(buffers, extraction);
        while (ReadCalStarFrame(extraction) == 0) visit(extraction, buffers, product);
        CalStarReconsitution_MemFree(buffers);
    }
    FourProduct_MemFree(product);
}

// The child's side of the literal rows: every `every`-th record of the folder's CALSTARS files (in
// listing order, counted over the whole folder) is reconstituted with the literal stages and written
// into `output_folder`; the others are only read. Prints "<sampled records> <seconds> <CPU seconds>".
int LiteralSample(const std::string& folder, int every, const std::string& output_folder) {
    int64_t index = 0;
    int sampled = 0;
    double seconds = 0.0;
    double cpu_seconds = 0.0;
    try {
        ForEachRecord(folder, [&](const CalStarExtraction& extraction, ReconWorkBuffers& buffers, FourProduct& product) {
            if (index++ % every != 0) return;
            const auto start = std::chrono::steady_clock::now();
            const double cpu_start = CpuSeconds();
            CalStarReconsitution_Reference(buffers, extraction, product);
            product.output_name[product.bank] = output_folder + "/" + extraction.name;
            FourProduct_WriteFile(product);
            CalStarReconsitution_FrameFree(buffers);
            seconds += std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
            cpu_seconds += CpuSeconds() - cpu_start;
            ++sampled;
        });
    } catch (const Failure& failure) {
        std::fprintf(stderr, "literal run failed:%s", failure.message.c_str());
        return 1;
    }
    std::printf("%d %.9f %.9f\n", sampled, seconds, cpu_seconds);
    return 0;
}

void PrintRow(const std::string& label, const std::string& run, int records, double ms_per_record, double cpu_ms_per_record,
              double total_s, long peak_kb, const std::string& note);

// The serial part of a parallel run's record, against the record's own time, on one thread: each
// record of the folder is reconstituted and written under its temporary name (what a worker does),
// then renamed and its name printed (what stays in the ordered place; the line goes to /dev/null).
// Prints the row and the speed-up that this serial share s allows at n workers: 1 / (s + (1 - s) / n).
void SerialShare(const std::string& folder, int records) {
    const std::string out = folder + "/serial";
    fs::create_directories(out);
    FILE* lines = std::fopen("/dev/null", "w");
    double record_s = 0.0;
    double record_cpu_s = 0.0;
    double serial_s = 0.0;
    int done = 0;
    try {
        ForEachRecord(folder, [&](const CalStarExtraction& extraction, ReconWorkBuffers& buffers, FourProduct& product) {
            const auto start = std::chrono::steady_clock::now();
            const double cpu_start = CpuSeconds();
            CalStarReconsitution(buffers, extraction, product);
            product.output_name[product.bank] = out + "/" + extraction.name;
            SafeOutput output;
            FourProduct_WriteTemporary(product, output);
            CalStarReconsitution_FrameFree(buffers);
            const auto middle = std::chrono::steady_clock::now();
            record_cpu_s += CpuSeconds() - cpu_start;
            std::fprintf(lines, "%s\n", extraction.name.c_str());
            std::fflush(lines);
            FourProduct_CommitFile(output);
            const auto end = std::chrono::steady_clock::now();
            record_s += std::chrono::duration<double>(middle - start).count();
            serial_s += std::chrono::duration<double>(end - middle).count();
            ++done;
        });
    } catch (const Failure& failure) {
        std::printf("serial share: the run failed:%s", failure.message.c_str());
    }
    std::fclose(lines);
    fs::remove_all(out);
    if (done == 0 || done != records) return;
    const double s = serial_s / (serial_s + record_s);
    std::string note;
    char text[160];
    std::snprintf(text, sizeof text, "serial %.1f us = %.2f %% of a record (CPU %.2f ms); speed-up it allows:", 1e6 * serial_s / done,
                  100.0 * s, 1000.0 * record_cpu_s / done);
    note = text;
    for (const int n : {4, 8, 16, 64}) {
        std::snprintf(text, sizeof text, " %d: %.1fx", n, 1.0 / (s + (1.0 - s) / n));
        note += text;
    }
    PrintRow("", "rename + line, one thread", done, 1000.0 * serial_s / done, 0.0, 0.0, 0, note);
}

// Records of a case whose stages are timed (the first ones of the folder).
constexpr int kStageRecords = 400;

// The stages of the first `records` records of the folder, on this thread: each timed as
// CalStarReconsitution runs it (see reconstitution.cpp), with the reading, the buffers' set-up per
// file (the sequential loop's: planes and buffers kept from file to file) and the file write. Each
// file's first record is also reconstituted by CalStarReconsitution on buffers of its own, and the
// planes compared. Prints one row per stage.
void Stages(const std::string& folder, int records) {
    enum Stage { kReading, kSetUp, kSeeding, kHoleFill, kBorder, kFilter, kStarLayer, kPlaneFill, kWrite, kStageCount };
    const char* const names[kStageCount] = {"reading",     "set-up per file", "seeding",    "hole fill", "border completion",
                                            "filter",      "star layer",      "plane fill", "file write"};
    double seconds[kStageCount] = {};
    const std::string out = folder + "/stages";
    fs::create_directories(out);
    int done = 0;
    uint64_t pixels = 0;
    bool same = true;
    try {
        CalStarExtraction extraction;
        FourProduct product;
        ReconWorkBuffers buffers;
        int32_t rows = 0, cols = 0, nstars = 0;
        auto mark = std::chrono::steady_clock::now();
        const auto lap = [&mark, &seconds](Stage stage) {
            const auto now = std::chrono::steady_clock::now();
            seconds[stage] += std::chrono::duration<double>(now - mark).count();
            mark = now;
        };
        for (const std::string& name : CalstarsFiles(folder)) {
            if (done == records) break;
            mark = std::chrono::steady_clock::now();
            OpenCalStarExtraction(folder + "/" + name, extraction);
            lap(kReading);
            bool first = true;
            while (done < records && ReadCalStarFrame(extraction) == 0) {
                lap(kReading);
                if (extraction.rows != rows || extraction.cols != cols || extraction.nstars != nstars) {
                    FourProduct_MemSetup(product, extraction.first_int, extraction.rows, extraction.cols);
                    CalStarReconsitution_MemSetup(buffers, extraction);
                    rows = extraction.rows;
                    cols = extraction.cols;
                    nstars = extraction.nstars;
                }
                const PseudoRandom start = buffers.generator;
                DrawStars_FrameSetup(buffers.star_drawing, extraction.window);
                lap(kSetUp);
                SeedBackground(buffers.background_image, extraction);
                lap(kSeeding);
                FillHoles_Distance(buffers.background_image, buffers.snapshot, buffers.hole_fill, rows, cols);
                lap(kHoleFill);
                CompleteBorder(buffers.background_image, rows, cols);
                lap(kBorder);
                Median_Filter_Range(buffers.background_image.data(), cols, buffers.snapshot.data(), cols, rows, cols, buffers.filter);
                std::swap(buffers.background_image, buffers.snapshot);
                lap(kFilter);
                BuildDiscMask(buffers.star_drawing.disc_mask, extraction.window);
                DrawStars_Fast(buffers.star_layer, buffers.star_drawing, extraction);
                lap(kStarLayer);
                FillPlanes_Fast(buffers.background_image, buffers.star_layer, buffers.generator, product, rows * cols);
                lap(kPlaneFill);
                product.output_name[product.bank] = out + "/" + extraction.name;
                FourProduct_WriteFile(product);
                CalStarReconsitution_FrameFree(buffers);
                lap(kWrite);
                if (first) {
                    // The same record through CalStarReconsitution: the stages above are its own.
                    ReconWorkBuffers check_buffers;
                    FourProduct check;
                    CalStarReconsitution_MemSetup(check_buffers, extraction);
                    FourProduct_MemSetup(check, extraction.first_int, rows, cols);
                    check_buffers.generator = start;
                    CalStarReconsitution(check_buffers, extraction, check);
                    for (int slot = 0; slot < kPlaneSlots; ++slot) same = same && check.planes[slot] == product.planes[slot];
                    first = false;
                    mark = std::chrono::steady_clock::now();
                }
                pixels += static_cast<uint64_t>(rows) * static_cast<uint64_t>(cols);
                ++done;
            }
        }
    } catch (const Failure& failure) {
        std::printf("stages: the run failed:%s", failure.message.c_str());
    }
    fs::remove_all(out);
    if (done == 0) return;
    double total = 0.0;
    for (const double stage : seconds) total += stage;
    char text[160];
    std::snprintf(text, sizeof text, "%d records on one thread, vector target %s; planes %s CalStarReconsitution's", done,
                  VectorTarget_Name().c_str(), same ? "the same as" : "DIFFERENT FROM");
    PrintRow("", "stages: whole record", done, 1000.0 * total / done, 0.0, 0.0, 0, text);
    for (int stage = 0; stage < kStageCount; ++stage) {
        std::string note;
        std::snprintf(text, sizeof text, "%4.1f %%", 100.0 * seconds[stage] / total);
        note = text;
        if (stage == kHoleFill || stage == kFilter) {
            std::snprintf(text, sizeof text, ", %.2f ns a pixel", 1e9 * seconds[stage] / static_cast<double>(pixels));
            note += text;
        }
        PrintRow("", std::string("  ") + names[stage], done, 1000.0 * seconds[stage] / done, 0.0, 0.0, 0, note);
    }
}

struct Settings {
    bool quick = false;
    int repetitions = 3;
    std::string work;
    std::string program = CALSTARS2FP_EXE;
    std::string self;
    std::vector<int> cases;  // numbers from 1; empty: all
};

void PrintRow(const std::string& label, const std::string& run, int records, double ms_per_record, double cpu_ms_per_record,
              double total_s, long peak_kb, const std::string& note) {
    char total[32] = "";
    if (total_s > 0.0) std::snprintf(total, sizeof total, "%.2f", total_s);
    std::printf("%-46s %-24s %8d %10.2f %10.2f %9s %9.1f  %s\n", label.c_str(), run.c_str(), records, ms_per_record,
                cpu_ms_per_record, total, peak_kb / 1024.0, note.c_str());
}

// One case: generate, then the whole runs, then the literal sample. Returns false on a failed run.
bool RunCase(const Settings& settings, const NightCase& night, bool has_jobs, int cpus) {
    const std::string folder = settings.work + "/night_" + std::to_string(night.parts.front().seed);
    fs::remove_all(folder);
    fs::create_directories(folder);
    int records = 0;
    for (const NightPart& part : night.parts) {
        std::vector<std::string> arguments = {MAKE_CALSTARS, folder, "--night", "--camera", std::to_string(part.camera), "--files",
                                              std::to_string(part.nights), "--records", std::to_string(part.records), "--rows",
                                              std::to_string(part.rows), "--cols", std::to_string(part.cols), "--seed",
                                              std::to_string(part.seed)};
        if (part.stars > 0) arguments.insert(arguments.end(), {"--stars", std::to_string(part.stars)});
        if (part.window > 0) arguments.insert(arguments.end(), {"--window", std::to_string(part.window)});
        const ChildRun made = Run(arguments);
        if (made.status != 0) {
            std::printf("make_calstars failed (status %d)\n", made.status);
            return false;
        }
        records += part.records * part.nights;
    }

    // The whole runs: one core, then all of them.
    std::vector<std::pair<std::string, std::vector<std::string>>> runs;
    if (has_jobs) {
        runs.push_back({"whole run, --jobs 1", {settings.program, "--jobs", "1", folder}});
        runs.push_back({"whole run, --jobs " + std::to_string(cpus), {settings.program, "--jobs", std::to_string(cpus), folder}});
    } else {
        runs.push_back({"whole run, one core", {settings.program, folder}});
    }
    std::vector<double> ms_per_record;
    double first_cpu_ms = 0.0;  // CPU ms per record of the first (one-core) run
    for (const auto& [name, arguments] : runs) {
        std::vector<double> seconds;
        std::vector<double> cpu_seconds;
        long peak_kb = 0;
        for (int repetition = 0; repetition < settings.repetitions * night.runs_per_repetition; ++repetition) {
            RemoveOutputs(folder);
            const ChildRun run = Run(arguments);
            if (run.status != 0) {
                std::printf("%s: %s exited with status %d\n", night.label.c_str(), name.c_str(), run.status);
                return false;
            }
            seconds.push_back(run.seconds);
            cpu_seconds.push_back(run.cpu_seconds);
            peak_kb = std::max(peak_kb, run.peak_kb);
        }
        const double median = Median(seconds);
        if (ms_per_record.empty()) first_cpu_ms = 1000.0 * Median(cpu_seconds) / records;
        ms_per_record.push_back(1000.0 * median / records);
        std::string note;
        if (ms_per_record.size() == 2) {
            char text[64];
            std::snprintf(text, sizeof text, "%.2fx of --jobs 1, efficiency %.0f %%", ms_per_record[0] / ms_per_record[1],
                          100.0 * ms_per_record[0] / ms_per_record[1] / cpus);
            note = text;
        }
        PrintRow(ms_per_record.size() == 1 ? night.label : "", name, records, ms_per_record.back(),
                 1000.0 * Median(cpu_seconds) / records, median, peak_kb, note);
    }
    RemoveOutputs(folder);
    SerialShare(folder, records);
    Stages(folder, std::min(records, kStageRecords));

    // The literal sample, in a child so that its peak memory is its own.
    const std::string literal_out = folder + "/literal";
    fs::create_directories(literal_out);
    const std::string report = settings.work + "/literal_report.txt";
    const ChildRun literal = Run({settings.self, "--literal-sample", folder, std::to_string(night.literal_every), literal_out}, report);
    int sampled = 0;
    double seconds = 0.0;
    double cpu_seconds = 0.0;
    if (literal.status != 0 || std::sscanf(ReadAll(report).c_str(), "%d %lf %lf", &sampled, &seconds, &cpu_seconds) != 3 ||
        sampled == 0) {
        std::printf("%s: the literal sample failed (status %d)\n", night.label.c_str(), literal.status);
        return false;
    }
    const double literal_ms = 1000.0 * seconds / sampled;
    std::string ratios;
    for (size_t i = 0; i < ms_per_record.size(); ++i) {
        char text[64];
        std::snprintf(text, sizeof text, "%s%.1fx %s", i == 0 ? "" : ", ", literal_ms / ms_per_record[i], runs[i].first.c_str() + 11);
        ratios += text;
    }
    char cpu_ratio[64];
    std::snprintf(cpu_ratio, sizeof cpu_ratio, "; CPU time %.1fx %s", 1000.0 * cpu_seconds / sampled / first_cpu_ms,
                  runs[0].first.c_str() + 11);
    ratios += cpu_ratio;
    PrintRow("", "literal, every " + std::to_string(night.literal_every) + (night.literal_every == 1 ? "st" : "th"),
             sampled, literal_ms, 1000.0 * cpu_seconds / sampled, 0.0, literal.peak_kb, "ratio " + ratios);
    fs::remove_all(folder);
    return true;
}

int Usage() {
    std::fprintf(stderr,
                 "usage: calstars2fp_night_bench [--quick] [--repetitions N] [--work FOLDER] [--program PATH] [--vector-target NAME]"
                 " [--cases N,N,...]\n");
    return 2;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc == 5 && std::strcmp(argv[1], "--literal-sample") == 0) {
        return LiteralSample(argv[2], std::max(1, std::atoi(argv[3])), argv[4]);
    }
    Settings settings;
    settings.self = fs::absolute(fs::path(argv[0])).string();
    std::string work_parent = fs::temp_directory_path().string();
    for (int i = 1; i < argc; ++i) {
        const std::string argument = argv[i];
        if (argument == "--quick") {
            settings.quick = true;
            settings.repetitions = 1;
        } else if (argument == "--repetitions" && i + 1 < argc) {
            settings.repetitions = std::max(1, std::atoi(argv[++i]));
        } else if (argument == "--work" && i + 1 < argc) {
            work_parent = argv[++i];
        } else if (argument == "--program" && i + 1 < argc) {
            settings.program = fs::absolute(argv[++i]).string();
        } else if (argument == "--vector-target" && i + 1 < argc) {
            const std::string wanted = argv[++i];
            if (!ForceVectorTarget(wanted)) {
                std::fprintf(stderr, "vector target %s is not among this build's for this processor\n", wanted.c_str());
                return 1;
            }
        } else if (argument == "--cases" && i + 1 < argc) {
            std::stringstream list(argv[++i]);
            for (std::string number; std::getline(list, number, ',');) settings.cases.push_back(std::atoi(number.c_str()));
        } else {
            return Usage();
        }
    }
    settings.work = work_parent + "/calstars2fp_night_bench_" + std::to_string(::getpid());
    fs::create_directories(settings.work);

    // The parallel rows need the --jobs option, which --help names where the program has it.
    const std::string help = settings.work + "/help.txt";
    Run({settings.program, "--help"}, help);
    const bool has_jobs = ReadAll(help).find("--jobs") != std::string::npos;
    const int cpus = AffinityCpus();

    std::printf("Nights through %s%s: wall-clock median of %d, ms per record (CPU: user + system, all threads); "
                "peak = peak resident memory\n",
                settings.program.c_str(), settings.quick ? " (quick: small folders, numbers mean little)" : "",
                settings.repetitions);
    std::printf("literal = CalStarReconsitution_Reference and the file write on every k-th record, in a child process\n");
    std::printf("CPUs in the affinity mask: %d\n", cpus);
    if (!has_jobs) std::printf("parallel rows skipped: %s --help names no --jobs option\n", settings.program.c_str());
    std::printf("\n%-46s %-24s %8s %10s %10s %9s %9s  %s\n", "case", "run", "records", "ms/record", "CPU ms/rec", "total s",
                "peak MB", "");
    bool ok = true;
    const std::vector<NightCase> cases = Cases(settings.quick);
    for (size_t k = 0; k < cases.size(); ++k) {
        if (!settings.cases.empty() && std::find(settings.cases.begin(), settings.cases.end(), static_cast<int>(k + 1)) == settings.cases.end()) {
            continue;
        }
        if (!RunCase(settings, cases[k], has_jobs, cpus)) ok = false;
    }
    fs::remove_all(settings.work);
    return ok ? 0 : 1;
}
