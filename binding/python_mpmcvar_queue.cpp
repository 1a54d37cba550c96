#include "python_mpmcvar_queue.h"

#include "python_queue_api.h"
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
constexpr const char* kPartialStride =
    "MPMCVarQueue.partial_write(numpy_array): Incompatible numpy array: stride not 1";

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
    // Null `texts`: the additions' checks (decode_value).
    MessageSink(QDataType type, const CodecTexts* texts, const std::string& name)
        : type_(type), texts_(texts), name_(name) {}

    void first(const char* data, uint64_t length, bool last, uint64_t hint) {
        if (last) {
            result_ = decode_as(data, length);
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
            return decode_as(PyBytes_AS_STRING(bytes.ptr()), size_);
        } else {
            if (texts_ == nullptr)
                check_decodable(size_, type_);
            else if (size_ % 8 != 0)
                throw IPCQueueException(
                    type_ == QDataType::IntArray ? texts_->read_int_array : texts_->read_float_array, name_);
            return builder_.finish(size_);
        }
    }

private:
    py::object decode_as(const char* data, uint64_t length) {
        return texts_ != nullptr ? decode(data, length, type_, *texts_, name_) : decode_value(data, length, type_);
    }

    QDataType type_;
    const CodecTexts* texts_;
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
void MPMCVarQueue::read_message(Sink& sink, Channel& channel) {
    std::exception_ptr failure;
    bool first = true;
    uint64_t length = 0;
    do {
        const Cell* cell = channel.open_cell_for_read();
        length = cell->length_within(channel.cell_size);
        if (!failure) {
            try {
                if (first)
                    sink.first(cell->data(), length, length < channel.cell_size, believed_hint(channel));
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
}

py::object MPMCVarQueue::read_channel(Channel& channel, QDataType type, const CodecTexts* texts) {
    const auto read_with = [&](auto sink) -> py::object {
        read_message(sink, channel);
        return sink.finish();
    };
    switch (type) {
        case QDataType::IntArray:
            return read_with(MessageSink<ArrayBuilder<int64_t>>(type, texts, name()));
        case QDataType::FloatArray:
            return read_with(MessageSink<ArrayBuilder<double>>(type, texts, name()));
        default:
            return read_with(MessageSink<BytesBuilder>(type, texts, name()));
    }
}

py::object MPMCVarQueue::finish_pending_read(QDataType type, const CodecTexts* texts) {
    PendingRead r = std::move(pending_reads_.front());
    pending_reads_.pop_front();
    try {
        r.channel->read(r.bytes);
    } catch (const MessageAbandoned&) {
        if (texts == nullptr) return py::object();  // never sent: the caller passes over it
        throw;
    } catch (...) {
        if (!thread_ending()) r.channel->abandon_read();  // nothing if it was given up already
        throw;
    }
    close_channel_after_read(*r.channel);
    const auto* data = r.bytes.data();
    return texts != nullptr ? decode(data, r.bytes.size(), type, *texts, name())
                            : decode_value(data, r.bytes.size(), type);
}

py::object MPMCVarQueue::read_value(QDataType type, uint32_t timeout_ms) {
    Call call(*this);
    if (!pending_reads_.empty()) return finish_pending_read(type, &kTexts);
    Channel* channel = open_channel_for_read(timeout_ms);
    if (channel == nullptr) return py::none();
    return read_channel(*channel, type, &kTexts);
}

py::object MPMCVarQueue::get_value(QDataType type, const Timeout& timeout) {
    const Deadline deadline(timeout);
    for (;;) {
        if (!pending_reads_.empty()) {
            if (py::object value = finish_pending_read(type, nullptr)) return value;
            continue;
        }
        Channel* channel = open_channel_for_read(deadline.left());
        if (channel == nullptr) return py::none();
        try {
            return read_channel(*channel, type, nullptr);
        } catch (const MessageAbandoned&) {
            // Its writer gave it up: never sent. Wait on for the next.
        }
    }
}

py::object MPMCVarQueue::try_get(QDataType type) {
    for (;;) {
        PendingRead r;
        if (!pending_reads_.empty()) {
            r = std::move(pending_reads_.front());
            pending_reads_.pop_front();
        } else if ((r.channel = open_channel_for_read(Timeout::now())) == nullptr) {
            return py::none();
        }
        const size_t had = r.bytes.size();
        Channel::ReadStep step = Channel::ReadStep::kMore;
        try {
            while (step == Channel::ReadStep::kMore) step = r.channel->partial_read(r.bytes, Timeout::now());
        } catch (const MessageAbandoned&) {
            continue;  // never sent
        } catch (...) {
            if (!thread_ending()) r.channel->abandon_read();
            throw;
        }
        if (step == Channel::ReadStep::kNone) {
            const bool got_on = r.bytes.size() > had || had == 0;
            pending_reads_.push_front(std::move(r));
            return got_on ? py::object(py::bool_(false)) : py::none();
        }
        close_channel_after_read(*r.channel);
        return decode_value(r.bytes.data(), r.bytes.size(), type);
    }
}

bool MPMCVarQueue::put_payload(const Payload& p, const Timeout& timeout) {
    return MPMCVarQueueCPP::write(p.data(), static_cast<int64_t>(p.length), timeout);
}

bool MPMCVarQueue::try_put(const Payload& p) {
    // A free channel's ring is empty: a message of this many cells (the
    // last one partly filled, or empty) goes in without waiting.
    if (p.length / cell_size() + 1 > num_cells()) return false;
    Channel* channel = open_channel_for_write(Timeout::now());
    if (channel == nullptr) return false;
    try {
        channel->partial_write(p.data(), static_cast<int64_t>(p.length));
        channel->partial_write_complete();
    } catch (...) {
        if (!thread_ending()) channel->abandon_write();  // nothing if it was given up already
        throw;
    }
    return true;
}

void MPMCVarQueue::close() {
    pending_reads_.clear();  // their channels are given up with the rest
    partial_channel = nullptr;
    MPMCVarQueueCPP::close();
}

PutStream::PutStream(py::object queue, py::object value)
    : queue_object_(std::move(queue)), queue_(queue_object_.cast<MPMCVarQueue&>()), value_(std::move(value)) {
    MPMCVarQueue::Call call(queue_);
    payload_ = queue_.payload_of(value_);
}

PutStream::~PutStream() { abandon(); }

py::object PutStream::step() {
    if (finished_) return py::bool_(true);
    MPMCVarQueue::Call call(queue_);
    try {
        if (channel_ == nullptr && (channel_ = queue_.open_channel_for_write(Timeout::now())) == nullptr)
            return py::none();
        const uint64_t n =
            channel_->partial_write(payload_.data() + written_, payload_.length - written_, Timeout::now());
        written_ += n;
        if (written_ < payload_.length || !channel_->partial_write_complete(Timeout::now()))
            return n > 0 ? py::object(py::bool_(false)) : py::none();
    } catch (...) {
        abandon();
        throw;
    }
    finished_ = true;
    channel_ = nullptr;
    return py::bool_(true);
}

void PutStream::abandon() {
    // A closed queue gave the channel up itself.
    if (channel_ != nullptr && !queue_.closed()) channel_->abandon_write();  // nothing if given up already
    channel_ = nullptr;
}

py::object MPMCVarQueue::read() { return read_value(QDataType::Bytes, 0); }

py::object MPMCVarQueue::read(QDataType type) { return read_value(type, 0); }

py::object MPMCVarQueue::read(QDataType type, const py::int_& timeout_ms) {
    return read_value(type, timeout_from(timeout_ms));
}

void MPMCVarQueue::write_whole(const Payload& p) {
    Call call(*this);
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
    Call call(*this);
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
    Call call(*this);
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
    py::class_<Q> c(m, "MPMCVarQueue");
    c.def(py::init<const std::string&, long, long, unsigned long>())
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
        .def(
            "unlink",
            [](Q& q) {
                Q::Call call(q);
                q.unlink();
            },
            "call shm_unlink")
        // Additions after the fixed table.
        .def("read", py::overload_cast<QDataType, const py::int_&>(&Q::read), kTimedReadDoc)
        .def(
            "inspect", [](const Q& q) { return report_dict(q); }, kInspectDoc)
        .def(py::init([](const std::string& name, long num_channels, long num_cells, unsigned long cell_size,
                         bool keep_names) {
                 return std::make_unique<Q>(name, num_channels, num_cells, cell_size,
                                            CreateOptions{.keep_names = keep_names});
             }),
             py::arg("name"), py::arg("num_channels"), py::arg("num_cells"), py::arg("cell_size"), py::kw_only(),
             py::arg("keep_names"), kKeepNamesDoc);
    c.def_static(
        "open",
        [](const std::string& name, long num_channels, long num_cells, unsigned long cell_size) {
            return open_queue<Q>(name, [&] {
                return std::make_unique<Q>(name, num_channels, num_cells, cell_size, CreateOptions{.keep_names = true});
            });
        },
        py::arg("name"), py::arg("num_channels"), py::arg("num_cells"), py::arg("cell_size"), kOpenDoc);
    add_queue_api(c);
    c.def("_put_stream", [](py::object q, py::object value) { return std::make_unique<PutStream>(q, value); });
    py::class_<PutStream>(m, "_PutStream").def("step", &PutStream::step).def("abandon", &PutStream::abandon);
}

}  // namespace mox::ipc_queue
