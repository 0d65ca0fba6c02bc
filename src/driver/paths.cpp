#include "driver/paths.h"

#include <algorithm>
#include <cctype>

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
    static const std::string kTxt = ".txt";
    const auto same_ignoring_case = [](char a, char b) { return std::tolower(static_cast<unsigned char>(a)) == b; };
    const auto found = std::find_end(line.begin(), line.end(), kTxt.begin(), kTxt.end(), same_ignoring_case);
    if (found == line.end()) return false;
    line.erase(found + static_cast<std::ptrdiff_t>(kTxt.size()), line.end());
    return true;
}

