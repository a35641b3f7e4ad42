// The console line of a subscribe, unsubscribe or publish that failed: "<operation> failed on
// '<topic>', rc=<rc>". Shared by the calls themselves and the renewal of subscriptions.
//
// Threading contract: a pure function.
#pragma once

#include <string>
#include <string_view>

namespace movra {

inline std::string callFailure(const char* operation, std::string_view topic, int rc) {
    std::string line(operation);
    line.append(" failed on '").append(topic).append("', rc=").append(std::to_string(rc));
    return line;
}

}  // namespace movra
