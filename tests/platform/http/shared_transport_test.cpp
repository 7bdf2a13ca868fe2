#include "platform/http/shared_transport.hpp"

#include <gtest/gtest.h>

#include <fstream>
#include <thread>
#include <vector>

#include "emulator.hpp"
#include "tls_material.hpp"

namespace dm::http {
namespace {

using namespace std::chrono_literals;

// The login, ARM and controller clients of a run each ask for the transport of their options;
// against one host they must end up on one TLS connection, and only different options may open
// another.
TEST(TransportPool, ClientsWithEqualOptionsShareOneConnection) {
    emu::EmulatorOptions emulatorOptions;
    emulatorOptions.topology = {
        {"service_principals",
         {{{"tenant", "tenant-1"}, {"client_id", "client-1"}, {"client_secret", "secret-1"}}}},
        {"subscriptions", {{{"id", "sub-1"}, {"tenant", "tenant-1"}}}}};
    emu::Emulator emulator(emulatorOptions);
    emulator.start();

    TransportPool pool;
    const CurlTransportOptions options{.caBundle = emulator.caFile()};
    auto login = pool.get(options);
    auto arm = pool.get(CurlTransportOptions{.caBundle = emulator.caFile()});
    EXPECT_EQ(login, arm);

    const Response token = login->send(
        {"POST",
         emulator.loginUrl() + "/tenant-1/oauth2/v2.0/token",
         {{"Content-Type", "application/x-www-form-urlencoded"}},
         "grant_type=client_credentials&client_id=client-1&client_secret=secret-1&scope=" +
             emulator.armUrl() + "/.default"});
    ASSERT_EQ(token.status, 200) << token.body;
    const Request list{
        "GET",
        emulator.armUrl() + "/subscriptions?api-version=2022-12-01",
        {{"Authorization",
          "Bearer " + emu::Json::parse(token.body).at("access_token").get<std::string>()}}};
    for (int i = 0; i < 3; ++i)
        EXPECT_EQ(arm->send(list).status, 200);
    EXPECT_EQ(emulator.counters()["tls_connections"], 1);

    auto slower = pool.get({.caBundle = emulator.caFile(), .connectTimeout = 5s});
    EXPECT_NE(slower, arm);
    EXPECT_EQ(slower->send(list).status, 200);
    EXPECT_EQ(emulator.counters()["tls_connections"], 2);
    emulator.stop();
}

// Threads sending through one transport at once each get a connection of their own, and later
// sends from one thread reuse those instead of opening more.
TEST(CurlTransport, ConcurrentSendsGoOutSideBySide) {
    emu::EmulatorOptions options;
    options.latencyMs = 300;  // holds each request in the server while the others come
    options.topology = {{"service_principals", {{{"tenant", "t"}, {"client_id", "c"}}}}};
    options.topology["service_principals"][0]["client_secret"] = "s";
    emu::Emulator emulator(options);
    emulator.start();
    CurlTransport transport({.caBundle = emulator.caFile()});
    const Request grant{"POST",
                        emulator.loginUrl() + "/t/oauth2/v2.0/token",
                        {{"Content-Type", "application/x-www-form-urlencoded"}},
                        "grant_type=client_credentials&client_id=c&client_secret=s&scope=" +
                            emulator.armUrl() + "/.default"};
    std::vector<std::thread> senders;
    for (int i = 0; i < 8; ++i)
        senders.emplace_back([&] { EXPECT_EQ(transport.send(grant).status, 200); });
    for (auto& sender : senders)
        sender.join();
    EXPECT_GT(emulator.counters()["in_flight_peak"], 1);
    const auto handles = transport.stats().handles;
    EXPECT_GT(handles, 1u);
    for (int i = 0; i < 3; ++i)
        EXPECT_EQ(transport.send(grant).status, 200);
    EXPECT_EQ(emulator.counters()["tls_connections"], handles);
}

// A certificate that does not verify fails at once, not after the retries' waits, and the error
// names the CA file it was checked against.
TEST(TransportPool, UntrustedServerFailsAtOnceNamingTheCaFile) {
    emu::Emulator emulator(emu::EmulatorOptions{});
    emulator.start();
    const std::string otherCa = emulator.stateDir() + "/other-ca.pem";
    std::ofstream(otherCa) << emu::certificatePem(emu::makeTlsMaterial().caCert.get());
    const auto start = std::chrono::steady_clock::now();
    try {
        TransportPool().get({.caBundle = otherCa})->send({"GET", emulator.armUrl() + "/x"});
        FAIL() << "expected a TransportError";
    } catch (const TransportError& error) {
        EXPECT_EQ(error.failure(), TransportFailure::UntrustedPeer);
        EXPECT_NE(std::string(error.what()).find("checked against the CA file " + otherCa),
                  std::string::npos);
    }
    EXPECT_LT(std::chrono::steady_clock::now() - start, 1s);
}

}  // namespace
}  // namespace dm::http
