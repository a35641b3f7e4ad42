// movra_keygen: makes a deployment key pair for the Enterprise edition.
//
//   movra_keygen [--keep | --force] <public.jwk> <private.jwk>
//
// Writes a fresh 2048-bit RSA key (public exponent 65537):
// - <public.jwk>: the public half as one line of exactly 425 characters,
//     {"kty":"RSA","kid":"<43>","n":"<342>","e":"AQAB"}
//   the key identifier being the RFC 7638 thumbprint (base64url of the SHA-256 of
//   {"e":"...","kty":"RSA","n":"..."}). The module compiles this file in (MOVRA_SERVER_JWK).
// - <private.jwk>: the whole key as a JWK with the same "kid", mode 0600, for the broker only.
//   Keep it outside the source tree.
//
// An existing file at either path (a symbolic link included) is never replaced without --force.
// --keep leaves an existing pair alone and makes one where either half is missing: the build uses it
// for the per-checkout development pair, which several build trees share; builds running at the same
// moment are serialised by a lock file next to the private key.
//
// Each file is created under an unpredictable name next to its final one with
// O_CREAT|O_EXCL|O_NOFOLLOW and its final mode from the start, written, synced, then renamed into
// place: no reader sees half a file, and a link planted at either name is replaced, never followed.
#include <fcntl.h>
#include <jansson.h>
#include <openssl/evp.h>
#include <openssl/rand.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <iostream>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>

#include "cjose_handles.h"

namespace fs = std::filesystem;
using movra::crypto::CjoseText;
using movra::crypto::JwkPtr;

namespace {

constexpr std::size_t kModulusBits = 2048;
constexpr std::size_t kPublicJwkLength = 425;

struct JsonDeleter {
    void operator()(json_t* json) const noexcept { json_decref(json); }
};
using JsonPtr = std::unique_ptr<json_t, JsonDeleter>;

// Text that jansson allocated, released with jansson's deallocator.
struct JsonTextDeleter {
    void operator()(char* text) const noexcept {
        json_malloc_t allocate = nullptr;
        json_free_t release = nullptr;
        json_get_alloc_funcs(&allocate, &release);
        release(text);
    }
};
using JsonText = std::unique_ptr<char, JsonTextDeleter>;

// Closes the descriptor, which also drops a lock taken on it.
struct FileDescriptor {
    int fd = -1;
    explicit FileDescriptor(int fd_) : fd(fd_) {}
    FileDescriptor(const FileDescriptor&) = delete;
    FileDescriptor& operator=(const FileDescriptor&) = delete;
    ~FileDescriptor() {
        if (fd >= 0) ::close(fd);
    }
};

[[noreturn]] void fail(const std::string& what) { throw std::runtime_error(what); }

std::string base64url(const unsigned char* data, std::size_t size) {
    char* raw = nullptr;
    std::size_t length = 0;
    cjose_err error{};
    if (!cjose_base64url_encode(data, size, &raw, &length, &error))
        fail("base64url encoding failed");
    CjoseText text(raw);
    return std::string(text.get(), length);
}

std::string thumbprint(std::string_view e, std::string_view n) {
    // RFC 7638: the required members of an RSA key, in lexicographic order, no white space.
    std::string canonical =
        std::string(R"({"e":")").append(e).append(R"(","kty":"RSA","n":")").append(n).append("\"}");
    std::array<unsigned char, EVP_MAX_MD_SIZE> digest{};
    unsigned int digestLength = 0;
    if (EVP_Digest(canonical.data(), canonical.size(), digest.data(), &digestLength, EVP_sha256(),
                   nullptr) != 1) {
        fail("SHA-256 failed");
    }
    return base64url(digest.data(), digestLength);
}

std::string member(json_t* object, const char* name) {
    const char* value = json_string_value(json_object_get(object, name));
    if (value == nullptr) fail(std::string("the generated key has no \"") + name + "\" member");
    return value;
}

struct KeyPair {
    std::string publicJwk;
    std::string privateJwk;
};

KeyPair makeKeyPair() {
    static const std::uint8_t exponent[] = {0x01, 0x00, 0x01};
    cjose_err error{};
    JwkPtr key(cjose_jwk_create_RSA_random(kModulusBits, exponent, sizeof exponent, &error));
    if (!key)
        fail(std::string("RSA key generation failed: ") + (error.message ? error.message : "?"));
    CjoseText json(cjose_jwk_to_json(key.get(), true, &error));
    if (!json) fail("JWK serialisation failed");

    json_error_t parseError{};
    JsonPtr object(json_loads(json.get(), 0, &parseError));
    if (!object || !json_is_object(object.get())) fail("the generated JWK is not a JSON object");
    std::string n = member(object.get(), "n");
    std::string e = member(object.get(), "e");
    std::string kid = thumbprint(e, n);

    KeyPair pair;
    pair.publicJwk =
        std::string(R"({"kty":"RSA","kid":")") + kid + R"(","n":")" + n + R"(","e":")" + e + "\"}";
    if (pair.publicJwk.size() != kPublicJwkLength) {
        fail("the public JWK came out " + std::to_string(pair.publicJwk.size()) +
             " characters long instead of 425");
    }
    if (json_object_set_new(object.get(), "kid", json_string(kid.c_str())) != 0) fail("no memory");
    JsonText text(json_dumps(object.get(), JSON_COMPACT));
    if (!text) fail("private JWK serialisation failed");
    pair.privateJwk = text.get();
    return pair;
}

// A name next to path that no other user can guess, so nobody can plant a link there beforehand.
fs::path temporaryName(const fs::path& path) {
    std::array<unsigned char, 16> random{};
    if (RAND_bytes(random.data(), static_cast<int>(random.size())) != 1) fail("no random bytes");
    std::string suffix = ".";
    for (unsigned char byte : random) {
        static const char digits[] = "0123456789abcdef";
        suffix += digits[byte >> 4];
        suffix += digits[byte & 15];
    }
    fs::path temporary = path;
    temporary += suffix + ".tmp";
    return temporary;
}

// Writes the file aside and renames it into place, so that no reader ever sees half of it.
void writeWhole(const fs::path& path, const std::string& content, mode_t mode) {
    fs::path temporary = temporaryName(path);
    FileDescriptor file(
        ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, mode));
    if (file.fd < 0) fail("cannot create " + temporary.string());
    try {
        // The umask may have taken bits away, never added any; set exactly the mode asked for.
        if (::fchmod(file.fd, mode) != 0) fail("cannot set the mode of " + temporary.string());
        std::string line = content + "\n";
        std::string_view rest = line;
        while (!rest.empty()) {
            ssize_t written = ::write(file.fd, rest.data(), rest.size());
            if (written <= 0) fail("cannot write " + temporary.string());
            rest.remove_prefix(static_cast<std::size_t>(written));
        }
        if (::fsync(file.fd) != 0) fail("cannot write " + temporary.string());
        fs::rename(temporary, path);
    } catch (...) {
        std::error_code ignored;
        fs::remove(temporary, ignored);
        throw;
    }
}

// Whether anything, a dangling symbolic link included, is at path.
bool occupied(const fs::path& path) {
    return fs::symlink_status(path).type() != fs::file_type::not_found;
}

int run(int argc, char** argv) {
    bool keep = false;
    bool force = false;
    int first = 1;
    if (argc > 1 && std::string_view(argv[1]) == "--keep") {
        keep = true;
        first = 2;
    } else if (argc > 1 && std::string_view(argv[1]) == "--force") {
        force = true;
        first = 2;
    }
    if (argc - first != 2) {
        std::cerr << "usage: movra_keygen [--keep | --force] <public.jwk> <private.jwk>\n";
        return 2;
    }
    const fs::path publicPath = fs::absolute(argv[first]);
    const fs::path privatePath = fs::absolute(argv[first + 1]);
    fs::create_directories(publicPath.parent_path());
    fs::create_directories(privatePath.parent_path());

    // Only a shared pair (--keep) is locked; the lock file stays, as removing it would let two
    // builds hold "the" lock at once.
    std::optional<FileDescriptor> lock;
    if (keep) {
        fs::path lockPath = privatePath;
        lockPath += ".lock";
        lock.emplace(::open(lockPath.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600));
        if (lock->fd < 0 || ::flock(lock->fd, LOCK_EX) != 0)
            fail("cannot lock " + lockPath.string());
        if (fs::exists(publicPath) && fs::exists(privatePath)) return 0;
    } else if (!force) {
        for (const fs::path& path : {publicPath, privatePath}) {
            if (occupied(path)) {
                std::cerr << "movra_keygen: " << path.string()
                          << " exists; give --force to replace the key pair\n";
                return 1;
            }
        }
    }
    KeyPair pair = makeKeyPair();
    // The private half first: a public key on disk always has its private half next to it.
    writeWhole(privatePath, pair.privateJwk, 0600);
    writeWhole(publicPath, pair.publicJwk, 0644);
    std::cout << "movra_keygen: public key " << publicPath.string() << ", private key "
              << privatePath.string() << "\n";
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    try {
        return run(argc, argv);
    } catch (const std::exception& error) {
        std::cerr << "movra_keygen: " << error.what() << "\n";
        return 1;
    }
}
