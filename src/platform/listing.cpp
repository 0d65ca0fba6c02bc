#include "platform/listing.h"

#include <cctype>

#include "failure.h"
#include "safe_output/safe_output.h"

namespace {

std::string Lower(const std::string& text) {
    std::string lower = text;
    for (char& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return lower;
}

}  // namespace

bool MatchesCalstarsPattern(const std::string& name) {
    const std::string lower = Lower(name);
    return lower.size() >= 12 && lower.compare(0, 8, "calstars") == 0 && lower.compare(lower.size() - 4, 4, ".txt") == 0;
}

bool WouldOverwriteInput(const std::string& name) {
    return MatchesCalstarsPattern(name) || Lower(name) == Lower(kListingName);
}

std::string ListingCommand(const std::string& folder, const std::string& listing_path) {
    return "dir /b \"" + folder + "CALSTARS*.txt\" > \"" + listing_path + "\"";
}

void WriteListingFile(const std::string& listing_path, const std::string& listing) {
    int error = 0;
    if (!SafeOutput_WriteWhole(listing_path, listing.data(), listing.size(), &error)) {
        FailFile(WaitKind::Character,
                 Format(" Cannot write directory listing file %s: %s \n", listing_path.c_str(), SafeOutput_ErrorText(error).c_str()),
                 listing_path, error > 0 ? error : 0);
    }
}

std::string WriteCalstarsListing(const std::string& folder, const std::string& listing_path) {
    const std::string listing = ListCalstarsFiles(folder, listing_path);
    WriteListingFile(listing_path, listing);
    return listing;
}
