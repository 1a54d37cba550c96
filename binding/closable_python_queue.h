// ClosablePythonQueue: close() for the Python classes, safe against calls
// in progress on other threads.
//
// The interpreter lock is given up inside a wait, so another thread can
// close an object while a call on it waits. The mapping then goes only when
// the last call in progress leaves; a call waiting inside learns of the
// close when it next looks for signals (every kRecheckMs at most) and
// raises "queue is closed", giving back what it held as a signal would.
#pragma once

#include <pybind11/pybind11.h>

namespace mox::ipc_queue {

// Set while this thread is inside a call on a queue object: whether that
// object has been asked to close. Read by the wait hooks, under the
// interpreter lock.
const bool* close_requested_in_this_thread();
void set_close_requested_in_this_thread(const bool* flag);

template <class Core>
class ClosablePythonQueue : public Core {
public:
    using Core::Core;

    // Held by every Python call on the object for its duration, with the
    // interpreter lock held at both ends. Throws "queue is closed".
    class Call {
    public:
        explicit Call(ClosablePythonQueue& q) : q_(q), outer_(close_requested_in_this_thread()) {
            if (q.closed() || q.close_requested_) q.throw_closed();
            ++q.calls_;
            set_close_requested_in_this_thread(&q.close_requested_);
        }
        ~Call() {
            set_close_requested_in_this_thread(outer_);
            if (--q_.calls_ == 0 && q_.close_requested_) q_.close();
        }
        Call(const Call&) = delete;
        Call& operator=(const Call&) = delete;

    private:
        ClosablePythonQueue& q_;
        const bool* outer_;
    };

    // Python's close(): now, or when the last call in progress leaves.
    void close_when_idle() {
        if (calls_ > 0)
            close_requested_ = true;
        else
            this->close();
    }
    bool open() const { return !this->closed() && !close_requested_; }

private:
    int calls_ = 0;
    bool close_requested_ = false;
};

}  // namespace mox::ipc_queue
