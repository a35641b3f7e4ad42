// Captures what the process writes to standard output and standard error, at the file-descriptor
// level: file descriptors 1 and 2 point at in-memory files while a ConsoleCapture lives, so the
// bytes read back are exactly those written, whichever layer (iostream, stdio, write) wrote them.
//
//     ConsoleCapture console;
//     sdk.connect();
//     EXPECT_EQ(console.out(), "[SDK] Connected to tcp://127.0.0.1:1883\n");
//
// Threading contract: construct, read and destroy from one thread. Other threads may write to the
// streams meanwhile; out()/err() flush the C++ and C streams first and return everything written so
// far. Captures do not nest.
//
// Whatever else writes to the two descriptors meanwhile lands in the capture too, a sanitizer's
// report included: to read one, run the test with ASAN_OPTIONS/TSAN_OPTIONS log_path=/tmp/report.
#pragma once

#include <chrono>
#include <string>
#include <string_view>

namespace movra::testing {

class ConsoleCapture {
public:
    ConsoleCapture();
    ~ConsoleCapture();
    ConsoleCapture(const ConsoleCapture&) = delete;
    ConsoleCapture& operator=(const ConsoleCapture&) = delete;

    // Everything written to the stream since the capture began.
    std::string out();
    std::string err();

    // Polls until the stream holds `text`, for at most `timeout`.
    bool waitForOut(std::string_view text, std::chrono::milliseconds timeout);
    bool waitForErr(std::string_view text, std::chrono::milliseconds timeout);

    // Puts the original streams back; out()/err() keep returning what was captured.
    void restore();

private:
    struct Stream {
        int fd = -1;     // 1 or 2
        int saved = -1;  // the original, dup'ed
        int file = -1;   // the in-memory file standing in for it
    };
    static void flushAll();
    static void redirect(Stream& stream, int fd);
    static void putBack(Stream& stream);
    static std::string read(const Stream& stream);

    Stream output;
    Stream error;
};

// How many times `needle` occurs in `haystack`.
std::size_t occurrences(std::string_view haystack, std::string_view needle);

}  // namespace movra::testing
