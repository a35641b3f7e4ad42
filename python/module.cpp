// The movra_sdk extension module: one class, SDK.
//
// Threading contract
// - Every method that can block (init, connect, disconnect, stop, subscribe, unsubscribe, publish)
//   converts its arguments with the interpreter lock held and then releases it for the whole native
//   call; handlers take it back themselves. The setters release it before they wait for the
//   client's handlerMutex. Deallocation releases it while the stop sequence joins threads.
// - The Python callables live in HandlerSlots and are touched only with the interpreter lock held;
//   the type takes part in the garbage collector through them, so a handler that refers to its own
//   SDK does not keep it alive for ever.
// - At interpreter exit an atexit hook stops every live SDK (with the lock released while it
//   joins), so no native thread calls into Python once finalisation has begun.
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>
#include <pybind11/typing.h>

#include <memory>
#include <optional>
#include <string>
#include <unordered_set>

#include "byte_view.h"
#include "gil.h"
#include "python_handlers.h"
#include "sdk.h"

namespace py = pybind11;
using movra::python::ByteView;
using movra::python::ConnectionBridge;
using movra::python::HandlerSlots;
using movra::python::MessageBridge;
using movra::python::withoutGil;

namespace {

using MessageCallable = py::typing::Callable<void(py::str, py::str)>;
using ConnectionCallable = py::typing::Callable<void(py::bool_, py::int_)>;

class PySDK;
// Live objects, for the exit hook. Touched only with the interpreter lock held.
std::unordered_set<PySDK*>& liveObjects() {
    static auto* objects = new std::unordered_set<PySDK*>;
    return *objects;
}

class PySDK {
public:
    PySDK() : slots(std::make_shared<HandlerSlots>()), native(std::make_unique<movra::SDK>()) {
        native->setErrorSink(&movra::python::reportUnraisable);
        native->setDeliveryScope(&movra::python::deliverWithGil);
        liveObjects().insert(this);
    }

    ~PySDK() {
        liveObjects().erase(this);
        {
            py::gil_scoped_release release;
            // Runs the stop sequence; a connection handler that raises there is reported through
            // sys.unraisablehook by the error sink.
            native.reset();
        }
        slots->message = py::object();
        slots->connection = py::object();
    }

    PySDK(const PySDK&) = delete;
    PySDK& operator=(const PySDK&) = delete;

    movra::SDK& sdk() { return *native; }

    void setMessage(std::optional<MessageCallable> handler) {
        movra::MessageHandler bridge;
        if (handler) {
            slots->message = std::move(*handler);
            bridge = MessageBridge{slots};
        } else {
            slots->message = py::object();
        }
        withoutGil([&] { native->on_message(std::move(bridge)); });
    }

    void setConnection(std::optional<ConnectionCallable> handler) {
        movra::ConnectionHandler bridge;
        if (handler) {
            slots->connection = std::move(*handler);
            bridge = ConnectionBridge{slots};
        } else {
            slots->connection = py::object();
        }
        withoutGil([&] { native->on_connection(std::move(bridge)); });
    }

    void stopAtExit() {
        // An object that was never initialised (or is stopped) has no thread to end.
        if (!native->is_initialised()) return;
        withoutGil([&] { native->stop(); });
    }

    int traverse(visitproc visit, void* arg) {
        Py_VISIT(slots->message.ptr());
        Py_VISIT(slots->connection.ptr());
        return 0;
    }

    void clear() {
        slots->message = py::object();
        slots->connection = py::object();
    }

private:
    std::shared_ptr<HandlerSlots> slots;
    std::unique_ptr<movra::SDK> native;
};

void stopAllAtExit() {
    // Copy: a stop may run a handler that creates or drops objects.
    std::vector<PySDK*> objects(liveObjects().begin(), liveObjects().end());
    for (PySDK* object : objects) {
        if (liveObjects().count(object) == 0) continue;
        // Hold a reference while the lock is released: the last one may be dropped meanwhile by
        // another thread, and the object must outlive its own stop.
        py::object keep = py::cast(object, py::return_value_policy::reference);
        try {
            object->stopAtExit();
        } catch (py::error_already_set& e) {
            e.discard_as_unraisable("movra_sdk.SDK.stop at exit");
        }
    }
    movra::python::markExiting();
}

void setupGc(PyHeapTypeObject* heapType) {
    PyTypeObject* type = &heapType->ht_type;
    type->tp_flags |= Py_TPFLAGS_HAVE_GC;
    type->tp_traverse = [](PyObject* self, visitproc visit, void* arg) -> int {
        Py_VISIT(Py_TYPE(self));
        if (!py::detail::is_holder_constructed(self)) return 0;
        return py::cast<PySDK&>(py::handle(self)).traverse(visit, arg);
    };
    type->tp_clear = [](PyObject* self) -> int {
        if (py::detail::is_holder_constructed(self)) py::cast<PySDK&>(py::handle(self)).clear();
        return 0;
    };
}

}  // namespace

PYBIND11_MODULE(movra_sdk, m, py::multiple_interpreters::not_supported()) {
    py::class_<PySDK>(m, "SDK", py::custom_type_setup(setupGc))
        .def(py::init<>())
        .def(
            "init",
            [](PySDK& self, const std::string& clientId, const std::string& brokerHost,
               const std::string& protocol, const std::string& username,
               const std::string& password, bool cleanSession, bool resumeSubs,
               bool connectRetry, bool autoReconnect, int connectRetryInterval,
               int maxReconnectInterval, int keepAlive, int pingTimeout, int writeTimeout,
               bool orderMatters, int connectTimeout, const std::string& edition) {
                withoutGil([&] {
                    self.sdk().init(clientId, brokerHost, protocol, username, password,
                                    cleanSession, resumeSubs, connectRetry, autoReconnect,
                                    connectRetryInterval, maxReconnectInterval, keepAlive,
                                    pingTimeout, writeTimeout, orderMatters, connectTimeout,
                                    edition);
                });
            },
            py::arg("clientId"), py::arg("brokerHost"), py::arg("protocol"), py::arg("username"),
            py::arg("password"), py::arg("cleanSession") = false, py::arg("resumeSubs") = true,
            py::arg("connectRetry") = true, py::arg("autoReconnect") = true,
            py::arg("connectRetryInterval") = 5, py::arg("maxReconnectInterval") = 1,
            py::arg("keepAlive") = 30, py::arg("pingTimeout") = 10, py::arg("writeTimeout") = 10,
            py::arg("orderMatters") = false, py::arg("connectTimeout") = 30,
            py::arg("edition") = "Community")
        .def("connect", [](PySDK& self) { return withoutGil([&] { return self.sdk().connect(); }); })
        .def("disconnect", [](PySDK& self) { withoutGil([&] { self.sdk().disconnect(); }); })
        .def(
            "publish",
            // The library reads topic and payload where Python keeps them (see byte_view.h).
            [](PySDK& self, const ByteView& topic, const ByteView& payload, int qos,
               bool retained) {
                withoutGil([&] { self.sdk().publish(topic.bytes(), payload.bytes(), qos, retained); });
            },
            py::arg("topic"), py::arg("payload"), py::arg("qos") = 0, py::arg("retained") = false)
        .def(
            "subscribe",
            [](PySDK& self, const std::string& topic, int qos) {
                return withoutGil([&] { return self.sdk().subscribe(topic, qos); });
            },
            py::arg("topic"), py::arg("qos") = 0)
        .def(
            "unsubscribe",
            [](PySDK& self, const std::string& topic) {
                withoutGil([&] { self.sdk().unsubscribe(topic); });
            },
            py::arg(), py::pos_only())
        .def("on_message", &PySDK::setMessage, py::arg(), py::pos_only())
        .def("on_connection", &PySDK::setConnection, py::arg(), py::pos_only())
        .def("stop", [](PySDK& self) { withoutGil([&] { self.sdk().stop(); }); })
        .def("is_connected", [](PySDK& self) { return self.sdk().is_connected(); });

    py::module_::import("atexit").attr("register")(py::cpp_function(&stopAllAtExit));
}
