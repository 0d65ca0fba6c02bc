#include "python/bindings/gil.h"

#include <chrono>
#include <thread>

namespace bindings {

namespace {

// The process ends once the interpreter is done; this thread must not touch it meanwhile.
[[noreturn]] void WaitForTheProcessToEnd() {
    for (;;) std::this_thread::sleep_for(std::chrono::hours(1));
}

}  // namespace

bool InterpreterFinishing() {
#if PY_VERSION_HEX >= 0x030D0000
    return Py_IsFinalizing() != 0;
#else
    return _Py_IsFinalizing() != 0;
#endif
}

GilReleased::~GilReleased() noexcept(false) {
    if (InterpreterFinishing()) WaitForTheProcessToEnd();
    PyEval_RestoreThread(state_);
}

GilHeld::GilHeld() {
    if (InterpreterFinishing()) throw InterpreterExit{};
    state_ = PyGILState_Ensure();
}

}  // namespace bindings
