// Which tiers of the transport layer the build linked (cmake/Dependencies.cmake), against the Paho
// release the tests actually run on: on a release the layer supports, a tier that the release has
// but the build left off fails here, instead of quietly giving the stock library's speed. Built
// whenever the layer is asked for (MOVRA_TRANSPORT), whether configure turned it on or not.
#include <MQTTClient.h>
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <sstream>
#include <string>
#include <vector>

namespace {

struct Version {
    int major = 0, minor = 0, patch = 0;
    bool operator<(const Version& o) const {
        if (major != o.major) return major < o.major;
        if (minor != o.minor) return minor < o.minor;
        return patch < o.patch;
    }
};

Version runningVersion() {
    Version v;
    for (MQTTClient_nameValue* info = MQTTClient_getVersionInfo(); info->name; ++info)
        if (std::strcmp(info->name, "Version") == 0)
            std::sscanf(info->value, "%d.%d.%d", &v.major, &v.minor, &v.patch);
    return v;
}

// The tiers the layer supports on a release: all four from 1.3.11 to 1.3.15; on 1.3.16 neither the
// handover (its receive pass was reworked) nor the semaphores (they became events).
std::vector<std::string> expectedTiers(const Version& v) {
    if (v < Version{1, 3, 11} || Version{1, 3, 16} < v) return {};
    if (v < Version{1, 3, 16}) return {"socket", "scheduling", "handover", "semaphore"};
    return {"socket", "scheduling"};
}

std::vector<std::string> linkedTiers() {
    std::vector<std::string> tiers;
    std::stringstream list(MOVRA_TRANSPORT_TIERS_ON);
    for (std::string tier; std::getline(list, tier, ',');)
        if (!tier.empty()) tiers.push_back(tier);
    return tiers;
}

TEST(TransportTiers, EveryTierTheRunningReleaseHasIsOn) {
    const Version v = runningVersion();
    ASSERT_GT(v.major, 0) << "the library reported no version";
    EXPECT_EQ(linkedTiers(), expectedTiers(v))
        << "Paho " << v.major << '.' << v.minor << '.' << v.patch
        << ": see the 'movra transport layer:' line of configure";
}

}  // namespace
