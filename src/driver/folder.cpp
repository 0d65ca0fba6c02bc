#include "driver/folder.h"

#include <istream>
#include <sstream>

#include "driver/paths.h"
#include "failure.h"
#include "platform/listing.h"

namespace {

void CheckFolder(const std::string& folder) {
    if (folder.empty()) Fail(WaitKind::Character, " The folder argument is empty \n");
    if (folder.size() > kMaxFolderLength) {
        Fail(WaitKind::Character, Format(" Folder %s is longer than %zu characters \n", folder.c_str(), kMaxFolderLength));
    }
    if (kFolderSeparator == '\\' && folder.find('"') != std::string::npos) {
        Fail(WaitKind::Character, Format(" Folder %s contains a double quote \n", folder.c_str()));
    }
}

// Reads the next line of the listing, without its line end (a carriage return before it included).
bool ReadListingLine(std::istream& listing, std::string& line) {
    if (!std::getline(listing, line)) return false;
    if (!line.empty() && line.back() == '\r') line.pop_back();
    return true;
}

}  // namespace

std::string WorkingFolder(const std::string& folder_argument) {
    CheckFolder(folder_argument);
    const std::string folder = EnsureTrailingSeparator(folder_argument, kFolderSeparator);
    if (folder.size() > kMaxFolderLength) CheckFolder(folder);
    return folder;
}

std::string JoinPath(const std::string& folder, const std::string& name, const char* what) {
    const std::string path = folder + name;
    if (path.size() >= kPathBuffer) {
        Fail(WaitKind::None, Format(" The %s path %s is longer than %zu characters \n", what, path.c_str(), kPathBuffer - 1));
    }
    return path;
}

std::vector<std::string> ListedCalstarsNames(const std::string& listing) {
    std::istringstream lines(listing);
    std::vector<std::string> names;
    std::string line;
    while (ReadListingLine(lines, line)) {
        if (CutAfterTxt(line)) names.push_back(line);
    }
    return names;
}
