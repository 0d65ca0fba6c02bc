// GoogleTest's Notification (a one-shot start signal for threads) is built on std::mutex, which the
// "win32" thread-model runtime of the Windows cross compilers lacks. This replacement is force-included
// into GoogleTest and the tests of cross builds only. GoogleTest uses it for threads that its own
// tests start, never for ours, so a plain atomic flag is enough.
#pragma once

#include <atomic>

#define GTEST_HAS_NOTIFICATION_ 1

namespace testing {
namespace internal {

class Notification {
public:
    Notification() = default;
    Notification(const Notification&) = delete;
    Notification& operator=(const Notification&) = delete;

    void Notify() { notified_.store(true); }
    void WaitForNotification() {
        while (!notified_.load()) {
        }
    }

private:
    std::atomic<bool> notified_{false};
};

}  // namespace internal
}  // namespace testing
