#include "python_mpmcvar_queue.h"

#include <algorithm>

namespace mox::ipc_queue {

namespace {

// No cell-size limit here, so the *_too_long texts are never used.
const CodecTexts kTexts{
    nullptr,
    "MPMCQueue::write(str):PyUnicode_AsUTF8AndSize failed.",
    nullptr,
    nullptr,
    nullptr,
    "MPMCVarQueue.write(numpy_array): Incompatible numpy array: # of dimensions > 1",
    "MPMCVarQueue.write(numpy_array): Incompatible numpy array: stride not 1",
    nullptr,
    nullptr,
    "MPMCVarQueue.read(Int): data length is not 8",
    "MPMCVarQueue.read(IntArray): data length is not a multiple of 8",
    "MPMCVarQueue.read(Float): data length is not 8",
    "MPMCVarQueue.read(FloatArray): data length is not a multiple of 8",
};
constexpr const char* kPartialDims =
    "MPMCVarQueue.partial_write(numpy_array): Incompatible numpy array: # of dimensions > 1";
constexpr const char* kPartialStride = "MPMCVarQueue.partial_write(numpy_array): Incompatible numpy array: stride not 1";

// Takes the mutex, giving up the interpreter lock only if it has to wait.
class PartialWriteLock {
public:
    explicit PartialWriteLock(std::mutex& m) : lock_(m, std::try_to_lock) {
        if (!lock_.owns_lock()) {
            py::gil_scoped_release release;
            lock_.lock();
        }
    }

private:
    std::unique_lock<std::mutex> lock_;
};

}  // namespace

MPMCVarQueue::~MPMCVarQueue() {
    if (partial_channel == nullptr) return;
    try {
        close_channel_after_write(*partial_channel);
    } catch (...) {
        // Nothing may leave a destructor; the channel stays unfinished.
    }
    partial_channel = nullptr;
}

bool MPMCVarQueue::read_message(std::string& buffer, uint32_t timeout_ms) {
    buffer.reserve(std::max<uint64_t>(cell_size(), 64));
    Channel* taken = open_channel_for_read(timeout_ms);
    if (taken == nullptr) return false;
    Channel& channel = *taken;
    uint64_t length = 0;
    do {
        const Cell* cell = channel.open_cell_for_read();
        length = cell->length();
        try {
            buffer.append(cell->data(), length);
        } catch (...) {
            channel.close_cell_after_read(cell);
            throw;
        }
        channel.close_cell_after_read(cell);
    } while (length >= channel.cell_size);
    close_channel_after_read(channel);
    return true;
}

py::object MPMCVarQueue::read() {
    std::string message;
    read_message(message, 0);
    return py::bytes(message.data(), message.size());
}

py::object MPMCVarQueue::read(QDataType type) { return read(type, py::int_(0)); }

py::object MPMCVarQueue::read(QDataType type, const py::int_& timeout_ms) {
    std::string message;
    if (!read_message(message, timeout_from(timeout_ms))) return py::none();
    return decode(message.data(), message.size(), type, kTexts, name_);
}

void MPMCVarQueue::write_whole(const Payload& p) {
    MPMCVarQueueCPP::write(p.data(), static_cast<int64_t>(p.length));
}

void MPMCVarQueue::write(const py::bytes& value) { write_whole(encode(value)); }
void MPMCVarQueue::write(const py::str& value) { write_whole(encode(value, kTexts, name_)); }
void MPMCVarQueue::write(py::int_ value) { write_whole(encode(value)); }
void MPMCVarQueue::write(py::float_ value) { write_whole(encode(value)); }
void MPMCVarQueue::write(const py::array_t<double>& value) {
    write_whole(encode(value, kTexts.array_dims, kTexts.array_stride));
}
void MPMCVarQueue::write(const py::array_t<int64_t>& value) {
    write_whole(encode(value, kTexts.array_dims, kTexts.array_stride));
}

// Values are encoded (and refused) before a channel is taken, so a failed
// partial write leaves the message under way, or the queue, untouched.
void MPMCVarQueue::append(const Payload& p) {
    PartialWriteLock lock(partial_mutex);
    if (partial_channel == nullptr) partial_channel = &open_channel_for_write();
    partial_channel->partial_write(p.data(), static_cast<int64_t>(p.length));
}

void MPMCVarQueue::partial_write(const py::bytes& value) { append(encode(value)); }
void MPMCVarQueue::partial_write(const py::str& value) { append(encode(value, kTexts, name_)); }
void MPMCVarQueue::partial_write(py::int_ value) { append(encode(value)); }
void MPMCVarQueue::partial_write(py::float_ value) { append(encode(value)); }
void MPMCVarQueue::partial_write(const py::array_t<double>& value) {
    append(encode(value, kPartialDims, kPartialStride));
}
void MPMCVarQueue::partial_write(const py::array_t<int64_t>& value) {
    append(encode(value, kPartialDims, kPartialStride));
}

void MPMCVarQueue::partial_write_complete() {
    PartialWriteLock lock(partial_mutex);
    if (partial_channel == nullptr)
        throw IPCQueueException("MPMCVarQueue.partial_write_complete: no partial message under way", name_);
    // On failure the channel stays ours, so a later call can still end the message.
    close_channel_after_write(*partial_channel);
    partial_channel = nullptr;
}

void register_mpmcvar_queue(py::module_& m) {
    using Q = MPMCVarQueue;
    py::class_<Q>(m, "MPMCVarQueue")
        .def(py::init<const std::string&, long, long, unsigned long>())
        .def(py::init<const std::string&>())
        .def("read", py::overload_cast<>(&Q::read), "read byte")
        .def("read", py::overload_cast<QDataType>(&Q::read), "read specified type")
        .def("write", py::overload_cast<const py::bytes&>(&Q::write), "write bytes object")
        .def("write", py::overload_cast<const py::str&>(&Q::write), "write string object")
        .def("write", py::overload_cast<py::int_>(&Q::write), "write int value")
        .def("write", py::overload_cast<py::float_>(&Q::write), "write float value")
        .def("write", py::overload_cast<const py::array_t<double>&>(&Q::write), "write numpy array of dtype double")
        .def("write", py::overload_cast<const py::array_t<int64_t>&>(&Q::write), "write numpy array of dtype int64_t")
        .def("partial_write", py::overload_cast<const py::bytes&>(&Q::partial_write), "partial write of bytes object")
        .def("partial_write", py::overload_cast<const py::str&>(&Q::partial_write), "partial write of string object")
        .def("partial_write", py::overload_cast<py::int_>(&Q::partial_write), "partial write of int value")
        .def("partial_write", py::overload_cast<py::float_>(&Q::partial_write), "partial write of float value")
        .def("partial_write", py::overload_cast<const py::array_t<double>&>(&Q::partial_write),
             "partial write of numpy array of dtype double")
        .def("partial_write", py::overload_cast<const py::array_t<int64_t>&>(&Q::partial_write),
             "partial write of numpy array of dtype int64_t")
        .def("partial_write_complete", &Q::partial_write_complete, "partial write complete")
        .def("cell_size", &IPCQueueCPP::cell_size)
        .def("unlink", &MPMCVarQueueCPP::unlink, "call shm_unlink")
        // Additions after the fixed table.
        .def("read", py::overload_cast<QDataType, const py::int_&>(&Q::read), kTimedReadDoc);
}

}  // namespace mox::ipc_queue
