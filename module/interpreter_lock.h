// Letting the interpreter lock go while the engine waits.
#pragma once

#include <Python.h>

namespace reelpipe::binding {

// Releases the interpreter lock for its lifetime. Its destructor may be
// unwound: once the interpreter is finalizing, taking the lock back ends
// any other thread with pthread_exit, whose forced unwind has to pass
// through this frame and on through pybind11's dispatcher, which rethrows
// it. The implicitly noexcept destructor of py::gil_scoped_release turns
// that unwind into std::terminate, aborting a program whose threads are
// inside the module when it exits. What may throw in its scope is caught
// before the scope ends (as open_decoder does): a thread ended while an
// exception is in flight terminates all the same.
class ReleaseInterpreterLock {
public:
    ReleaseInterpreterLock() : state_(PyEval_SaveThread()) {}
    ~ReleaseInterpreterLock() noexcept(false) { PyEval_RestoreThread(state_); }

    ReleaseInterpreterLock(const ReleaseInterpreterLock&) = delete;
    ReleaseInterpreterLock& operator=(const ReleaseInterpreterLock&) = delete;

private:
    PyThreadState* state_;
};

}  // namespace reelpipe::binding
