// MPMCVarQueue: the Python class over MPMCVarQueueCPP. Messages of any
// length, written whole or built from partial writes of any value kind, and
// read back whole, then decoded by the shared codec.
#pragma once

#include <mutex>
#include <string>

#include "mpmcvar_queue.h"
#include "python_report.h"
#include "python_codec.h"

namespace mox::ipc_queue {

class MPMCVarQueue : public MPMCVarQueueCPP {
public:
    using MPMCVarQueueCPP::MPMCVarQueueCPP;
    // A partial message under way is abandoned: its reader is told, never
    // handed the truncated message.
    ~MPMCVarQueue() override;

    py::object read();
    py::object read(QDataType type);
    // Waits at most timeout_ms (0: no limit) for a message to be started;
    // None if none was. A message once taken is read to its end.
    py::object read(QDataType type, const py::int_& timeout_ms);

    void write(const py::bytes& value);
    void write(const py::str& value);
    void write(py::int_ value);
    void write(py::float_ value);
    void write(const py::array_t<double>& value);
    void write(const py::array_t<int64_t>& value);

    // The first partial write of a message takes its channel (and its place
    // in the queue's order); partial_write_complete ends the message.
    void partial_write(const py::bytes& value);
    void partial_write(const py::str& value);
    void partial_write(py::int_ value);
    void partial_write(py::float_ value);
    void partial_write(const py::array_t<double>& value);
    void partial_write(const py::array_t<int64_t>& value);
    // Throws IPCQueueException when no partial message is under way.
    void partial_write_complete();

private:
    // Reads one message, cell by cell, into `sink` (see the .cpp); false
    // when no message was started within timeout_ms (0: no limit).
    template <class Sink>
    bool read_message(Sink& sink, uint32_t timeout_ms);
    py::object read_value(QDataType type, uint32_t timeout_ms);
    void write_whole(const Payload& p);
    void append(const Payload& p);
    void forget_abandoned_message();

    // The channel of the message being built; borrowed from the queue's table.
    Channel* partial_channel = nullptr;
    // Partial writes of one object from several threads form one message in
    // call order; the interpreter lock alone cannot keep them apart because
    // it is released while a write waits for a cell.
    std::mutex partial_mutex;
};

void register_mpmcvar_queue(py::module_& m);

}  // namespace mox::ipc_queue
