#include "python_mpmc_queue.h"

namespace mox::ipc_queue {

// Both array rows share one capacity text here.
const CodecTexts kMPMCQueueTexts{
    .bytes_too_long = "MPMCQueue::write(bytes): length > cell_size",
    .str_not_utf8 = "MPMCQueue::write(str):PyUnicode_AsUTF8AndSize failed.",
    .str_too_long = "MPMCQueue::write(str): string is larger than cell_size.",
    .float_too_big = "MPMCQueue.write(double): sizeof(double) > cell_size",
    .int_too_big = "MPMCQueue.write(int64_t): sizeof(int64_t) > cell_size",
    .array_dims = "MPMCQueue.write(numpy_array): Incompatible numpy array: # of dimensions > 1",
    .array_stride = "MPMCQueue.write(numpy_array): Incompatible numpy array: stride not 1",
    .float_array_too_long = "MPMCQueue.write(numpy_array): length of numpy array is larger than cell_size",
    .int_array_too_long = "MPMCQueue.write(numpy_array): length of numpy array is larger than cell_size",
    .read_int = "MPMCQueue.read(Int): data length is not 8",
    .read_int_array = "MPMCQueue.read(IntArray): data length is not a multiple of 8",
    .read_float = "MPMCQueue.read(Float): data length is not 8",
    .read_float_array = "MPMCQueue.read(FloatArray): data length is not a multiple of 8",
};

MPMCQueue::~MPMCQueue() = default;

void register_mpmc_queue(py::module_& m) {
    using Q = MPMCQueue;
    py::class_<Q> c(m, "MPMCQueue");
    c.def(py::init<const std::string&, long, long>())
        .def(py::init<const std::string&>())
        .def("read", py::overload_cast<>(&Q::read), "read byte")
        .def("read", py::overload_cast<QDataType>(&Q::read), "read specified type")
        .def("write", py::overload_cast<const py::bytes&>(&Q::write), "write bytes object")
        .def("write", py::overload_cast<const py::str&>(&Q::write), "write string object")
        .def("write", py::overload_cast<py::int_>(&Q::write), "write int value")
        .def("write", py::overload_cast<py::float_>(&Q::write), "write float value")
        .def("write", py::overload_cast<const py::array_t<double>&>(&Q::write), "write numpy array of dtype double")
        .def("write", py::overload_cast<const py::array_t<int64_t>&>(&Q::write), "write numpy array of dtype int64_t")
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
        .def(py::init([](const std::string& name, long num_cells, long cell_size, bool keep_names) {
                 return std::make_unique<Q>(name, num_cells, cell_size, CreateOptions{.keep_names = keep_names});
             }),
             py::arg("name"), py::arg("num_cells"), py::arg("cell_size"), py::kw_only(), py::arg("keep_names"),
             kKeepNamesDoc);
    c.def_static(
        "open",
        [](const std::string& name, long num_cells, long cell_size) {
            return open_queue<Q>(name, [&] {
                return std::make_unique<Q>(name, num_cells, cell_size, CreateOptions{.keep_names = true});
            });
        },
        py::arg("name"), py::arg("num_cells"), py::arg("cell_size"), kOpenDoc);
    add_queue_api(c);
}

}  // namespace mox::ipc_queue
