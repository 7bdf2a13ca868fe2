#pragma once
// A running in-process emulator with a small two-subscription cloud, and an HTTPS client that
// verifies the emulator's certificate against its CA file.

#include <gtest/gtest.h>
#include <httplib.h>

#include <string>

#include "emulator.hpp"

namespace dm::emu::testing {

inline const std::string kSub = "11111111-1111-1111-1111-111111111111";
inline const std::string kSub2 = "22222222-2222-2222-2222-222222222222";
inline const std::string kRg = "/subscriptions/" + kSub + "/resourceGroups/rg1";
inline const std::string kNet = kRg + "/providers/Microsoft.Network";
inline const std::string kNetVersion = "?api-version=2024-05-01";

struct Resp {
    int status = 0;  // 0: no response at all
    Json body;
    httplib::Headers headers;
    std::string text;

    std::string header(const std::string& name) const;
};

class Client {
  public:
    explicit Client(const Emulator& emu);

    Resp get(const std::string& path);
    Resp put(const std::string& path, const Json& body);
    Resp del(const std::string& path);
    Resp post(const std::string& path, const std::string& body, const std::string& type);
    // Asks the token endpoint and keeps the token for later requests; returns the reply.
    Resp login(const std::string& tenant = "tenant-1", const std::string& clientId = "app-1",
               const std::string& secret = "s3cret");
    // Polls the Azure-AsyncOperation URL of `started` until a terminal status; returns the last
    // status body and counts the polls.
    Json waitFor(const Resp& started, int* polls = nullptr);

    std::string token;

  private:
    Resp wrap(const httplib::Result& r);
    httplib::Headers headers() const;
    httplib::SSLClient cli_;
    std::string base_;
};

// spoke-a (peered with hub both ways, subnet app on rt-app, a VPN gateway), hub (ExpressRoute
// gateway), spoke-b (connected to virtual hub vhub), route tables rt-app and rt-new, a second
// subscription holding spoke-c; principal app-1 sees all, app-2 only the first subscription.
Json baseTopology();

class EmulatorTest : public ::testing::Test {
  protected:
    void SetUp() override;
    void TearDown() override;
    virtual EmulatorOptions options();

    std::unique_ptr<Emulator> emu;
    std::unique_ptr<Client> client;  // logged in as app-1
};

}  // namespace dm::emu::testing
