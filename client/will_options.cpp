// The last will: its checks, and Paho's will record built from it.
#include "will_options.h"

#include <cstddef>
#include <stdexcept>

namespace movra {
namespace {

// The length fields of a CONNECT packet's will topic and will payload are 16 bits.
constexpr std::size_t kMaxFieldBytes = 65535;

}  // namespace

void checkWillOptions(const WillOptions& options) {
    if (!options.enabled) return;
    auto refuse = [](const char* reason) {
        throw std::invalid_argument(std::string("SDK::init — will: ") + reason);
    };
    if (options.qos < 0 || options.qos > 2) refuse("qos must be 0, 1 or 2");
    if (options.topic.empty()) refuse("the topic is empty");
    if (options.topic.find_first_of("+#") != std::string::npos)
        refuse("the topic holds a wildcard (+ or #)");
    if (options.topic.find('\0') != std::string::npos) refuse("the topic holds a zero byte");
    if (options.topic.size() > kMaxFieldBytes) refuse("the topic is longer than 65535 bytes");
    if (options.payload.size() > kMaxFieldBytes) refuse("the payload is longer than 65535 bytes");
}

void WillRecord::configure(const WillOptions& options_) {
    options = options_;
    library = MQTTClient_willOptions_initializer;
    if (!options.enabled) return;
    library.topicName = options.topic.c_str();
    // The text form (message) is sent up to its first zero byte; the binary form by its length. An
    // empty payload is left out: the library then sends a will of no bytes without allocating.
    library.message = nullptr;
    library.payload.len = static_cast<int>(options.payload.size());
    library.payload.data = options.payload.empty() ? nullptr : options.payload.data();
    library.qos = options.qos;
    library.retained = options.retained ? 1 : 0;
}

}  // namespace movra
