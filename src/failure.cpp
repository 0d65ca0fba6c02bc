#include "failure.h"

#include <cstdarg>
#include <cstdio>
#include <vector>

std::string Format(const char* format, ...) {
    va_list args;
    va_start(args, format);
    va_list copy;
    va_copy(copy, args);
    const int length = std::vsnprintf(nullptr, 0, format, copy);
    va_end(copy);
    std::vector<char> text(length > 0 ? static_cast<size_t>(length) + 1 : 1, '\0');
    if (length > 0) std::vsnprintf(text.data(), text.size(), format, args);
    va_end(args);
    return std::string(text.data());
}

void Fail(WaitKind wait, const std::string& message) { throw Failure{message, wait}; }

void FailMemory(WaitKind wait, const char* message) {
    Failure failure;
    failure.wait = wait;
    failure.out_of_memory = true;
    failure.message = message;
    throw failure;
}
