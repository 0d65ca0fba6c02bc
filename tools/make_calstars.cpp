// Generator of synthetic CALSTARS files: realistic star lists for examples, tests and benchmarks.
//
//   make_calstars <folder> [options]     (the folder is created when missing)
//   make_calstars --help                 the usage on standard output
//     --camera N       camera number (default 1); files are named CALSTARS_C<NN>_<date>.txt
//     --files N        number of CALSTARS files, one per night starting 2014-01-01 (default 1)
//     --records N      frame records per file (default 3)
//     --rows N --cols N   image size (default 480 x 640)
//     --stars N        stars per record (default: 50 to 150, drawn once per file)
//     --window N       window of every record (default: 7, 9 or 11 per record)
//     --seed N         seed of the generator (default 1)
//
// Stars are scattered over the image with their windows inside it; some are placed right next to
// another so that windows overlap. Intensities fall on both sides of 1800 (the switch between the
// narrow and the wide profile) and the background levels lie between 5 and 80.
//
//   make_calstars <folder> --night [options]
//     a camera-night: every record lists the same stars, turned about the pole by the sky's rotation
//     over 10.24 s (the time between two records; one turn in 86164.09 s). Each star keeps its
//     intensity and background level; a star whose window leaves the image is replaced, in its place
//     in the list, by one rising at the edge, so that every record holds nstars stars. Options as
//     above, and:
//     --files N        nights, one per day from 2014-01-01, each with its own stars and pole
//     --records N      records of each night (default 3)
//     --per-file N     records per CALSTARS file: a night is split into files of N records,
//                      named CALSTARS_C<NN>_<date>_<part>.txt (default: the whole night in one file)
//     --stars N        stars per record (default: 50 to 150, drawn once per night)
//     --window N       window of every record (default: 7, 9 or 11, drawn once per night)
//     --pole-row X --pole-col Y   the pole in pixel coordinates, inside or outside the image
//                      (default: drawn per night within half an image of the image)
// Records are named IMG_C<NN>_<date>_<time>_<number>.bin: the time of the record (the night starts
// at 21:00:00 and runs past midnight into the next date) and its number within the night.
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <system_error>
#include <vector>

#include "calstars/calstars_writer.h"
#include "splitmix64.h"

namespace {

struct Options {
    std::string folder;
    int camera = 1;
    int files = 1;
    int records = 3;
    int rows = 480;
    int cols = 640;
    int stars = 0;
    int window = 0;
    uint64_t seed = 1;
    // Night mode.
    bool night = false;
    int per_file = 0;  // 0: the whole night in one file
    bool pole_given = false;
    double pole_row = 0.0;
    double pole_col = 0.0;
};

using Random = SplitMix64;

// The text of a coordinate as the star extraction writes it: two decimals.
std::string CoordinateText(double x) {
    char text[64];
    std::snprintf(text, sizeof text, "%.2f", x);
    return text;
}

// Write errors are found where the file is closed, which reports any the stream met.
void Put(FILE* file, const std::string& text) { std::fputs(text.c_str(), file); }

// The header as the star extraction step writes it, for a file of `stars` stars a record.
std::string HeaderLines(const Options& options, int stars) {
    CalStarHeaderFields header;
    header.free_lines = {"Calibration star listing", "Produced by the star extraction step", "Format version 1",
                         "Stars are listed per frame below", "----------------------------------------"};
    char camera[64];
    std::snprintf(camera, sizeof camera, "C%02d all-sky camera", options.camera);
    header.header_text = camera;
    header.first_int = std::to_string(options.camera);
    header.rows = std::to_string(options.rows);
    header.cols = std::to_string(options.cols);
    header.nstars = std::to_string(stars);
    return CalStarHeader_Lines(header);
}

void PutRecordLines(FILE* file, const std::string& name, int window, int divisor) {
    Put(file, CalStarRecord_Lines(CalStarRecordFields{name, std::to_string(window), std::to_string(divisor)}));
}

void PutStarLine(FILE* file, double row, double col, int intensity, int total) {
    Put(file, CalStarStar_Line(CalStarStarFields{CoordinateText(row), CoordinateText(col), std::to_string(intensity), std::to_string(total)}));
}

bool ParseOptions(int argc, char** argv, Options& options) {
    if (argc < 2) return false;
    options.folder = argv[1];
    int pole_parts = 0;
    for (int i = 2; i < argc; i += 2) {
        const std::string key = argv[i];
        if (key == "--night") {  // the only option without a value
            options.night = true;
            --i;
            continue;
        }
        if (i + 1 >= argc) break;
        const long value = std::strtol(argv[i + 1], nullptr, 10);
        if (key == "--pole-row" || key == "--pole-col") {
            char* end = nullptr;
            const double coordinate = std::strtod(argv[i + 1], &end);
            if (end == argv[i + 1] || *end != '\0' || !std::isfinite(coordinate)) return false;
            (key == "--pole-row" ? options.pole_row : options.pole_col) = coordinate;
            pole_parts |= (key == "--pole-row") ? 1 : 2;
        } else if (key == "--per-file") {
            options.per_file = static_cast<int>(value);
        } else if (key == "--camera") options.camera = static_cast<int>(value);
        else if (key == "--files") options.files = static_cast<int>(value);
        else if (key == "--records") options.records = static_cast<int>(value);
        else if (key == "--rows") options.rows = static_cast<int>(value);
        else if (key == "--cols") options.cols = static_cast<int>(value);
        else if (key == "--stars") options.stars = static_cast<int>(value);
        else if (key == "--window") options.window = static_cast<int>(value);
        else if (key == "--seed") options.seed = static_cast<uint64_t>(value);
        else return false;
    }
    options.pole_given = pole_parts > 0;
    if (!options.night && (options.pole_given || options.per_file != 0)) return false;
    if (options.pole_given && pole_parts != 3) return false;
    return options.rows >= 15 && options.cols >= 15 && options.files >= 1 && options.records >= 0 && options.per_file >= 0;
}

int Intensity(Random& random) {
    // Mostly stars near the switch at 1800, some faint ones and some bright ones.
    const int kind = random.Between(0, 9);
    if (kind < 2) return random.Between(150, 1200);
    if (kind < 7) return random.Between(1700, 1900);
    return random.Between(1901, 6000);
}

void WriteRecord(FILE* file, const Options& options, Random& random, int night, int record, int stars) {
    const int windows[] = {7, 9, 11};
    int window = options.window > 0 ? options.window : windows[random.Between(0, 2)];
    const int limit = (options.rows < options.cols ? options.rows : options.cols);
    if (window > limit) window = (limit % 2 == 1) ? limit : limit - 1;
    const int half = (window - 1) / 2;
    const int divisor = 1 << random.Between(0, 4);
    char name[64];
    std::snprintf(name, sizeof name, "IMG_C%02d_201401%02d_%02d%02d00_%04d.bin", options.camera, night, 21 + record / 60, record % 60,
                  record + 1);
    PutRecordLines(file, name, window, divisor);
    double last_row = 0.0;
    double last_col = 0.0;
    for (int s = 0; s < stars; ++s) {
        double row = half + random.Uniform() * (options.rows - 1 - 2 * half);
        double col = half + random.Uniform() * (options.cols - 1 - 2 * half);
        if (s > 0 && random.Between(0, 7) == 0) {  // a close neighbour: overlapping windows
            row = last_row + random.Between(-half, half) * 0.7;
            col = last_col + random.Between(-half, half) * 0.7;
            if (row < half) row = half;
            if (col < half) col = half;
            if (row > options.rows - 1 - half - 0.5) row = options.rows - 1 - half - 0.5;
            if (col > options.cols - 1 - half - 0.5) col = options.cols - 1 - half - 0.5;
        }
        last_row = row;
        last_col = col;
        const int intensity = Intensity(random);
        const int level = random.Between(5, 80);
        const int total = intensity + level * divisor + random.Between(0, divisor - 1);
        PutStarLine(file, row, col, intensity, total);
    }
}

bool WriteFile(const Options& options, Random& random, int night) {
    char name[64];
    std::snprintf(name, sizeof name, "CALSTARS_C%02d_201401%02d.txt", options.camera, night);
    const std::string path = options.folder + "/" + name;
    FILE* file = std::fopen(path.c_str(), "w");
    if (file == nullptr) return false;
    const int stars = options.stars > 0 ? options.stars : random.Between(50, 150);
    Put(file, HeaderLines(options, stars));
    for (int record = 0; record < options.records; ++record) WriteRecord(file, options, random, night, record, stars);
    Put(file, kCalStarEndMarker);
    return std::fclose(file) == 0;
}

// ---- Night mode ----

constexpr double kSecondsPerRecord = 10.24;
constexpr double kSiderealDay = 86164.09;  // seconds of one turn of the sky
constexpr double kPi = 3.14159265358979323846;
constexpr int kNightStart = 21 * 3600;  // the first record of a night, seconds after midnight

// The coordinates at which a star's window lies wholly inside the image along one axis of `size`
// pixels: the nearest pixel trunc(x + 0.5) runs from half to size - 1 - half. Both ends have two
// decimals, so a coordinate inside prints (as "%.2f") inside.
struct Range {
    double low, high;
    bool Holds(double x) const { return x >= low && x <= high; }
};
Range InsideRange(int size, int half) { return {half - 0.5, size - 1 - half + 0.49}; }

// A star of the night: its place on the sky (distance from the pole and angle at the record it rose
// in) and what the listing says of it besides its position.
struct NightStar {
    double radius;
    double angle;  // at record `born`, in radians
    int born;
    int intensity;
    int total;
};

struct Night {
    int number;  // 1 for the first night
    int stars;
    int window;
    int half;
    int divisor;
    double pole_row, pole_col;
    Range rows, cols;
    double turn;  // radians per record
};

// Position of a star at `record`: turned counter-clockwise (row 0 at the top) about the pole.
void Position(const Night& night, const NightStar& star, int record, double& row, double& col) {
    const double angle = star.angle + night.turn * (record - star.born);
    row = night.pole_row - star.radius * std::sin(angle);
    col = night.pole_col + star.radius * std::cos(angle);
}

NightStar StarAt(const Night& night, double row, double col, int record, Random& random) {
    NightStar star;
    star.radius = std::hypot(row - night.pole_row, col - night.pole_col);
    star.angle = std::atan2(night.pole_row - row, col - night.pole_col);
    star.born = record;
    star.intensity = Intensity(random);
    const int level = random.Between(5, 80);
    star.total = star.intensity + level * night.divisor + random.Between(0, night.divisor - 1);
    return star;
}

// A star rising at `record`: a point within a pixel of the edge of the inside range, on an edge that
// the rotation moves it away from (into the image). Where no such point turns up (a star field that
// barely moves), anywhere inside.
NightStar RisingStar(const Night& night, int record, Random& random) {
    const double height = night.rows.high - night.rows.low;
    const double width = night.cols.high - night.cols.low;
    for (int attempt = 0; attempt < 64; ++attempt) {
        const int edge = random.Between(0, 3);  // top, bottom, left, right
        const double along = random.Uniform();
        const double depth = random.Uniform() * std::fmin(1.0, std::fmin(height, width));
        double row, col;
        if (edge < 2) {
            col = night.cols.low + along * width;
            row = edge == 0 ? night.rows.low + depth : night.rows.high - depth;
        } else {
            row = night.rows.low + along * height;
            col = edge == 2 ? night.cols.low + depth : night.cols.high - depth;
        }
        // The motion as the angle grows (see Position): d(row) = -(col - pole_col) d(angle),
        // d(col) = (row - pole_row) d(angle).
        const double row_speed = -(col - night.pole_col);
        const double col_speed = (row - night.pole_row);
        const double inward = edge == 0 ? row_speed : edge == 1 ? -row_speed : edge == 2 ? col_speed : -col_speed;
        if (inward > 0.0) return StarAt(night, row, col, record, random);
    }
    return StarAt(night, night.rows.low + random.Uniform() * height, night.cols.low + random.Uniform() * width, record,
                  random);
}

// YYYYMMDD of the day `days` after 2014-01-01.
std::string DateAfter(int days) {
    static const int lengths[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    int year = 2014, month = 0, day = 1 + days;
    for (;;) {
        const bool leap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
        const int length = lengths[month] + (month == 1 && leap ? 1 : 0);
        if (day <= length) break;
        day -= length;
        if (++month == 12) {
            month = 0;
            ++year;
        }
    }
    char text[40];
    std::snprintf(text, sizeof text, "%04d%02d%02d", year, month + 1, day);
    return text;
}

void WriteNightRecord(FILE* file, const Options& options, const Night& night, std::vector<NightStar>& stars, int record,
                      Random& random) {
    const long seconds = kNightStart + static_cast<long>(std::floor(record * kSecondsPerRecord));
    const long of_day = seconds % 86400;
    char name[96];
    std::snprintf(name, sizeof name, "IMG_C%02d_%s_%02ld%02ld%02ld_%04d.bin", options.camera,
                  DateAfter(night.number - 1 + static_cast<int>(seconds / 86400)).c_str(), of_day / 3600, of_day / 60 % 60,
                  of_day % 60, record + 1);
    PutRecordLines(file, name, night.window, night.divisor);
    for (NightStar& star : stars) {
        double row, col;
        Position(night, star, record, row, col);
        if (!night.rows.Holds(row) || !night.cols.Holds(col)) {  // set: another one rises
            star = RisingStar(night, record, random);
            Position(night, star, record, row, col);
        }
        PutStarLine(file, row, col, star.intensity, star.total);
    }
}

// One night: its stars and pole drawn, then its records, in one file or in files of per_file records.
bool WriteNight(const Options& options, Random& random, int number) {
    Night night;
    night.number = number;
    night.stars = options.stars > 0 ? options.stars : random.Between(50, 150);
    const int windows[] = {7, 9, 11};
    int window = options.window > 0 ? options.window : windows[random.Between(0, 2)];
    const int limit = (options.rows < options.cols ? options.rows : options.cols);
    if (window > limit) window = (limit % 2 == 1) ? limit : limit - 1;
    night.window = window;
    night.half = (window - 1) / 2;
    night.divisor = 1 << random.Between(0, 4);
    if (options.pole_given) {
        night.pole_row = options.pole_row;
        night.pole_col = options.pole_col;
    } else {
        night.pole_row = (random.Uniform() * 2.0 - 0.5) * options.rows;
        night.pole_col = (random.Uniform() * 2.0 - 0.5) * options.cols;
    }
    night.rows = InsideRange(options.rows, night.half);
    night.cols = InsideRange(options.cols, night.half);
    night.turn = 2.0 * kPi * kSecondsPerRecord / kSiderealDay;

    // The first record's stars: scattered, every eighth or so right next to the one before.
    std::vector<NightStar> stars;
    double last_row = 0.0, last_col = 0.0;
    for (int s = 0; s < night.stars; ++s) {
        double row = night.rows.low + random.Uniform() * (night.rows.high - night.rows.low);
        double col = night.cols.low + random.Uniform() * (night.cols.high - night.cols.low);
        if (s > 0 && random.Between(0, 7) == 0) {
            row = std::fmin(std::fmax(last_row + random.Between(-night.half, night.half) * 0.7, night.rows.low), night.rows.high);
            col = std::fmin(std::fmax(last_col + random.Between(-night.half, night.half) * 0.7, night.cols.low), night.cols.high);
        }
        last_row = row;
        last_col = col;
        stars.push_back(StarAt(night, row, col, 0, random));
    }

    const int per_file = options.per_file > 0 ? options.per_file : (options.records > 0 ? options.records : 1);
    const int parts = options.records > 0 ? (options.records + per_file - 1) / per_file : 1;
    const std::string date = DateAfter(number - 1);
    for (int part = 0; part < parts; ++part) {
        char name[96];
        if (options.per_file > 0) {
            std::snprintf(name, sizeof name, "CALSTARS_C%02d_%s_%03d.txt", options.camera, date.c_str(), part + 1);
        } else {
            std::snprintf(name, sizeof name, "CALSTARS_C%02d_%s.txt", options.camera, date.c_str());
        }
        FILE* file = std::fopen((options.folder + "/" + name).c_str(), "w");
        if (file == nullptr) return false;
        Put(file, HeaderLines(options, night.stars));
        const int end = std::min(options.records, (part + 1) * per_file);
        for (int record = part * per_file; record < end; ++record) WriteNightRecord(file, options, night, stars, record, random);
        Put(file, kCalStarEndMarker);
        if (std::fclose(file) != 0) return false;
    }
    return true;
}

constexpr const char* kUsage =
    "usage: make_calstars <folder> [--camera N] [--files N] [--records N] [--rows N] [--cols N] "
    "[--stars N] [--window N] [--seed N]\n"
    "       make_calstars <folder> --night [the same options] [--per-file N] [--pole-row X --pole-col Y]\n"
    "       make_calstars --help\n"
    "Writes synthetic CALSTARS files into <folder>, which is created when missing.\n";

}  // namespace

int main(int argc, char** argv) {
    if (argc == 2 && (std::strcmp(argv[1], "--help") == 0 || std::strcmp(argv[1], "-h") == 0)) {
        std::fputs(kUsage, stdout);
        return 0;
    }
    Options options;
    // A folder that looks like an option is a mistyped option, not a folder to create.
    if (!ParseOptions(argc, argv, options) || options.folder.rfind("-", 0) == 0) {
        std::fputs(kUsage, stderr);
        return 2;
    }
    std::error_code error;
    std::filesystem::create_directories(options.folder, error);
    if (error) {
        std::fprintf(stderr, "make_calstars: cannot create the folder %s: %s\n", options.folder.c_str(), error.message().c_str());
        return 1;
    }
    Random random{options.seed * 0x2545F4914F6CDD1Dull + static_cast<uint64_t>(options.camera)};
    for (int night = 1; night <= options.files; ++night) {
        if (!(options.night ? WriteNight(options, random, night) : WriteFile(options, random, night))) {
            std::fprintf(stderr, "make_calstars: cannot write into %s\n", options.folder.c_str());
            return 1;
        }
    }
    return 0;
}
