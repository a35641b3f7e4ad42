#include "broker.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>
#include <stdexcept>
#include <thread>

namespace movra::testing {
namespace {

sockaddr_in loopback(int port) {
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<uint16_t>(port));
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return addr;
}

bool accepts(int port) {
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return false;
    sockaddr_in addr = loopback(port);
    bool ok = ::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
    ::close(fd);
    return ok;
}

std::string mosquittoBinary() {
    for (const char* candidate :
         {"/usr/sbin/mosquitto", "/usr/bin/mosquitto", "/usr/local/sbin/mosquitto"})
        if (::access(candidate, X_OK) == 0) return candidate;
    throw std::runtime_error("mosquitto not found: run 'make setup'");
}

}  // namespace

int freePort() {
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) throw std::runtime_error("socket() failed");
    sockaddr_in addr = loopback(0);
    socklen_t len = sizeof addr;
    if (::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len) != 0) {
        ::close(fd);
        throw std::runtime_error("no free port on 127.0.0.1");
    }
    ::close(fd);
    return ntohs(addr.sin_port);
}

Broker::Broker() : Broker(Options{}) {}

Broker::Broker(Options options) : port_(freePort()) {
    char pattern[] = "/tmp/movra-broker-XXXXXX";
    if (::mkdtemp(pattern) == nullptr) throw std::runtime_error("mkdtemp failed");
    dir = pattern;
    configPath = dir + "/mosquitto.conf";
    logPath = dir + "/mosquitto.log";
    std::ifstream templateFile(MOVRA_MOSQUITTO_TEMPLATE);
    if (!templateFile) throw std::runtime_error("cannot read " MOVRA_MOSQUITTO_TEMPLATE);
    std::string text((std::istreambuf_iterator<char>(templateFile)),
                     std::istreambuf_iterator<char>());
    auto fill = [&](const std::string& name, const std::string& value) {
        for (auto at = text.find(name); at != std::string::npos; at = text.find(name, at))
            text.replace(at, name.size(), value);
    };
    fill("@PORT@", std::to_string(port_));
    fill("@ALLOW_ANONYMOUS@", "true");
    fill("@MAX_QUEUED_MESSAGES@", std::to_string(options.maxQueuedMessages));
    fill("@LOG_TYPE@", options.verbose ? "all" : "error");
    std::ofstream config(configPath);
    config << text;
    for (const auto& line : options.extra) config << line << "\n";
    config.close();
    start();
}

Broker::~Broker() {
    end(SIGKILL);
    std::error_code ignored;
    std::filesystem::remove_all(dir, ignored);
}

std::string Broker::address() const { return host() + ":" + std::to_string(port_); }

void Broker::start() {
    if (running()) return;
    std::string binary = mosquittoBinary();
    int log = ::open(logPath.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    if (log < 0) throw std::runtime_error("cannot open " + logPath);
    pid_t child = ::fork();
    if (child < 0) {
        ::close(log);
        throw std::runtime_error("fork failed");
    }
    if (child == 0) {
        // Only async-signal-safe calls from here to exec.
        ::setsid();
        int in = ::open("/dev/null", O_RDONLY);
        if (in >= 0) ::dup2(in, 0);
        ::dup2(log, 1);
        ::dup2(log, 2);
        ::execl(binary.c_str(), binary.c_str(), "-c", configPath.c_str(),
                static_cast<char*>(nullptr));
        ::_exit(127);
    }
    ::close(log);
    pid = child;

    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (std::chrono::steady_clock::now() < deadline) {
        int status = 0;
        if (::waitpid(pid, &status, WNOHANG) == pid) {
            pid = -1;
            throw std::runtime_error("mosquitto exited at start:\n" + this->log());
        }
        if (accepts(port_)) return;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    end(SIGKILL);
    throw std::runtime_error("mosquitto did not listen on " + address() + " within 10 s");
}

void Broker::kill() { end(SIGKILL); }

void Broker::stop() { end(SIGTERM); }

void Broker::restart() {
    stop();
    start();
}

bool Broker::running() {
    if (pid <= 0) return false;
    int status = 0;
    if (::waitpid(pid, &status, WNOHANG) == pid) {
        pid = -1;
        return false;
    }
    return true;
}

void Broker::end(int signal) {
    if (pid <= 0) return;
    ::kill(pid, signal);
    // An orderly stop gets ten seconds, then the process is killed.
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    int status = 0;
    while (::waitpid(pid, &status, WNOHANG) == 0) {
        if (std::chrono::steady_clock::now() >= deadline) {
            ::kill(pid, SIGKILL);
            ::waitpid(pid, &status, 0);
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    pid = -1;
}

std::string Broker::log() const {
    std::ifstream in(logPath, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

}  // namespace movra::testing
