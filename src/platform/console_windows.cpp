// Windows side of the console.
#include <io.h>
#include <windows.h>

#include <cstdio>

#include "platform/console.h"
#include "platform/console_platform.h"

// The C runtime gives no descriptor of a closed standard stream to a file opened later.
bool ReopenClosedStandardStreams() { return false; }

bool StandardOutputIsTerminal() { return _isatty(_fileno(stdout)) != 0; }

// A console input handle: GetConsoleMode fails for a pipe, a file and the null device.
bool StandardInputIsTerminal() {
    DWORD mode = 0;
    return GetConsoleMode(GetStdHandle(STD_INPUT_HANDLE), &mode) != 0;
}
