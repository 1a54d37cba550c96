#include "python_spsc_queue.h"

namespace mox::ipc_queue {

namespace {

const CodecTexts kTexts{
    "SPSCQueue.write(bytes): data length > cell_size",
    "SPSCQueue::write(str):PyUnicode_AsUTF8AndSize failed.",
    "SPSCQueue::write(str): string is larger than cell_size.",
    "SPSCQueue.write(double): sizeof(double) > cell_size",
    "SPSCQueue.write(int64_t): sizeof(int64_t) > cell_size",
    "SPSCQueue.write(numpy_array): Incompatible numpy array: # of dimensions > 1",
    "SPSCQueue.write(numpy_array): Incompatible numpy array: stride not 1",
    "SPSCQueue.write(numpy_array): length of numpy array is larger than cell_size",
    "SPSCQueue.write(numpy_array): length of numpyarray is larger than cell_size",
    "SPSCQueue.read(Int): data length is not 8",
    "SPSCQueue.read(IntArray): data length is not a multiple of 8",
    "SPSCQueue.read(Float): data length is not 8",
    "SPSCQueue.read(FloatArray): data length is not a multiple of 8",
};

using Codec = FixedCellCodec<SPSCQueueCPP>;

}  // namespace

SPSCQueue::~SPSCQueue() = default;

py::object SPSCQueue::read() { return Codec::read(*this); }
py::object SPSCQueue::read(QDataType type) { return Codec::read(*this, type, kTexts, name_); }
void SPSCQueue::write(const py::bytes& value) { Codec::write(*this, value, kTexts, name_); }
void SPSCQueue::write(const py::str& value) { Codec::write(*this, value, kTexts, name_); }
void SPSCQueue::write(py::int_ value) { Codec::write(*this, value, kTexts, name_); }
void SPSCQueue::write(py::float_ value) { Codec::write(*this, value, kTexts, name_); }
void SPSCQueue::write(const py::array_t<double>& value) { Codec::write(*this, value, kTexts, name_); }
void SPSCQueue::write(const py::array_t<int64_t>& value) { Codec::write(*this, value, kTexts, name_); }

void register_spsc_queue(py::module_& m) {
    using Q = SPSCQueue;
    py::class_<Q>(m, "SPSCQueue")
        .def(py::init<const std::string&, long, long, bool>())
        .def(py::init<const std::string&>())
        .def("read", py::overload_cast<>(&Q::read), "read bytes")
        .def("read", py::overload_cast<QDataType>(&Q::read), "read specified type")
        .def("write", py::overload_cast<const py::bytes&>(&Q::write), "write bytes object")
        .def("write", py::overload_cast<const py::str&>(&Q::write), "write string object")
        .def("write", py::overload_cast<py::int_>(&Q::write), "write int value")
        .def("write", py::overload_cast<py::float_>(&Q::write), "write float value")
        .def("write", py::overload_cast<const py::array_t<double>&>(&Q::write), "write np_array of dtype double")
        .def("write", py::overload_cast<const py::array_t<int64_t>&>(&Q::write), "write np_array of dtype int64_t")
        .def("cell_size", &IPCQueueCPP::cell_size);
}

}  // namespace mox::ipc_queue
