#include "python_mpmcvar_queue.h"

#include "semaphore_wait.h"

#include <algorithm>
#include <cstddef>
#include <exception>
#include <optional>
#include <type_traits>
#include <utility>

namespace mox::ipc_queue {

namespace {

// No cell-size limit here: no *_too_long texts.
const CodecTexts kTexts{
    .str_not_utf8 = "MPMCQueue::write(str):PyUnicode_AsUTF8AndSize failed.",
    .array_dims = "MPMCVarQueue.write(numpy_array): Incompatible numpy array: # of dimensions > 1",
    .array_stride = "MPMCVarQueue.write(numpy_array): Incompatible numpy array: stride not 1",
    .read_int = "MPMCVarQueue.read(Int): data length is not 8",
    .read_int_array = "MPMCVarQueue.read(IntArray): data length is not a multiple of 8",
    .read_float = "MPMCVarQueue.read(Float): data length is not 8",
    .read_float_array = "MPMCVarQueue.read(FloatArray): data length is not a multiple of 8",
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

// The core's destructor abandons a partial message under way: ending it
// would hand its reader a truncated message as if it were whole.
MPMCVarQueue::~MPMCVarQueue() = default;

namespace {

// The writer's length so far, for sizing the result; a larger one than
// this is not believed.
uint64_t believed_hint(const Channel& channel) {
    constexpr uint64_t kMaxLengthHint = uint64_t{1} << 40;
    const uint64_t hint = channel.length_hint();
    return hint <= kMaxLengthHint ? hint : 0;
}

// Storage that grows as cells arrive and is handed over as the result
// without another copy: a bytes object resized in place, or (for the array
// types) a numpy array that owns its data.
class BytesBuilder {
public:
    BytesBuilder() = default;
    BytesBuilder(const BytesBuilder&) = delete;
    BytesBuilder& operator=(const BytesBuilder&) = delete;
    ~BytesBuilder() { Py_XDECREF(object_); }

    void reserve(uint64_t bytes) {
        if (bytes <= capacity_) return;
        const auto size = static_cast<Py_ssize_t>(bytes);
        if (object_ == nullptr) {
            object_ = PyBytes_FromStringAndSize(nullptr, size);
            if (object_ == nullptr) throw py::error_already_set();
        } else if (_PyBytes_Resize(&object_, size) != 0) {
            throw py::error_already_set();  // the old object is gone
        }
        capacity_ = bytes;
    }
    char* data() { return PyBytes_AS_STRING(object_); }

    // The first `size` bytes as a bytes object.
    py::object finish(uint64_t size) {
        if (size != capacity_ && _PyBytes_Resize(&object_, static_cast<Py_ssize_t>(size)) != 0)
            throw py::error_already_set();
        return py::reinterpret_steal<py::object>(std::exchange(object_, nullptr));
    }

private:
    PyObject* object_ = nullptr;
    uint64_t capacity_ = 0;
};

template <class T>
class ArrayBuilder {
public:
    void reserve(uint64_t bytes) {
        if (bytes <= capacity_) return;
        const auto count = static_cast<py::ssize_t>((bytes + sizeof(T) - 1) / sizeof(T));
        if (!array_)
            array_.emplace(count);
        else
            array_->resize({count}, false);  // ours alone: no reference check
        capacity_ = static_cast<uint64_t>(count) * sizeof(T);
    }
    char* data() { return reinterpret_cast<char*>(array_->mutable_data()); }

    // The first `size` bytes as an array; `size` is a multiple of sizeof(T).
    py::object finish(uint64_t size) {
        if (size != capacity_) array_->resize({static_cast<py::ssize_t>(size / sizeof(T))}, false);
        return std::move(*array_);
    }

private:
    std::optional<py::array_t<T>> array_;
    uint64_t capacity_ = 0;
};

// Collects one message for a read that wants `type`. A message of one cell
// (the usual case for small values) is decoded straight from that cell, as
// the fixed-cell queues do; a longer one goes into a builder, the first
// cell sized by the length hint, later growth by doubling.
template <class Builder>
class MessageSink {
public:
    MessageSink(QDataType type, const CodecTexts& texts, const std::string& name)
        : type_(type), texts_(texts), name_(name) {}

    void first(const char* data, uint64_t length, bool last, uint64_t hint) {
        if (last) {
            result_ = decode(data, length, type_, texts_, name_);
            single_ = true;
            return;
        }
        capacity_ = std::max(hint, 2 * length);
        builder_.reserve(capacity_);
        append(data, length);
    }

    void append(const char* data, uint64_t length) {
        if (size_ + length > capacity_) {
            capacity_ = std::max(size_ + length, 2 * capacity_);
            builder_.reserve(capacity_);
        }
        if (length > 0) copy_bytes(builder_.data() + size_, data, length);
        size_ += length;
    }

    py::object finish() {
        if (single_) return std::move(result_);
        if constexpr (std::is_same_v<Builder, BytesBuilder>) {
            py::object bytes = builder_.finish(size_);
            if (type_ == QDataType::Bytes) return bytes;
            return decode(PyBytes_AS_STRING(bytes.ptr()), size_, type_, texts_, name_);
        } else {
            if (size_ % 8 != 0)
                throw IPCQueueException(type_ == QDataType::IntArray ? texts_.read_int_array : texts_.read_float_array,
                                        name_);
            return builder_.finish(size_);
        }
    }

private:
    QDataType type_;
    const CodecTexts& texts_;
    const std::string& name_;
    Builder builder_;
    py::object result_;
    bool single_ = false;
    uint64_t size_ = 0;
    uint64_t capacity_ = 0;
};

}  // namespace

// The channel is always read to its last cell and given back, whatever
// happens to the result on the way: if building it fails, the rest of the
// message is still consumed and the failure raised afterwards.
template <class Sink>
bool MPMCVarQueue::read_message(Sink& sink, uint32_t timeout_ms) {
    Channel* taken = open_channel_for_read(timeout_ms);
    if (taken == nullptr) return false;
    Channel& channel = *taken;
    std::exception_ptr failure;
    bool first = true;
    uint64_t length = 0;
    do {
        const Cell* cell = channel.open_cell_for_read();
        length = cell->length_within(channel.cell_size);
        if (!failure) {
            try {
                if (first)
                    sink.first(cell->data(), length, length < channel.cell_size,
                               believed_hint(channel));
                else
                    sink.append(cell->data(), length);
            } catch (...) {
                if (thread_ending()) throw;
                failure = std::current_exception();
            }
        }
        first = false;
        channel.close_cell_after_read(cell);
    } while (length >= channel.cell_size);
    close_channel_after_read(channel);
    if (failure) std::rethrow_exception(failure);
    return true;
}

py::object MPMCVarQueue::read_value(QDataType type, uint32_t timeout_ms) {
    const auto read_with = [&](auto sink) -> py::object {
        if (!read_message(sink, timeout_ms)) return py::none();
        return sink.finish();
    };
    switch (type) {
        case QDataType::IntArray:
            return read_with(MessageSink<ArrayBuilder<int64_t>>(type, kTexts, name()));
        case QDataType::FloatArray:
            return read_with(MessageSink<ArrayBuilder<double>>(type, kTexts, name()));
        default:
            return read_with(MessageSink<BytesBuilder>(type, kTexts, name()));
    }
}

py::object MPMCVarQueue::read() { return read_value(QDataType::Bytes, 0); }

py::object MPMCVarQueue::read(QDataType type) { return read_value(type, 0); }

py::object MPMCVarQueue::read(QDataType type, const py::int_& timeout_ms) {
    return read_value(type, timeout_from(timeout_ms));
}

void MPMCVarQueue::write_whole(const Payload& p) {
    MPMCVarQueueCPP::write(p.data(), static_cast<int64_t>(p.length));
}

void MPMCVarQueue::write(const py::bytes& value) { write_whole(encode(value)); }
void MPMCVarQueue::write(const py::str& value) { write_whole(encode(value, kTexts, name())); }
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
    try {
        partial_channel->partial_write(p.data(), static_cast<int64_t>(p.length));
    } catch (...) {
        forget_abandoned_message();
        throw;
    }
}

void MPMCVarQueue::forget_abandoned_message() {
    // Interrupted inside the message, or its reader gave up: no longer ours.
    if (partial_channel != nullptr && !partial_channel->writing()) partial_channel = nullptr;
}

void MPMCVarQueue::partial_write(const py::bytes& value) { append(encode(value)); }
void MPMCVarQueue::partial_write(const py::str& value) { append(encode(value, kTexts, name())); }
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
        throw IPCQueueException("MPMCVarQueue.partial_write_complete: no partial message under way", name());
    // On a failure that leaves the message ours, a later call can still end it.
    try {
        close_channel_after_write(*partial_channel);
    } catch (...) {
        forget_abandoned_message();
        throw;
    }
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
        .def("read", py::overload_cast<QDataType, const py::int_&>(&Q::read), kTimedReadDoc)
        .def("inspect", [](const Q& q) { return report_dict(q); }, kInspectDoc);
}

}  // namespace mox::ipc_queue
