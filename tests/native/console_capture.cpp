#include "console_capture.h"

#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <iostream>
#include <stdexcept>
#include <thread>

namespace movra::testing {

ConsoleCapture::ConsoleCapture() {
    flushAll();
    redirect(output, 1);
    redirect(error, 2);
}

ConsoleCapture::~ConsoleCapture() {
    restore();
    if (output.file >= 0) ::close(output.file);
    if (error.file >= 0) ::close(error.file);
}

void ConsoleCapture::flushAll() {
    std::cout.flush();
    std::cerr.flush();
    std::fflush(nullptr);
}

void ConsoleCapture::redirect(Stream& stream, int fd) {
    stream.fd = fd;
    stream.file = ::memfd_create(fd == 1 ? "captured-stdout" : "captured-stderr", MFD_CLOEXEC);
    stream.saved = ::dup(fd);
    if (stream.file < 0 || stream.saved < 0 || ::dup2(stream.file, fd) < 0)
        throw std::runtime_error("cannot redirect file descriptor " + std::to_string(fd));
}

void ConsoleCapture::restore() {
    if (output.saved < 0 && error.saved < 0) return;
    flushAll();
    putBack(output);
    putBack(error);
}

void ConsoleCapture::putBack(Stream& stream) {
    if (stream.saved < 0) return;
    ::dup2(stream.saved, stream.fd);
    ::close(stream.saved);
    stream.saved = -1;
}

std::string ConsoleCapture::read(const Stream& stream) {
    flushAll();
    struct stat info{};
    if (::fstat(stream.file, &info) != 0) return {};
    std::string text(static_cast<std::size_t>(info.st_size), '\0');
    std::size_t done = 0;
    while (done < text.size()) {
        ssize_t n =
            ::pread(stream.file, text.data() + done, text.size() - done, static_cast<off_t>(done));
        if (n <= 0) break;
        done += static_cast<std::size_t>(n);
    }
    text.resize(done);
    return text;
}

std::string ConsoleCapture::out() { return read(output); }

std::string ConsoleCapture::err() { return read(error); }

namespace {

template <typename Read>
bool poll(Read read, std::string_view text, std::chrono::milliseconds timeout) {
    auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        if (read().find(text) != std::string::npos) return true;
        if (std::chrono::steady_clock::now() >= deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
}

}  // namespace

bool ConsoleCapture::waitForOut(std::string_view text, std::chrono::milliseconds timeout) {
    return poll([this] { return out(); }, text, timeout);
}

bool ConsoleCapture::waitForErr(std::string_view text, std::chrono::milliseconds timeout) {
    return poll([this] { return err(); }, text, timeout);
}

std::size_t occurrences(std::string_view haystack, std::string_view needle) {
    std::size_t count = 0;
    for (std::size_t at = haystack.find(needle); at != std::string_view::npos;
         at = haystack.find(needle, at + needle.size()))
        ++count;
    return count;
}

}  // namespace movra::testing
