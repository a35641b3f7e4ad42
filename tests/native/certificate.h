// A self-signed certificate for 127.0.0.1 made by openssl in a fresh directory, for brokers that
// serve TLS in the tests: the broker serves it, and as caFile it is its own trust anchor. The
// destructor removes the directory.
//
// Threading contract: construct and destroy on one thread; the paths may be read from any.
#pragma once

#include <string>

namespace movra::testing {

class SelfSignedCertificate {
public:
    SelfSignedCertificate();
    ~SelfSignedCertificate();
    SelfSignedCertificate(const SelfSignedCertificate&) = delete;
    SelfSignedCertificate& operator=(const SelfSignedCertificate&) = delete;

    std::string cert() const { return dir + "/cert.pem"; }
    std::string key() const { return dir + "/key.pem"; }

private:
    std::string dir;
};

}  // namespace movra::testing
