// Windows side of the listing: the command interpreter lists the folder into a file of this process,
// which is read back and removed.
#include <windows.h>

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>

#include "failure.h"
#include "platform/listing.h"

const char kFolderSeparator = '\\';

std::string ListCalstarsFiles(const std::string& folder, const std::string& listing_path) {
    // The command interpreter writes into a name of this process only; its text is read back from
    // there and the name removed.
    const std::string scratch = listing_path + "." + std::to_string(GetCurrentProcessId()) + ".dir";
    const int ignored = std::system(ListingCommand(folder, scratch).c_str());  // "File Not Found" ends it 1
    (void)ignored;
    std::ifstream written(scratch, std::ios::binary);
    if (!written) {
        Fail(WaitKind::Character, Format(" Directory listing file %s not found (or not generated)\n\n", listing_path.c_str()));
    }
    std::ostringstream text;
    text << written.rdbuf();
    const bool read = !written.bad();
    written.close();
    DeleteFileA(scratch.c_str());
    if (!read) {
        Fail(WaitKind::Character, Format(" Directory listing file %s not found (or not generated)\n\n", listing_path.c_str()));
    }
    return text.str();
}
