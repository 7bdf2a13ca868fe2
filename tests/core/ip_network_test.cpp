#include "core/ip_network.hpp"

#include <gtest/gtest.h>

#include "core/error.hpp"

using dm::IpNetwork;

namespace {
bool inside(const char* ip, std::initializer_list<const char*> prefixes) {
    auto net = IpNetwork::parse(ip);
    for (auto p : prefixes)
        if (IpNetwork::parse(p).contains(net))
            return true;
    return false;
}
}  // namespace

TEST(IpNetwork, ContainmentFollowsFirstAndLastAddress) {
    EXPECT_TRUE(inside("10.1.2.0/24", {"10.0.0.0/8"}));
    EXPECT_TRUE(inside("10.1.0.0/16", {"10.1.0.0/16"}));  // equal networks count
    EXPECT_FALSE(inside("172.16.0.0/12", {"10.0.0.0/8", "192.168.0.0/16"}));
    EXPECT_FALSE(inside("10.0.0.0/8", {"10.1.0.0/16"}));  // larger is not inside smaller
    EXPECT_FALSE(inside("10.1.0.0/16", {}));
    EXPECT_TRUE(inside("10.255.255.255", {"10.0.0.0/8"}));  // bare address is a host network
    EXPECT_TRUE(inside("11.0.0.0/8", {"10.0.0.0/7"}));      // 10.0.0.0/7 spans 10 and 11
    EXPECT_TRUE(inside("0.0.0.0/0", {"0.0.0.0/0"}));
}

TEST(IpNetwork, MixedFamiliesAreNeverContained) {
    EXPECT_FALSE(inside("fd00::/64", {"0.0.0.0/0"}));
    EXPECT_FALSE(inside("10.0.0.0/8", {"::/0"}));
    EXPECT_TRUE(inside("fd00:1:2::/48", {"fd00::/8"}));
    EXPECT_FALSE(inside("fe80::/10", {"fd00::/8"}));
}

TEST(IpNetwork, ParsingIsStrict) {
    auto msg = [](const char* text) {
        try {
            IpNetwork::parse(text);
        } catch (const dm::Error& e) {
            return std::string(e.what());
        }
        return std::string("parsed");
    };
    EXPECT_EQ(msg("10.1.0.1/16"), "10.1.0.1/16 has host bits set");
    EXPECT_EQ(msg("fd00::1/64"), "fd00::1/64 has host bits set");
    for (auto bad :
         {"10.1.0.0/33", "10.1.0/16", "10.01.0.0/16", "256.0.0.0/8", "10.0.0.0/", "10.0.0.0/-1", "",
          "abc", "1:2:3:4:5:6:7:8:9/64", "1::2::3/64", "10.0.0.0/8 ", "fd00::/129", "12345::/16"}) {
        EXPECT_EQ(msg(bad),
                  std::string("'") + bad + "' does not appear to be an IPv4 or IPv6 network")
            << bad;
    }
}

TEST(IpNetwork, CanonicalText) {
    EXPECT_EQ(IpNetwork::parse("10.0.0.0/8").toString(), "10.0.0.0/8");
    EXPECT_EQ(IpNetwork::parse("192.168.1.7").toString(), "192.168.1.7/32");
    EXPECT_EQ(IpNetwork::parse("FD00:0:0:0:0:0:0:0/8").toString(), "fd00::/8");
    EXPECT_EQ(IpNetwork::parse("2001:db8:0:1:0:0:0:0/64").toString(), "2001:db8:0:1::/64");
    EXPECT_EQ(IpNetwork::parse("::ffff:10.0.0.1").toString(), "::ffff:a00:1/128");
    EXPECT_EQ(IpNetwork::parse("::/0").toString(), "::/0");
}
