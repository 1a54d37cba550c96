#include "python_spsc_queue.h"

namespace mox::ipc_queue {

const CodecTexts kSPSCQueueTexts{
    .bytes_too_long = "SPSCQueue.write(bytes): data length > cell_size",
    .str_not_utf8 = "SPSCQueue::write(str):PyUnicode_AsUTF8AndSize failed.",
    .str_too_long = "SPSCQueue::write(str): string is larger than cell_size.",
    .float_too_big = "SPSCQueue.write(double): sizeof(double) > cell_size",
    .int_too_big = "SPSCQueue.write(int64_t): sizeof(int64_t) > cell_size",
    .array_dims = "SPSCQueue.write(numpy_array): Incompatible numpy array: # of dimensions > 1",
    .array_stride = "SPSCQueue.write(numpy_array): Incompatible numpy array: stride not 1",
    .float_array_too_long = "SPSCQueue.write(numpy_array): length of numpy array is larger than cell_size",
    .int_array_too_long = "SPSCQueue.write(numpy_array): length of numpyarray is larger than cell_size",
    .read_int = "SPSCQueue.read(Int): data length is not 8",
    .read_int_array = "SPSCQueue.read(IntArray): data length is not a multiple of 8",
    .read_float = "SPSCQueue.read(Float): data length is not 8",
    .read_float_array = "SPSCQueue.read(FloatArray): data length is not a multiple of 8",
};

SPSCQueue::~SPSCQueue() = default;

void register_spsc_queue(py::module_& m) {
    using Q = SPSCQueue;
    py::class_<Q> c(m, "SPSCQueue");
    c.def(py::init<const std::string&, long, long, bool>())
        .def(py::init<const std::string&>())
        .def("read", py::overload_cast<>(&Q::read), "read bytes")
        .def("read", py::overload_cast<QDataType>(&Q::read), "read specified type")
        .def("write", py::overload_cast<const py::bytes&>(&Q::write), "write bytes object")
        .def("write", py::overload_cast<const py::str&>(&Q::write), "write string object")
        .def("write", py::overload_cast<py::int_>(&Q::write), "write int value")
        .def("write", py::overload_cast<py::float_>(&Q::write), "write float value")
        .def("write", py::overload_cast<const py::array_t<double>&>(&Q::write), "write np_array of dtype double")
        .def("write", py::overload_cast<const py::array_t<int64_t>&>(&Q::write), "write np_array of dtype int64_t")
        .def("cell_size", &IPCQueueCPP::cell_size)
        // Additions after the fixed table.
        .def("read", py::overload_cast<QDataType, const py::int_&>(&Q::read), kTimedReadDoc)
        .def("inspect", [](const Q& q) { return report_dict(q); }, kInspectDoc);
    add_queue_api(c);
}

}  // namespace mox::ipc_queue
