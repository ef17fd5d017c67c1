// Core work that touches no Python object (file I/O, encoding and decoding,
// the tree build) runs with the GIL released, so other threads go on
// meanwhile. A blocking call interrupted by a signal takes the GIL back to
// run the handlers, as Python's own I/O does, and stops when one raises.
#pragma once

#include "binding/python.hpp"

#include "persist/file.hpp"

namespace vicinor::binding {

class ReleasedGil {
public:
    ReleasedGil() noexcept : state_(PyEval_SaveThread()) {}
    ReleasedGil(const ReleasedGil&) = delete;
    ReleasedGil& operator=(const ReleasedGil&) = delete;
    // Also on the way out of an exception: reporting it needs the GIL.
    ~ReleasedGil() { reacquire(); }

    void reacquire() noexcept {
        if (state_ == nullptr) return;
        PyEval_RestoreThread(state_);
        state_ = nullptr;
    }

    // For the file calls: a signal handler that raised leaves its exception
    // set, and the call fails; the caller reports that exception instead.
    persist::Interruption interruption() noexcept { return {&run_signal_handlers, this}; }
    bool handler_raised() const noexcept { return handler_raised_; }

    // A StopCheck hook: runs the signal handlers, and asks the work to stop
    // when one raised (Ctrl-C's KeyboardInterrupt, left set).
    static bool stop_for_signal(void* context) noexcept { return !run_signal_handlers(context); }

private:
    static bool run_signal_handlers(void* context) noexcept {
        auto* self = static_cast<ReleasedGil*>(context);
        PyEval_RestoreThread(self->state_);
        self->handler_raised_ = PyErr_CheckSignals() != 0;
        self->state_ = PyEval_SaveThread();
        return !self->handler_raised_;
    }

    PyThreadState* state_;
    bool handler_raised_ = false;
};

}  // namespace vicinor::binding
