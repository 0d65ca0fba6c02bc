// The GIL around the compiled core's work. Heavy calls give the GIL up (GilReleased), so that threads
// with objects of their own run side by side, and take it back (GilHeld) for the few Python objects
// they make or call on the way (a record's warnings, Ctrl-C, the planes' array).
//
// Python's exit while a daemon thread is inside the module: a thread that takes the GIL back while the
// interpreter is finishing is ended there and then by an unwinding that code on its way may not pass
// (the process would abort with "terminate called without an active exception"). So a thread that
// finds the interpreter finishing never takes the GIL back: GilHeld throws InterpreterExit instead,
// which unwinds the work in hand as any failure does (its temporary files removed, its workers
// stopped), and GilReleased, instead of taking the GIL back, waits for the process to end, which it
// does as soon as the interpreter is done.
#pragma once

#include <Python.h>

namespace bindings {

// Thrown by GilHeld while the interpreter is finishing; GilReleased's scope ends with it.
struct InterpreterExit {};

// True once the interpreter has begun to finish (Python's exit).
bool InterpreterFinishing();

// The GIL given up from the scope's start to its end.
class GilReleased {
public:
    GilReleased() : state_(PyEval_SaveThread()) {}
    // Not noexcept: where the interpreter begins to finish while this thread waits for the GIL,
    // Python ends the thread by unwinding it from here.
    ~GilReleased() noexcept(false);
    GilReleased(const GilReleased&) = delete;
    GilReleased& operator=(const GilReleased&) = delete;

private:
    PyThreadState* state_;
};

// The GIL taken, inside a GilReleased scope, from the scope's start to its end; InterpreterExit
// instead while the interpreter is finishing.
class GilHeld {
public:
    GilHeld();
    ~GilHeld() { PyGILState_Release(state_); }
    GilHeld(const GilHeld&) = delete;
    GilHeld& operator=(const GilHeld&) = delete;

private:
    PyGILState_STATE state_;
};

}  // namespace bindings
