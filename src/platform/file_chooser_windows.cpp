// Windows side of the file chooser: the common open-file dialog.
#include <windows.h>
#include <commdlg.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "platform/file_chooser.h"

namespace {

constexpr size_t kFilterBuffer = 256;
constexpr size_t kDialogFileBuffer = 260;
constexpr DWORD kTitlePauseMs = 40;

// The filter list: the template's last four "X" become terminators, from the end.
void BuildFilter(char* filter) {
    std::strcpy(filter, "Calibration Stars File (CALSTARS*.txt)XCALSTARS*.txtXAll Files (*.*)X*.*X");
    for (int replaced = 0; replaced < 4; ++replaced) {
        char* last = std::strrchr(filter, 'X');
        if (last == nullptr) break;
        *last = '\0';
    }
}

}  // namespace

bool SelectCalStarsFile(std::string& destination) {
    SetConsoleTitleA("Console Window");
    Sleep(kTitlePauseMs);
    // Looked up by the title just set; the dialog still gets no owner, so it works without one.
    (void)FindWindowA(nullptr, "Console Window");
    std::printf(" Opening dialog box to search for a CALSTARS*.txt file\n");
    std::fflush(stdout);

    char filter[kFilterBuffer];
    BuildFilter(filter);
    char file_name[kDialogFileBuffer] = "";
    OPENFILENAMEA dialog;
    std::memset(&dialog, 0, sizeof dialog);
    dialog.lStructSize = sizeof dialog;  // 88 bytes in the 32-bit build
    dialog.hwndOwner = nullptr;
    dialog.lpstrFilter = filter;
    dialog.nFilterIndex = 0;
    dialog.lpstrFile = file_name;
    dialog.nMaxFile = kDialogFileBuffer;
    dialog.lpstrInitialDir = "C:\\";
    dialog.lpstrTitle = "Navigate to CALSTARS File";
    dialog.Flags = OFN_EXPLORER | OFN_FILEMUSTEXIST | OFN_NOCHANGEDIR | OFN_HIDEREADONLY;
    if (!GetOpenFileNameA(&dialog)) return false;
    destination = file_name;
    return true;
}
