// SPSCQueue: the Python class over SPSCQueueCPP. Typed values go straight
// into and out of the ring's cells through the shared codec.
#pragma once

#include "python_codec.h"
#include "spsc_queue.h"

namespace mox::ipc_queue {

class SPSCQueue : public SPSCQueueCPP {
public:
    using SPSCQueueCPP::SPSCQueueCPP;
    ~SPSCQueue() override;

    py::object read();
    py::object read(QDataType type);
    void write(const py::bytes& value);
    void write(const py::str& value);
    void write(py::int_ value);
    void write(py::float_ value);
    void write(const py::array_t<double>& value);
    void write(const py::array_t<int64_t>& value);
};

void register_spsc_queue(py::module_& m);

}  // namespace mox::ipc_queue
