// MPMCVarQueue: the Python class over MPMCVarQueueCPP. Messages of any
// length, written whole or built from partial writes of any value kind, and
// read back whole, then decoded by the shared codec.
#pragma once

#include <deque>
#include <mutex>
#include <string>

#include "closable_python_queue.h"
#include "mpmcvar_queue.h"
#include "python_codec.h"
#include "python_report.h"

namespace mox::ipc_queue {

class MPMCVarQueue : public ClosablePythonQueue<MPMCVarQueueCPP> {
public:
    using ClosablePythonQueue::ClosablePythonQueue;
    // A partial message under way is abandoned: its reader is told, never
    // handed the truncated message.
    ~MPMCVarQueue() override;
    // The core's close(), forgetting the channels it gave up.
    void close() override;

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

    // The additions' steps (python_queue_api.h), each inside a Call. Reads
    // pass over messages their writers abandoned: those were never sent.
    Payload payload_of(const py::handle& value) const { return encode_value(value); }
    bool put_payload(const Payload& p, const Timeout& timeout);
    // None when no message was started in time; one started is read to its end.
    py::object get_value(QDataType type, const Timeout& timeout);
    // What an event loop may call: nothing here waits. A message only partly
    // there is kept by the object, and the next read of any kind goes on
    // with it: False when one got on, None when nothing came.
    py::object try_get(QDataType type);
    // Only a message that fits the ring of a channel free now; else false.
    bool try_put(const Payload& p);

private:
    // A message taken by try_get and not yet whole.
    struct PendingRead {
        Channel* channel = nullptr;
        std::string bytes;
    };

    // Reads the message of a taken channel, cell by cell, into a value of
    // `type` (see the .cpp); `texts` words decode failures, null for the
    // additions' ValueErrors.
    py::object read_channel(Channel& channel, QDataType type, const CodecTexts* texts);
    template <class Sink>
    void read_message(Sink& sink, Channel& channel);
    py::object read_value(QDataType type, uint32_t timeout_ms);
    // The oldest pending read, finished (waiting for its cells) and decoded;
    // None if its writer abandoned it and `skip_abandoned`.
    py::object finish_pending_read(QDataType type, const CodecTexts* texts);
    void write_whole(const Payload& p);
    void append(const Payload& p);
    void forget_abandoned_message();

    // The channel of the message being built; borrowed from the queue's table.
    Channel* partial_channel = nullptr;
    // Partial writes of one object from several threads form one message in
    // call order; the interpreter lock alone cannot keep them apart because
    // it is released while a write waits for a cell.
    std::mutex partial_mutex;
    std::deque<PendingRead> pending_reads_;
};

// put_async's message of any length, written as room comes and never
// waiting: step() is True once the whole message is handed over, False when
// it got on, None when there was no room. abandon(),
// or destruction before the end, gives up a message begun: its reader
// passes over it, so a put either delivers everything or nothing.
class PutStream {
public:
    PutStream(py::object queue, py::object value);
    PutStream(const PutStream&) = delete;
    PutStream& operator=(const PutStream&) = delete;
    ~PutStream();

    py::object step();
    void abandon();

private:
    py::object queue_object_;  // keeps queue_ alive
    MPMCVarQueue& queue_;
    py::object value_;  // keeps the payload's bytes alive
    Payload payload_;
    Channel* channel_ = nullptr;
    uint64_t written_ = 0;
    bool finished_ = false;
};

void register_mpmcvar_queue(py::module_& m);

}  // namespace mox::ipc_queue
