// The movra_sdk extension module: one class, SDK.
//
// Threading contract
// - Every method that can block (init, connect, disconnect, stop, subscribe, unsubscribe, publish)
//   converts its arguments with the interpreter lock held and then releases it for the whole native
//   call (GilRelease); handlers take it back themselves. publish(wait=False) keeps it: it only
//   queues (publish_futures.h). The setters release it before they wait
//   for the client's handler lock. Deallocation releases it while the stop sequence joins threads.
// - The Python callables live in a PythonCallables record and are touched only with the
//   interpreter lock held; the type takes part in the garbage collector through them
//   (gc_support.h), so a handler that refers to its own SDK does not keep it alive for ever.
// - At interpreter exit an atexit hook stops every live SDK (with the lock released while it
//   joins), so no native thread calls into Python once finalisation has begun.
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>
#include <pybind11/stl/filesystem.h>

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "byte_view.h"
#include "gc_support.h"
#include "gil_release.h"
#include "publish_futures.h"
#include "py_sdk.h"
#include "will_argument.h"

namespace py = pybind11;
using movra::python::ByteView;
using movra::python::PySDK;
using movra::python::WillArgument;

namespace {

using OptionalPath = std::optional<std::filesystem::path>;

// The path a keyword-only TLS argument names; None leaves the setting out.
std::string pathOrEmpty(const OptionalPath& path) { return path ? path->string() : std::string(); }

}  // namespace

PYBIND11_MODULE(movra_sdk, m, py::multiple_interpreters::not_supported()) {
    using Release = py::call_guard<movra::python::GilRelease>;
    // The defaults of init's optional arguments are those of the core's record.
    const movra::InitOptions kDefaults;

    py::class_<PySDK>(m, "SDK", py::custom_type_setup(&movra::python::setupGc))
        .def(py::init<>())
        .def(
            "init",
            [](PySDK& self, std::string clientId, std::string brokerHost, std::string protocol,
               std::string username, std::string password, bool cleanSession, bool resumeSubs,
               bool connectRetry, bool autoReconnect, int connectRetryInterval,
               int maxReconnectInterval, int keepAlive, int pingTimeout, int writeTimeout,
               bool orderMatters, int connectTimeout, std::string edition,
               const OptionalPath& caFile, const OptionalPath& certFile,
               const OptionalPath& keyFile, const std::optional<std::string>& keyPassword,
               bool verifyPeer, const WillArgument& will, std::vector<std::string> failoverHosts,
               bool reconnectJitter, int maxInflight, std::int64_t maxQueued,
               std::int64_t maxQueuedBytes) {
                self.sdk().init({.clientId = std::move(clientId),
                                 .brokerHost = std::move(brokerHost),
                                 .protocol = std::move(protocol),
                                 .username = std::move(username),
                                 .password = std::move(password),
                                 .cleanSession = cleanSession,
                                 .resumeSubs = resumeSubs,
                                 .connectRetry = connectRetry,
                                 .autoReconnect = autoReconnect,
                                 .connectRetryInterval = connectRetryInterval,
                                 .maxReconnectInterval = maxReconnectInterval,
                                 .keepAlive = keepAlive,
                                 .pingTimeout = pingTimeout,
                                 .writeTimeout = writeTimeout,
                                 .orderMatters = orderMatters,
                                 .connectTimeout = connectTimeout,
                                 .edition = std::move(edition),
                                 .tls = {.caFile = pathOrEmpty(caFile),
                                         .certFile = pathOrEmpty(certFile),
                                         .keyFile = pathOrEmpty(keyFile),
                                         .keyPassword = keyPassword.value_or(std::string()),
                                         .verifyPeer = verifyPeer},
                                 .will = will.options,
                                 .failoverHosts = std::move(failoverHosts),
                                 .reconnectJitter = reconnectJitter,
                                 .maxInflight = maxInflight,
                                 .maxQueued = maxQueued,
                                 .maxQueuedBytes = maxQueuedBytes});
            },
            py::arg("clientId"), py::arg("brokerHost"), py::arg("protocol"), py::arg("username"),
            py::arg("password"), py::arg("cleanSession") = kDefaults.cleanSession,
            py::arg("resumeSubs") = kDefaults.resumeSubs,
            py::arg("connectRetry") = kDefaults.connectRetry,
            py::arg("autoReconnect") = kDefaults.autoReconnect,
            py::arg("connectRetryInterval") = kDefaults.connectRetryInterval,
            py::arg("maxReconnectInterval") = kDefaults.maxReconnectInterval,
            py::arg("keepAlive") = kDefaults.keepAlive,
            py::arg("pingTimeout") = kDefaults.pingTimeout,
            py::arg("writeTimeout") = kDefaults.writeTimeout,
            py::arg("orderMatters") = kDefaults.orderMatters,
            py::arg("connectTimeout") = kDefaults.connectTimeout,
            py::arg("edition") = kDefaults.edition, py::kw_only(), py::arg("caFile") = py::none(),
            py::arg("certFile") = py::none(), py::arg("keyFile") = py::none(),
            py::arg("keyPassword") = py::none(),
            // True or False only: None, 0 or "" would turn every check of the broker off unnoticed.
            py::arg("verifyPeer").noconvert() = kDefaults.tls.verifyPeer,
            py::arg("will") = py::none(), py::arg("failoverHosts") = py::tuple(),
            py::arg("reconnectJitter").noconvert() = kDefaults.reconnectJitter,
            py::arg("maxInflight") = kDefaults.maxInflight,
            py::arg("maxQueued") = kDefaults.maxQueued,
            py::arg("maxQueuedBytes") = kDefaults.maxQueuedBytes, Release())
        .def(
            "connect", [](PySDK& self) { return self.sdk().connect(); }, Release())
        .def(
            "disconnect", [](PySDK& self) { self.sdk().disconnect(); }, Release())
        .def(
            "publish",
            // Waiting, the call releases the interpreter lock and the pipeline reads topic and
            // payload where Python keeps them (see byte_view.h). Not waiting, it keeps the lock and
            // returns the message's concurrent.futures.Future.
            [](PySDK& self, const ByteView& topic, const ByteView& payload, int qos, bool retained,
               bool wait) -> py::object {
                if (!wait)
                    return movra::python::publishWithoutWaiting(self.sdk(), topic, payload, qos,
                                                                retained);
                {
                    movra::python::GilRelease release;
                    self.sdk().publish(topic.bytes(), payload.bytes(), qos, retained);
                }
                return py::none();
            },
            py::arg("topic"), py::arg("payload"), py::arg("qos") = 0, py::arg("retained") = false,
            py::kw_only(), py::arg("wait") = true)
        .def(
            "subscribe",
            [](PySDK& self, const std::string& topic, int qos) {
                return self.sdk().subscribe(topic, qos);
            },
            py::arg("topic"), py::arg("qos") = 0, Release())
        .def(
            "unsubscribe",
            [](PySDK& self, const std::string& topic) { self.sdk().unsubscribe(topic); }, py::arg(),
            py::pos_only(), Release())
        .def("on_message", &PySDK::setMessage, py::arg(), py::pos_only(), py::kw_only(),
             // True or False only, as for verifyPeer.
             py::arg("binary").noconvert() = false)
        .def("on_connection", &PySDK::setConnection, py::arg(), py::pos_only())
        .def(
            "stop", [](PySDK& self) { self.sdk().stop(); }, Release())
        .def("is_connected", [](PySDK& self) { return self.sdk().is_connected(); });

    py::module_::import("atexit").attr("register")(py::cpp_function(&movra::python::stopAllAtExit));
}
