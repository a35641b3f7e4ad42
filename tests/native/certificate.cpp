#include "certificate.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>

namespace movra::testing {

SelfSignedCertificate::SelfSignedCertificate() {
    char pattern[] = "/tmp/movra-native-tls-XXXXXX";
    dir = ::mkdtemp(pattern);
    std::filesystem::permissions(dir, std::filesystem::perms(0755));
    const std::string command =
        "cd " + dir +
        " && openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1"
        " -nodes -keyout key.pem -out cert.pem -days 2 -subj /CN=localhost"
        " -addext subjectAltName=IP:127.0.0.1,DNS:localhost >/dev/null 2>&1"
        " && chmod 644 key.pem cert.pem";
    EXPECT_EQ(std::system(command.c_str()), 0) << command;
}

SelfSignedCertificate::~SelfSignedCertificate() { std::filesystem::remove_all(dir); }

}  // namespace movra::testing
