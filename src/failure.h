// One failure type for the whole program.
//
// Every failure of the system ends the run with one line on standard output and exit status 1.
// Some failures first wait for the user (one character, or one integer typed at the console) so
// that a console window opened by double-click stays readable. Operations throw a Failure where the
// failure happens; main() catches it, prints the line, performs the wait and returns 1. Tests catch
// it directly and check the message.
#pragma once

#include <string>

enum class WaitKind {
    None,       // exit at once
    Character,  // read one character from standard input first
    Integer     // read one integer with "%d" from standard input first
};

struct Failure {
    std::string message;  // printed exactly as it stands, line end included
    WaitKind wait = WaitKind::None;
};

// Formats like printf into a std::string (for failure messages).
#if defined(__MINGW32__)
#define FAILURE_PRINTF_FORMAT __attribute__((format(gnu_printf, 1, 2)))
#else
#define FAILURE_PRINTF_FORMAT __attribute__((format(printf, 1, 2)))
#endif
std::string Format(const char* format, ...) FAILURE_PRINTF_FORMAT;

// Throws a Failure; never returns.
[[noreturn]] void Fail(WaitKind wait, const std::string& message);
