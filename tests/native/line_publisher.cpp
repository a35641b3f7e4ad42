#include "line_publisher.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <stdexcept>

namespace movra::testing {

LinePublisher::LinePublisher(const Broker& broker, const std::string& topic) {
    const std::string binary = "/usr/bin/mosquitto_pub";
    const std::string port = std::to_string(broker.port());
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0) throw std::runtime_error("pipe failed");
    pid_t child = ::fork();
    if (child < 0) throw std::runtime_error("fork failed");
    if (child == 0) {
        ::dup2(fds[0], 0);
        ::execl(binary.c_str(), binary.c_str(), "-h", "127.0.0.1", "-p", port.c_str(), "-t",
                topic.c_str(), "-q", "0", "-l", static_cast<char*>(nullptr));
        ::_exit(127);
    }
    ::close(fds[0]);
    input = fds[1];
    pid = child;
}

LinePublisher::~LinePublisher() {
    if (pid > 0) {
        if (input >= 0) ::close(input);
        ::kill(pid, SIGKILL);
        ::waitpid(pid, nullptr, 0);
    }
}

void LinePublisher::send(const std::string& line) {
    std::string data = line + "\n";
    std::size_t done = 0;
    while (done < data.size()) {
        ssize_t n = ::write(input, data.data() + done, data.size() - done);
        if (n <= 0) throw std::runtime_error("mosquitto_pub went away");
        done += static_cast<std::size_t>(n);
    }
}

void LinePublisher::finish() {
    ::close(input);
    input = -1;
    int status = 0;
    ::waitpid(pid, &status, 0);
    pid = -1;
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0)
        throw std::runtime_error("mosquitto_pub failed with status " + std::to_string(status));
}

}  // namespace movra::testing
