// Generator of synthetic CALSTARS files: realistic star lists for examples, tests and benchmarks.
//
//   make_calstars <folder> [options]
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
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

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
};

using Random = SplitMix64;

bool ParseOptions(int argc, char** argv, Options& options) {
    if (argc < 2) return false;
    options.folder = argv[1];
    for (int i = 2; i + 1 < argc; i += 2) {
        const std::string key = argv[i];
        const long value = std::strtol(argv[i + 1], nullptr, 10);
        if (key == "--camera") options.camera = static_cast<int>(value);
        else if (key == "--files") options.files = static_cast<int>(value);
        else if (key == "--records") options.records = static_cast<int>(value);
        else if (key == "--rows") options.rows = static_cast<int>(value);
        else if (key == "--cols") options.cols = static_cast<int>(value);
        else if (key == "--stars") options.stars = static_cast<int>(value);
        else if (key == "--window") options.window = static_cast<int>(value);
        else if (key == "--seed") options.seed = static_cast<uint64_t>(value);
        else return false;
    }
    return options.rows >= 15 && options.cols >= 15 && options.files >= 1 && options.records >= 0;
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
    std::fprintf(file, "----------------------------------------------\n");
    std::fprintf(file, "IMG_C%02d_201401%02d_%02d%02d00_%04d.bin\n", options.camera, night, 21 + record / 60, record % 60,
                 record + 1);
    std::fprintf(file, "window = %d\ndivisor = %d\n", window, divisor);
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
        std::fprintf(file, "%.2f %.2f %d %d\n", row, col, intensity, total);
    }
}

bool WriteFile(const Options& options, Random& random, int night) {
    char name[64];
    std::snprintf(name, sizeof name, "CALSTARS_C%02d_201401%02d.txt", options.camera, night);
    const std::string path = options.folder + "/" + name;
    FILE* file = std::fopen(path.c_str(), "w");
    if (file == nullptr) return false;
    const int stars = options.stars > 0 ? options.stars : random.Between(50, 150);
    std::fprintf(file, "Calibration star listing\nProduced by the star extraction step\nFormat version 1\n");
    std::fprintf(file, "Stars are listed per frame below\n----------------------------------------\n");
    std::fprintf(file, "Camera = C%02d all-sky camera\nCamera number = %d\n", options.camera, options.camera);
    std::fprintf(file, "Nrows = %d\nNcols = %d\nNstars = %d\n", options.rows, options.cols, stars);
    for (int record = 0; record < options.records; ++record) WriteRecord(file, options, random, night, record, stars);
    std::fprintf(file, "##############################################\n");
    return std::fclose(file) == 0;
}

}  // namespace

int main(int argc, char** argv) {
    Options options;
    if (!ParseOptions(argc, argv, options)) {
        std::fprintf(stderr, "usage: make_calstars <folder> [--camera N] [--files N] [--records N] [--rows N] [--cols N] "
                             "[--stars N] [--window N] [--seed N]\n");
        return 2;
    }
    Random random{options.seed * 0x2545F4914F6CDD1Dull + static_cast<uint64_t>(options.camera)};
    for (int night = 1; night <= options.files; ++night) {
        if (!WriteFile(options, random, night)) {
            std::fprintf(stderr, "make_calstars: cannot write into %s\n", options.folder.c_str());
            return 1;
        }
    }
    return 0;
}
