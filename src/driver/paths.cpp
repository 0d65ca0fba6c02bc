#include "driver/paths.h"

#include <cctype>

#include "platform/listing.h"

namespace {

std::string Lower(const std::string& text) {
    std::string lower = text;
    for (char& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return lower;
}

}  // namespace

std::string EnsureTrailingSeparator(const std::string& folder, char separator) {
    const size_t last = folder.rfind(separator);
    if (last == std::string::npos || last + 1 != folder.size()) return folder + separator;
    return folder;
}

bool SplitFolderAndName(const std::string& path, std::string& folder, std::string& file_name, char separator) {
    const size_t last = path.rfind(separator);
    if (last == std::string::npos) return false;
    folder = path.substr(0, last);
    file_name = path.substr(last + 1);
    return true;
}

bool CutAfterTxt(std::string& line) {
    // Without regard to case: the listing matches CALSTARS*.txt that way, so CALSTARS_x.TXT is listed
    // and must not be skipped here. After the last ".txt", the end of the file's name: a name holding
    // ".txt" twice (CALSTARS_a.txt.v2.txt) is that file, not another one cut short.
    const size_t found = Lower(line).rfind(".txt");
    if (found == std::string::npos) return false;
    line.resize(found + 4);
    return true;
}

