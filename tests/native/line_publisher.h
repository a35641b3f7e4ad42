// A publisher in another process: `mosquitto_pub -l` sending each line written to it as one QoS 0
// message. A flood sent this way leaves the test process's heap and the library's shared receive
// thread to the client under test alone.
//
// Threading contract: one thread drives a LinePublisher. The destructor closes the pipe and reaps
// the process.
#pragma once

#include <sys/types.h>

#include <string>

#include "broker.h"

namespace movra::testing {

class LinePublisher {
public:
    LinePublisher(const Broker& broker, const std::string& topic);
    ~LinePublisher();
    LinePublisher(const LinePublisher&) = delete;
    LinePublisher& operator=(const LinePublisher&) = delete;

    // Sends one message; `line` must not contain a newline.
    void send(const std::string& line);
    // Closes the input and waits until every message has been handed to the broker.
    void finish();

private:
    int input = -1;
    pid_t pid = -1;
};

}  // namespace movra::testing
