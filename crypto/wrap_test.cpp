// Tests of the password wrap: the token's form, a fresh token per call, and every failing step
// writing its own line and releasing what it held (allocation failures injected through cjose's
// allocator hooks, which also feed jansson and OpenSSL; the leak checker of the address-sanitizer
// build checks the releases in each child process).
#include <cjose/cjose.h>
#include <dlfcn.h>
#include <execinfo.h>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <cstdlib>
#include <cstring>
#include <initializer_list>
#include <iostream>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "cjose_handles.h"
#include "password_wrap.h"
#include "server_key.h"

namespace movra::crypto {
namespace {

// Passes every allocation to malloc until the armed one, which fails. Single-threaded use only.
struct FailingAllocator {
    static inline long countdown = -1;  // allocations left before the failing one; -1: never fail
    static inline bool failed = false;

    static void* allocate(std::size_t size) {
        if (countdown == 0) {
            countdown = -1;
            failed = true;
            return nullptr;
        }
        if (countdown > 0) --countdown;
        return std::malloc(size);
    }
    static void* reallocate(void* pointer, std::size_t size) {
        if (countdown == 0) {
            countdown = -1;
            failed = true;
            return nullptr;
        }
        if (countdown > 0) --countdown;
        return std::realloc(pointer, size);
    }
    static void arm(long allocationsBeforeFailure) {
        failed = false;
        countdown = allocationsBeforeFailure;
    }
    static void disarm() { countdown = -1; }
};

// Collects what is written to std::cerr while it lives.
class CapturedErrors {
public:
    CapturedErrors() : previous(std::cerr.rdbuf(buffer.rdbuf())) {}
    ~CapturedErrors() { std::cerr.rdbuf(previous); }
    CapturedErrors(const CapturedErrors&) = delete;
    CapturedErrors& operator=(const CapturedErrors&) = delete;
    std::string text() const { return buffer.str(); }

private:
    std::ostringstream buffer;
    std::streambuf* previous;
};

std::vector<std::string> split(const std::string& token) {
    std::vector<std::string> parts(1);
    for (char c : token) {
        if (c == '.') {
            parts.emplace_back();
        } else {
            parts.back().push_back(c);
        }
    }
    return parts;
}

std::string decodeSegment(const std::string& segment) {
    std::uint8_t* raw = nullptr;
    std::size_t length = 0;
    cjose_err error{};
    if (!cjose_base64url_decode(segment.data(), segment.size(), &raw, &length, &error)) return {};
    std::string text(reinterpret_cast<const char*>(raw), length);
    cjose_get_dealloc()(raw);
    return text;
}

TEST(ServerKey, IsOneJwkLineOf425Characters) {
    EXPECT_EQ(serverPublicKeyLength, 425u);
    std::string key(serverPublicKey, serverPublicKeyLength);
    EXPECT_EQ(key.rfind(R"({"kty":"RSA","kid":")", 0), 0u);
    EXPECT_EQ(key.find('\n'), std::string::npos);
    cjose_err error{};
    JwkPtr imported(cjose_jwk_import(serverPublicKey, serverPublicKeyLength, &error));
    ASSERT_TRUE(imported);
    EXPECT_EQ(cjose_jwk_get_keysize(imported.get(), &error), 2048u);
}

TEST(WrapPassword, MakesAFreshFiveSegmentTokenWithTheTwoHeaderMembers) {
    CapturedErrors errors;
    std::set<std::string> tokens;
    for (const std::string password : {"s3cret", "", "pässwörd"}) {
        std::optional<std::string> token = wrapPassword(password);
        ASSERT_TRUE(token) << "password of " << password.size() << " bytes";
        std::vector<std::string> parts = split(*token);
        ASSERT_EQ(parts.size(), 5u);
        EXPECT_FALSE(parts[1].empty());  // the wrapped content key
        EXPECT_EQ(decodeSegment(parts[0]), R"({"alg": "RSA-OAEP", "enc": "A256GCM"})");
        EXPECT_EQ(decodeSegment(parts[3]).size(), password.size());  // A256GCM keeps the length
        tokens.insert(*token);
        tokens.insert(*wrapPassword(password));
    }
    EXPECT_EQ(tokens.size(), 6u);
    EXPECT_EQ(errors.text(), "");
}

// What one wrap did with its n-th allocation failing, run in a child process. cjose 0.6 itself
// crashes when some allocations inside cjose_jwe_encrypt fail (a null dereference, a double free),
// and OpenSSL keeps a few bytes on some failure paths; neither is this code's to fix, so a crash is
// told apart by where it happened, and the leak checker runs on whole wraps in the parent only.
struct InjectedRun {
    char crash = 0;          // 'L': died inside cjose/OpenSSL/jansson, 'O': died anywhere else
    bool reached = false;    // the n-th allocation happened
    bool token = false;      // wrapPassword returned a token
    bool wellFormed = true;  // the token has five segments
    std::string errors;      // what the wrap wrote to std::cerr
};

int reportChannel = -1;

bool inLibrary(const char* object, std::initializer_list<const char*> names) {
    if (object == nullptr) return false;
    for (const char* name : names) {
        if (std::strstr(object, name) != nullptr) return true;
    }
    return false;
}

// Finds the innermost frame below the signal machinery and the sanitizer runtime and reports whose
// code it is.
void onCrash(int) {
    void* frames[64];
    int count = ::backtrace(frames, 64);
    char verdict = 'O';
    bool pastTrampoline = false;  // the frames above the signal trampoline are this handler's
    for (int i = 0; i < count; ++i) {
        Dl_info info{};
        if (::dladdr(frames[i], &info) == 0) continue;
        bool runtime = inLibrary(info.dli_fname, {"libc.so", "libasan", "libubsan", "libtsan",
                                                  "libgcc_s", "ld-linux", "vdso"});
        if (!pastTrampoline) {
            pastTrampoline = inLibrary(info.dli_fname, {"libc.so"});
            continue;
        }
        if (runtime) continue;
        verdict = inLibrary(info.dli_fname, {"libcjose", "libcrypto", "libjansson"}) ? 'L' : 'O';
        break;
    }
    char message[] = {'!', verdict};
    [[maybe_unused]] ssize_t written = ::write(reportChannel, message, sizeof message);
    ::_exit(4);
}

InjectedRun wrapWithFailingAllocation(long n) {
    int channel[2];
    if (::pipe(channel) != 0) return {.crash = 'O', .errors = "no pipe"};
    pid_t child = ::fork();
    if (child == 0) {
        ::close(channel[0]);
        reportChannel = channel[1];
        void* warm[1];
        ::backtrace(warm, 1);  // loads the unwinder now, not inside a signal handler
        for (int signal : {SIGSEGV, SIGABRT, SIGBUS}) std::signal(signal, onCrash);
        std::string report;
        {
            CapturedErrors errors;
            FailingAllocator::arm(n);
            std::optional<std::string> token = wrapPassword("s3cret");
            FailingAllocator::disarm();
            report = std::string(FailingAllocator::failed ? "R" : "-") + (token ? "T" : "-") +
                     (token && split(*token).size() != 5 ? "!" : "-") + errors.text();
        }
        [[maybe_unused]] ssize_t written = ::write(channel[1], report.data(), report.size());
        ::_exit(0);
    }
    ::close(channel[1]);
    std::string report;
    char buffer[512];
    for (ssize_t got; (got = ::read(channel[0], buffer, sizeof buffer)) > 0;)
        report.append(buffer, got);
    ::close(channel[0]);
    int status = 0;
    ::waitpid(child, &status, 0);
    InjectedRun run;
    if (report.size() >= 2 && report[0] == '!') {
        run.crash = report[1];
    } else if (!WIFEXITED(status) || WEXITSTATUS(status) != 0 || report.size() < 3) {
        run.crash = 'O';
        run.errors = "status " + std::to_string(status) + ", report \"" + report + "\"";
    } else {
        run.reached = report[0] == 'R';
        run.token = report[1] == 'T';
        run.wellFormed = report[2] != '!';
        run.errors = report.substr(3);
    }
    return run;
}

TEST(WrapPassword, EveryFailingStepWritesItsLineAndReturnsNothing) {
    const std::set<std::string> lines = {
        "[SDK] JWK import failed\n", "[SDK] JWE header creation failed\n",
        "[SDK] JWE encryption failed\n", "[SDK] JWE export failed\n"};
    std::set<std::string> seen;
    int libraryCrashes = 0;
    bool completed = false;
    // OpenSSL sets itself up on first use with a few thousand allocations; the children inherit
    // that state, so the failures land in the wrap's own steps.
    ASSERT_TRUE(wrapPassword("warm-up"));
    for (long n = 0; n < 5000 && !completed; ++n) {
        InjectedRun run = wrapWithFailingAllocation(n);
        ASSERT_NE(run.crash, 'O') << "allocation " << n << ": a crash outside the libraries ("
                                  << run.errors << ")";
        if (run.crash == 'L') {
            ++libraryCrashes;
        } else if (!run.reached) {
            // Every allocation of a whole wrap went through: it must have succeeded.
            EXPECT_TRUE(run.token);
            EXPECT_EQ(run.errors, "");
            completed = true;
        } else if (run.token) {
            EXPECT_TRUE(run.wellFormed) << "allocation " << n;  // the library recovered
            EXPECT_EQ(run.errors, "") << "allocation " << n;
        } else {
            EXPECT_EQ(lines.count(run.errors), 1u) << "allocation " << n << ": " << run.errors;
            seen.insert(run.errors);
        }
    }
    EXPECT_TRUE(completed);
    EXPECT_EQ(seen, lines);
    std::cout << "allocation failures that crashed inside cjose: " << libraryCrashes << "\n";
}

}  // namespace
}  // namespace movra::crypto

#if defined(__SANITIZE_ADDRESS__)
// A memory error found by the sanitizer in a child must end it with a signal, as it would without
// the sanitizer, so that the crash is told apart by where it happened.
extern "C" const char* __asan_default_options() { return "abort_on_error=1"; }
#endif

int main(int argc, char** argv) {
    // Before anything allocates, so that OpenSSL takes the hooks as well. Releases stay with free,
    // so that a crash in a release is found in the library that released, not in this file.
    cjose_set_alloc_funcs(&movra::crypto::FailingAllocator::allocate,
                          &movra::crypto::FailingAllocator::reallocate, nullptr);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
