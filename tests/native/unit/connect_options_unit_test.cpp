// Broker-less unit tests of the connect options record (connect_options.h): the library's struct
// points at the record's own texts and records through every re-assignment, and the Enterprise
// password wrap fails closed, keeping the last token.
#include <cjose/cjose.h>
#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <string>

#include "connect_options.h"

namespace movra {
namespace {

// cjose's allocations fail while `failing` is set, as they would when memory runs out.
std::atomic<bool> failing{false};
void* allocate(std::size_t size) { return failing ? nullptr : std::malloc(size); }
void* reallocate(void* pointer, std::size_t size) {
    return failing ? nullptr : std::realloc(pointer, size);
}

TEST(ConnectOptionsUnit, TheStructPointsAtTheRecordsOwnCopiesThroughReassignment) {
    ConnectOptions record;
    {
        // Long enough to live on the heap: a struct left pointing at them would read freed text.
        InitOptions first{.clientId = "first-client",
                          .brokerHost = "127.0.0.1:1883",
                          .protocol = "ssl",
                          .username = std::string(200, 'u'),
                          .password = std::string(200, 'p')};
        first.tls.caFile = std::string(200, 'c');
        first.will = {.enabled = true, .topic = "will/" + std::string(200, 't'), .payload = "bye"};
        first.failoverHosts = {"127.0.0.2:1883"};
        record.assign(first);
        EXPECT_STREQ(record.view().username, first.username.c_str());
        EXPECT_NE(record.view().username, first.username.c_str()) << "not a copy of its own";
        ASSERT_NE(record.view().ssl, nullptr);
        EXPECT_STREQ(record.view().ssl->trustStore, first.tls.caFile.c_str());
        ASSERT_NE(record.view().will, nullptr);
        EXPECT_STREQ(record.view().will->topicName, first.will.topic.c_str());
        EXPECT_EQ(record.view().connectTimeout, BrokerList::kFailoverAttemptSeconds);
    }
    InitOptions second{.clientId = "second",
                       .brokerHost = "localhost:1884",
                       .protocol = "tcp",
                       .username = "bob",
                       .password = "secret"};
    record.assign(second);
    second.username.assign("changed by the caller");
    EXPECT_STREQ(record.view().username, "bob");
    EXPECT_STREQ(record.view().password, "secret");
    EXPECT_EQ(record.view().ssl, nullptr);
    EXPECT_EQ(record.view().will, nullptr);
    EXPECT_EQ(record.view().serverURIs, nullptr);
    EXPECT_EQ(record.view().connectTimeout, second.connectTimeout);
    EXPECT_EQ(record.serverUri(), "tcp://localhost:1884");
    EXPECT_EQ(record.renewCredentials(), 0) << "Community sends the password as given";
    EXPECT_STREQ(record.view().password, "secret");
}

TEST(ConnectOptionsUnit, AFailedWrapKeepsTheLastTokenAndWithoutOneRefuses) {
    cjose_set_alloc_funcs(allocate, reallocate, std::free);
    const InitOptions enterprise{.brokerHost = "127.0.0.1:1883",
                                 .protocol = "tcp",
                                 .password = "plain-secret",
                                 .edition = "Enterprise"};
    ConnectOptions record;
    record.assign(enterprise);
    ASSERT_EQ(record.renewCredentials(), 0);
    const std::string token = record.view().password;
    EXPECT_NE(token, "plain-secret");
    ASSERT_EQ(record.renewCredentials(), 0);
    EXPECT_NE(record.view().password, token) << "each explicit connect makes a fresh token";
    const std::string last = record.view().password;

    failing = true;
    EXPECT_EQ(record.renewCredentials(), 0);
    EXPECT_EQ(record.view().password, last);
    // A new init drops the token: nothing may be sent until a wrap succeeds again.
    record.assign(enterprise);
    EXPECT_EQ(record.renewCredentials(), ConnectOptions::kPasswordNotWrapped);
    failing = false;
    EXPECT_EQ(record.renewCredentials(), 0);
    EXPECT_STRNE(record.view().password, "plain-secret");
}

}  // namespace
}  // namespace movra
