// The movra_sdk extension module: one class, SDK.
//
// Threading contract
// - Every method that can block (init, connect, disconnect, stop, subscribe, unsubscribe, publish)
//   converts its arguments with the interpreter lock held and then releases it for the whole native
//   call (GilRelease); handlers take it back themselves. The setters release it before they wait
//   for the client's handler lock. Deallocation releases it while the stop sequence joins threads.
// - The Python callables live in HandlerSlots and are touched only with the interpreter lock held;
//   the type takes part in the garbage collector through them (gc_support.h), so a handler that
//   refers to its own SDK does not keep it alive for ever.
// - At interpreter exit an atexit hook stops every live SDK (with the lock released while it
//   joins), so no native thread calls into Python once finalisation has begun.
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>
#include <pybind11/stl/filesystem.h>

#include <filesystem>
#include <optional>
#include <string>

#include "byte_view.h"
#include "gc_support.h"
#include "gil_release.h"
#include "py_sdk.h"

namespace py = pybind11;
using movra::python::ByteView;
using movra::python::PySDK;

namespace {

using OptionalPath = std::optional<std::filesystem::path>;

// The keyword-only TLS arguments of init; None leaves a setting out.
movra::TlsOptions tlsOptions(const OptionalPath& caFile, const OptionalPath& certFile,
                             const OptionalPath& keyFile,
                             const std::optional<std::string>& keyPassword, bool verifyPeer) {
    movra::TlsOptions tls;
    tls.caFile = caFile ? caFile->string() : std::string();
    tls.certFile = certFile ? certFile->string() : std::string();
    tls.keyFile = keyFile ? keyFile->string() : std::string();
    tls.keyPassword = keyPassword.value_or(std::string());
    tls.verifyPeer = verifyPeer;
    return tls;
}

}  // namespace

PYBIND11_MODULE(movra_sdk, m, py::multiple_interpreters::not_supported()) {
    using Release = py::call_guard<movra::python::GilRelease>;

    py::class_<PySDK>(m, "SDK", py::custom_type_setup(&movra::python::setupGc))
        .def(py::init<>())
        .def(
            "init",
            [](PySDK& self, const std::string& clientId, const std::string& brokerHost,
               const std::string& protocol, const std::string& username,
               const std::string& password, bool cleanSession, bool resumeSubs, bool connectRetry,
               bool autoReconnect, int connectRetryInterval, int maxReconnectInterval,
               int keepAlive, int pingTimeout, int writeTimeout, bool orderMatters,
               int connectTimeout, const std::string& edition, const OptionalPath& caFile,
               const OptionalPath& certFile, const OptionalPath& keyFile,
               const std::optional<std::string>& keyPassword, bool verifyPeer) {
                self.sdk().init(clientId, brokerHost, protocol, username, password, cleanSession,
                                resumeSubs, connectRetry, autoReconnect, connectRetryInterval,
                                maxReconnectInterval, keepAlive, pingTimeout, writeTimeout,
                                orderMatters, connectTimeout, edition,
                                tlsOptions(caFile, certFile, keyFile, keyPassword, verifyPeer));
            },
            py::arg("clientId"), py::arg("brokerHost"), py::arg("protocol"), py::arg("username"),
            py::arg("password"), py::arg("cleanSession") = false, py::arg("resumeSubs") = true,
            py::arg("connectRetry") = true, py::arg("autoReconnect") = true,
            py::arg("connectRetryInterval") = 5, py::arg("maxReconnectInterval") = 1,
            py::arg("keepAlive") = 30, py::arg("pingTimeout") = 10, py::arg("writeTimeout") = 10,
            py::arg("orderMatters") = false, py::arg("connectTimeout") = 30,
            py::arg("edition") = "Community", py::kw_only(), py::arg("caFile") = py::none(),
            py::arg("certFile") = py::none(), py::arg("keyFile") = py::none(),
            py::arg("keyPassword") = py::none(), py::arg("verifyPeer") = true, Release())
        .def(
            "connect", [](PySDK& self) { return self.sdk().connect(); }, Release())
        .def(
            "disconnect", [](PySDK& self) { self.sdk().disconnect(); }, Release())
        .def(
            "publish",
            // The library reads topic and payload where Python keeps them (see byte_view.h).
            [](PySDK& self, const ByteView& topic, const ByteView& payload, int qos,
               bool retained) {
                self.sdk().publish(topic.bytes(), payload.bytes(), qos, retained);
            },
            py::arg("topic"), py::arg("payload"), py::arg("qos") = 0, py::arg("retained") = false,
            Release())
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
        .def("on_message", &PySDK::setMessage, py::arg(), py::pos_only())
        .def("on_connection", &PySDK::setConnection, py::arg(), py::pos_only())
        .def(
            "stop", [](PySDK& self) { self.sdk().stop(); }, Release())
        .def("is_connected", [](PySDK& self) { return self.sdk().is_connected(); });

    py::module_::import("atexit").attr("register")(py::cpp_function(&movra::python::stopAllAtExit));
}
