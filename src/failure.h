// One failure type for the whole program.
//
// Every failure of the system ends the run with one line on standard output and exit status 1.
// Some failures first wait for the user (one character, or one integer typed at the console) so
// that a console window opened by double-click stays readable; the console performs the wait only
// when standard input is a terminal (ReportFailure). Operations throw a Failure where the failure
// happens; main() catches it, prints the line, performs the wait and returns 1. Tests catch it
// directly and check the message.
#pragma once

#include <exception>
#include <new>
#include <stdexcept>
#include <string>
#include <utility>

enum class WaitKind {
    None,       // exit at once
    Character,  // read one character from standard input first
    Integer     // read one integer with "%d" from standard input first
};

// What a failure is about, for a caller other than the console (the Python module maps it to its
// exception classes); the program prints only the message.
enum class FailureKind {
    kOther,    // a refused argument or record, a failed stage: nothing more to tell
    kMemory,   // an allocation failed: the same work may succeed with less held
    kFile,     // a file or folder could not be reached, read or written (or is not a regular file)
    kContent   // the text or header of a file (or of a record made in memory) is refused
};

struct Failure {
    std::string message;  // printed exactly as it stands, line end included
    WaitKind wait = WaitKind::None;
    FailureKind kind = FailureKind::kOther;
    // `path` names the file the failure is about, where one is (kFile, kContent). For kFile,
    // `system_error` is the system's error code when the system gave one (0 otherwise): errno, or for
    // an output file on Windows the code GetLastError gave. For kContent, `line` is the line of the
    // file that is refused (0 when the file has no lines).
    std::string path;
    int system_error = 0;
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

// Throws a Failure of kind kMemory; never returns.
[[noreturn]] void FailMemory(WaitKind wait, const char* message);

// Runs `body` and returns what it returns; where an allocation fails inside it (std::bad_alloc, or
// std::length_error for a size beyond what a container can hold) it returns `on_failure()` instead.
// The one place that tells an allocation failure from the others: every stage that falls back or
// reports a memory failure goes through it. Other exceptions pass unchanged.
template <typename Body, typename OnFailure>
auto IfAllocationFails(Body&& body, OnFailure&& on_failure) -> decltype(body()) {
    try {
        return body();
    } catch (const std::bad_alloc&) {
    } catch (const std::length_error&) {
    }
    return on_failure();
}

// Runs `body` and returns what it returns; an allocation that fails inside it becomes
// FailMemory(wait, message), the memory failure of the stage that `body` is. Failures thrown by
// `body` pass unchanged.
template <typename Body>
auto OnAllocationFailure(WaitKind wait, const char* message, Body&& body) -> decltype(body()) {
    return IfAllocationFails(std::forward<Body>(body), [&]() -> decltype(body()) { FailMemory(wait, message); });
}

// True when `error` is a memory failure: a Failure of kind kMemory, std::bad_alloc or
// std::length_error.
bool IsMemoryFailure(const std::exception_ptr& error);

// The Failure for an exception that no stage turned into one: an allocation that failed
// (" Memory not allocated \n", kind kMemory) or " Unexpected failure: <what> \n".
Failure FailureOfUnexpected(const std::exception& error);
