// The methods every Python queue class adds after its fixed rows: the
// standard library's queue.Queue interface (put/get with block and timeout
// in seconds, queue.Full/queue.Empty, qsize/empty/full), batches, close()
// and the context manager, name and num_cells, pickling by name, and the
// event-loop steps behind put_async/get_async (python_async.cpp).
//
// A class Q provides, each called inside a Q::Call:
//   Payload payload_of(value)            lossless; refuses what cannot go
//   bool put_payload(payload, Timeout)   false when no room came in time
//   py::object get_value(type, Timeout)  None when nothing came in time
//   py::object try_get(type), bool try_put(payload)   never wait
#pragma once

#include <pybind11/pybind11.h>

#include <cerrno>
#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "python_codec.h"
#include "python_report.h"

namespace mox::ipc_queue {

[[noreturn]] void raise_empty();
[[noreturn]] void raise_full(const std::string& text = "");
// ValueError unless `type` is one of QDataType's members.
void check_type(QDataType type);

inline constexpr const char* kKeepNamesDoc =
    "creates the queue; with keep_names=True its names stay until unlink() or mox_ipc_queue.remove(name): no "
    "object's close() or destruction, in any process, removes them, so workers can connect and leave at will";

inline constexpr const char* kOpenDoc =
    "connects to the queue `name`, or creates it with this geometry and keep_names=True when there is none; "
    "whichever process comes first creates, so start-up order does not matter. An existing queue is taken as "
    "it is (the geometry arguments only shape a new one). Waits up to 5 s for a creator that is still making it";

// Q.open(...): connect, else create with `create()`; a creator racing us or
// still at work is waited for (the connect is tried again).
template <class Q, class Create>
std::unique_ptr<Q> open_queue(const std::string& name, Create&& create) {
    const auto give_up = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    for (;;) {
        try {
            return std::make_unique<Q>(name);
        } catch (const QueueNotReady&) {
            if (std::chrono::steady_clock::now() > give_up) throw;
        } catch (const IPCQueueException& e) {
            if (e.error != ENOENT || std::chrono::steady_clock::now() > give_up) throw;
            try {
                return create();
            } catch (const IPCQueueException& c) {
                if (c.error != EEXIST) throw;
            }
        }
        py::gil_scoped_release release;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
}

inline constexpr const char* kGetDoc =
    "get(type=QDataType.Bytes, block=True, timeout=None): the next message as `type`; waits while the queue is "
    "empty (block=False or timeout=0: not at all; timeout: at most that many seconds), then raises queue.Empty";

template <class Q>
void add_queue_api(py::class_<Q>& c) {
    using Call = typename Q::Call;
    const auto type_arg = py::arg("type") = QDataType::Bytes;

    c.def(
         "put",
         [](Q& q, const py::handle& value, bool block, const py::object& timeout) {
             Call call(q);
             const Payload p = q.payload_of(value);
             if (!q.put_payload(p, timeout_from(block, timeout))) raise_full();
         },
         py::arg("value"), py::arg("block") = true, py::arg("timeout") = py::none(),
         "put(value, block=True, timeout=None): one message; waits while the queue is full (block=False or "
         "timeout=0: not at all; timeout: at most that many seconds), then raises queue.Full")
        .def(
            "get",
            [](Q& q, QDataType type, bool block, const py::object& timeout) {
                Call call(q);
                check_type(type);
                py::object value = q.get_value(type, timeout_from(block, timeout));
                if (value.is_none()) raise_empty();
                return value;
            },
            type_arg, py::arg("block") = true, py::arg("timeout") = py::none(), kGetDoc)
        .def(
            "put_nowait",
            [](Q& q, const py::handle& value) {
                Call call(q);
                if (!q.put_payload(q.payload_of(value), Timeout::now())) raise_full();
            },
            py::arg("value"), "put_nowait(value): put(value, block=False)")
        .def(
            "get_nowait",
            [](Q& q, QDataType type) {
                Call call(q);
                check_type(type);
                py::object value = q.get_value(type, Timeout::now());
                if (value.is_none()) raise_empty();
                return value;
            },
            type_arg, "get_nowait(type=QDataType.Bytes): get(type, block=False)")
        .def(
            "qsize",
            [](Q& q) {
                Call call(q);
                return q.counts().waiting;
            },
            "qsize(): messages waiting (MPMCVarQueue: started) now; approximate, other processes change it")
        .def(
            "empty",
            [](Q& q) {
                Call call(q);
                return q.counts().waiting == 0;
            },
            "empty(): qsize() == 0; approximate")
        .def(
            "full",
            [](Q& q) {
                Call call(q);
                return q.counts().free == 0;
            },
            "full(): no room for another message now (MPMCVarQueue: no free channel); approximate")
        .def(
            "get_many",
            [](Q& q, long max_messages, QDataType type, const py::object& timeout) {
                Call call(q);
                check_type(type);
                if (max_messages < 1) throw py::value_error("max_messages must be at least 1");
                py::object first = q.get_value(type, timeout_from(true, timeout));
                if (first.is_none()) raise_empty();
                py::list values;
                values.append(first);
                while (static_cast<long>(values.size()) < max_messages) {
                    py::object value = q.get_value(type, Timeout::now());
                    if (value.is_none()) break;
                    values.append(value);
                }
                return values;
            },
            py::arg("max_messages"), type_arg, py::arg("timeout") = py::none(),
            "get_many(max_messages, type=QDataType.Bytes, timeout=None): a list of 1..max_messages messages: waits "
            "for the first as get() does (raising queue.Empty), then takes only those already there")
        .def(
            "put_many",
            [](Q& q, const py::iterable& values, const py::object& timeout) {
                Call call(q);
                // Every value is checked before the first is put.
                std::vector<py::object> held;
                std::vector<Payload> payloads;
                for (const py::handle value : values) {
                    held.push_back(py::reinterpret_borrow<py::object>(value));
                    payloads.push_back(q.payload_of(value));
                }
                const Deadline deadline(timeout_from(true, timeout));
                for (size_t i = 0; i < payloads.size(); ++i)
                    if (!q.put_payload(payloads[i], deadline.left()))
                        raise_full(std::to_string(i) + " of " + std::to_string(payloads.size()) +
                                   " messages put before the timeout");
            },
            py::arg("values"), py::arg("timeout") = py::none(),
            "put_many(values, timeout=None): puts each value in order, waiting as put() does; every value is checked "
            "first, so one that cannot go raises before any is put. A timeout covers the whole batch; queue.Full "
            "then says how many were put")
        .def("close", &Q::close_when_idle,
             "close(): releases this object's mapping and handles (removing the names unless unlink() ran or the "
             "queue keeps them); later calls raise IPCQueueError \"queue is closed\". A call waiting in another "
             "thread raises it too, within 0.2 s. Repeated calls do nothing")
        .def(
            "__enter__", [](Q& q) -> Q& { return q; }, py::return_value_policy::reference)
        .def(
            "__exit__", [](Q& q, const py::args&) { q.close_when_idle(); }, "close()")
        .def_property_readonly("name", &Q::name, "the queue's name")
        .def_property_readonly("num_cells", &Q::num_cells, "cells of the queue (MPMCVarQueue: of each channel)")
        .def_property_readonly(
            "closed", [](const Q& q) { return !q.open(); }, "whether close() was called")
        .def(py::pickle([](const Q& q) { return py::make_tuple(q.name()); },
                        [](const py::tuple& state) { return std::make_unique<Q>(state[0].cast<std::string>()); }))
        .def("_try_get",
             [](Q& q, QDataType type) {
                 Call call(q);
                 check_type(type);
                 return q.try_get(type);
             })
        .def("_try_put", [](Q& q, const py::handle& value) {
            Call call(q);
            return q.try_put(q.payload_of(value));
        });
}

}  // namespace mox::ipc_queue
