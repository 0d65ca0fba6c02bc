// One failure type for the whole program.
//
// Every failure of the system ends the run with one line on standard output and exit status 1.
// Some failures first wait for the user (one character, or one integer typed at the console) so
// that a console window opened by double-click stays readable. Operations throw a Failure where the
// failure happens; main() catches it, prints the line, performs the wait and returns 1. Tests catch
// it directly and check the message.
#pragma once

#include <new>
#include <stdexcept>
#include <string>

enum class WaitKind {
    None,       // exit at once
    Character,  // read one character from standard input first
    Integer     // read one integer with "%d" from standard input first
};

struct Failure {
    std::string message;  // printed exactly as it stands, line end included
    WaitKind wait = WaitKind::None;
    bool out_of_memory = false;  // an allocation failed: the same work may succeed with less held
    // What a caller other than the console (the Python module) tells apart; the program prints only
    // the message. `path` names the file the failure is about, where one is: a failure with a path
    // that is not about the file's content is a failure to reach or make that file, and
    // `system_error` is then the system's error code when the system gave one (0 otherwise): errno,
    // or for an output file on Windows the code GetLastError gave.
    // `content` marks a file whose text or header is refused, at `line` of it (0 when the file has
    // no lines).
    int system_error = 0;
    std::string path;
    bool content = false;
    int line = 0;
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

// Throws a Failure about the file `path` that the system refused with `system_error` (0 when it
// gave no code); never returns.
[[noreturn]] void FailFile(WaitKind wait, const std::string& message, const std::string& path, int system_error);

// Throws a Failure about the content of the file `path`, at `line` (0 when it has no lines); never
// returns.
[[noreturn]] void FailContent(WaitKind wait, const std::string& message, const std::string& path, int line);

// Throws a Failure marked out_of_memory; never returns.
[[noreturn]] void FailMemory(WaitKind wait, const char* message);

// Runs `body` and returns what it returns; an allocation that fails inside it (std::bad_alloc, or
// std::length_error for a size beyond what a container can hold) becomes FailMemory(wait, message),
// the memory failure of the stage that `body` is. Failures thrown by `body` pass unchanged.
template <typename Body>
auto OnAllocationFailure(WaitKind wait, const char* message, Body&& body) -> decltype(body()) {
    try {
        return body();
    } catch (const std::bad_alloc&) {
        FailMemory(wait, message);
    } catch (const std::length_error&) {
        FailMemory(wait, message);
    }
}
