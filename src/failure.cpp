#include "failure.h"

#include <cstdarg>
#include <cstdio>
#include <utility>
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

namespace {

Failure FailureOf(WaitKind wait, std::string message) {
    Failure failure;
    failure.message = std::move(message);
    failure.wait = wait;
    return failure;
}

}  // namespace

void Fail(WaitKind wait, const std::string& message) { throw FailureOf(wait, message); }

void FailFile(WaitKind wait, const std::string& message, const std::string& path, int system_error) {
    Failure failure = FailureOf(wait, message);
    failure.kind = FailureKind::kFile;
    failure.path = path;
    failure.system_error = system_error;
    throw failure;
}

void FailContent(WaitKind wait, const std::string& message, const std::string& path, int line) {
    Failure failure = FailureOf(wait, message);
    failure.kind = FailureKind::kContent;
    failure.path = path;
    failure.line = line;
    throw failure;
}

void FailMemory(WaitKind wait, const char* message) {
    Failure failure = FailureOf(wait, message);
    failure.kind = FailureKind::kMemory;
    throw failure;
}

bool IsMemoryFailure(const std::exception_ptr& error) {
    if (!error) return false;
    try {
        std::rethrow_exception(error);
    } catch (const Failure& failure) {
        return failure.kind == FailureKind::kMemory;
    } catch (const std::bad_alloc&) {
        return true;
    } catch (const std::length_error&) {
        return true;
    } catch (...) {
        return false;
    }
}

Failure FailureOfUnexpected(const std::exception& error) {
    if (dynamic_cast<const std::bad_alloc*>(&error) != nullptr || dynamic_cast<const std::length_error*>(&error) != nullptr) {
        Failure failure = FailureOf(WaitKind::None, " Memory not allocated \n");
        failure.kind = FailureKind::kMemory;
        return failure;
    }
    return FailureOf(WaitKind::None, " Unexpected failure: " + std::string(error.what()) + " \n");
}
