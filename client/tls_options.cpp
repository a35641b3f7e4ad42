// TLS settings turned into Paho's SSL options; file checks and the reason line of a failed connect.
#include "tls_options.h"

#include <sys/stat.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <fstream>
#include <iterator>
#include <stdexcept>
#include <string>
#include <utility>

#include "client_handle.h"
#include "console.h"
#include "tls_probe.h"

namespace movra {
namespace {

// The reasons kept for one attempt, and the length of each: the library may report a long chain.
constexpr std::size_t kMaxReasons = 4;
constexpr std::size_t kMaxReasonBytes = 300;

// One line of OpenSSL's error printer, "<thread>:error:<code>:<library>:<function>:<reason>:
// <file>:<line>:<data>", reduced to "<reason>" or "<reason> (<data>)". A line of another shape is
// kept whole. Control characters become spaces: the text ends up on the console.
std::string reasonOf(std::string_view line) {
    while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.remove_suffix(1);
    std::array<std::string_view, 9> fields{};
    std::size_t count = 0;
    std::string_view rest = line;
    while (count + 1 < fields.size()) {
        const auto colon = rest.find(':');
        if (colon == std::string_view::npos) break;
        fields[count++] = rest.substr(0, colon);
        rest.remove_prefix(colon + 1);
    }
    fields[count++] = rest;  // the data may itself hold colons
    std::string reason;
    if (count == fields.size() && fields[1] == "error" && !fields[5].empty()) {
        reason = fields[5];
        if (!fields[8].empty()) reason.append(" (").append(fields[8]).append(")");
    } else {
        reason = line;
    }
    if (reason.size() > kMaxReasonBytes) reason.resize(kMaxReasonBytes);
    std::replace_if(
        reason.begin(), reason.end(), [](unsigned char c) { return c < 0x20 || c == 0x7f; }, ' ');
    return reason;
}

// Why the file at `path` cannot be given to the TLS library, or empty when it can: it must be a
// readable regular file of at most kMaxFileBytes that holds a PEM block.
std::string fileProblem(const std::string& path) {
    struct stat status{};
    if (::stat(path.c_str(), &status) != 0) return std::strerror(errno);
    if (!S_ISREG(status.st_mode)) return "not a regular file";
    if (static_cast<std::uintmax_t>(status.st_size) > TlsConnector::kMaxFileBytes)
        return "larger than 4 MiB";
    std::ifstream file(path, std::ios::binary);
    if (!file) return std::strerror(errno != 0 ? errno : EACCES);
    std::string text;
    text.reserve(static_cast<std::size_t>(status.st_size));
    text.assign(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
    if (file.bad()) return "read error";
    if (text.size() > TlsConnector::kMaxFileBytes) return "larger than 4 MiB";
    if (text.find("-----BEGIN ") == std::string::npos) return "no PEM block in it";
    return {};
}

const char* textOrNull(const std::string& text) { return text.empty() ? nullptr : text.c_str(); }

}  // namespace

bool usesTls(std::string_view protocol) {
    return protocol == "ssl" || protocol == "mqtts" || protocol == "wss";
}

void checkTlsOptions(const TlsOptions& options, std::string_view protocol) {
    const bool anyFile =
        !options.caFile.empty() || !options.certFile.empty() || !options.keyFile.empty();
    if (anyFile && !usesTls(protocol)) {
        throw std::invalid_argument(
            "SDK::init — caFile, certFile and keyFile need a TLS protocol "
            "(ssl, mqtts or wss), not '" +
            std::string(protocol) + "'");
    }
    if (options.certFile.empty() && (!options.keyFile.empty() || !options.keyPassword.empty())) {
        throw std::invalid_argument("SDK::init — keyFile and keyPassword need certFile");
    }
}

void TlsConnector::configure(const TlsOptions& options_, std::string_view serverUri_,
                             std::string_view protocol) {
    enabled = usesTls(protocol);
    options = options_;
    serverUri = serverUri_;
    ssl = MQTTClient_SSLOptions_initializer;
    if (!enabled) return;
    ssl.trustStore = textOrNull(options.caFile);
    ssl.keyStore = textOrNull(options.certFile);
    ssl.privateKey = textOrNull(options.keyFile);
    ssl.privateKeyPassword = textOrNull(options.keyPassword);
    // The certificate chain is verified during the handshake (enableServerCertAuth) and the host name
    // or IP address of the URI is checked against the certificate after it (verify). A given CA
    // bundle replaces the system trust store rather than adding to it.
    ssl.enableServerCertAuth = options.verifyPeer ? 1 : 0;
    ssl.verify = options.verifyPeer ? 1 : 0;
    ssl.disableDefaultTrustStore = options.caFile.empty() ? 0 : 1;
    // The version stays the library's default: with OpenSSL 3 it negotiates the highest version
    // both sides have, and at the security level the library sets (1) OpenSSL 3 refuses TLS 1.0 and
    // 1.1, whose handshakes rest on SHA-1 and MD5. The build requires OpenSSL 3.
    ssl.ssl_error_cb = &TlsConnector::onLibraryError;
    ssl.ssl_error_context = this;
}

int TlsConnector::connect(MQTTClient client, MQTTClient_connectOptions& connectOptions) {
    if (!enabled) return connectClient(client, connectOptions);
    if (!filesUsable()) return MQTTCLIENT_FAILURE;
    {
        MutexLock lock(reasonMutex);
        reasons.clear();
    }
    const int rc = connectClient(client, connectOptions);
    if (rc == MQTTCLIENT_SUCCESS) return rc;
    // A refusal by the broker (a CONNACK code, positive) has nothing to do with TLS.
    if (rc < 0) {
        // The address this connect was pointed at (broker_list.h), or the client's own.
        const std::string_view target = connectOptions.serverURIcount > 0
                                            ? std::string_view(connectOptions.serverURIs[0])
                                            : std::string_view(serverUri);
        std::string probed = probeTlsFailure(target, options);
        MutexLock lock(reasonMutex);
        if (!probed.empty() && reasons.size() < kMaxReasons &&
            std::find(reasons.begin(), reasons.end(), probed) == reasons.end()) {
            reasons.push_back(std::move(probed));
        }
    }
    reportReasons();
    return rc;
}

bool TlsConnector::filesUsable() const {
    const std::array<std::pair<const char*, const std::string*>, 3> files{{
        {"caFile", &options.caFile},
        {"certFile", &options.certFile},
        {"keyFile", &options.keyFile},
    }};
    for (const auto& [name, path] : files) {
        if (path->empty()) continue;
        const std::string problem = fileProblem(*path);
        if (problem.empty()) continue;
        console::err(std::string("TLS: ") + name + " '" + *path + "': " + problem);
        return false;
    }
    return true;
}

int TlsConnector::onLibraryError(const char* text, std::size_t length, void* context) {
    auto* self = static_cast<TlsConnector*>(context);
    std::string reason = reasonOf(std::string_view(text, length));
    MutexLock lock(self->reasonMutex);
    // The library tries MQTT 3.1.1, then 3.1: the same failure comes twice.
    if (self->reasons.size() < kMaxReasons &&
        std::find(self->reasons.begin(), self->reasons.end(), reason) == self->reasons.end()) {
        self->reasons.push_back(std::move(reason));
    }
    return 1;
}

void TlsConnector::reportReasons() {
    std::string line;
    {
        MutexLock lock(reasonMutex);
        for (const std::string& reason : reasons) {
            line.append(line.empty() ? "TLS: " : "; ").append(reason);
        }
        reasons.clear();
    }
    if (!line.empty()) console::err(line);
}

}  // namespace movra
