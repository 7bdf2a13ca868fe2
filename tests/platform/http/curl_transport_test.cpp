#include "platform/http/curl_transport.hpp"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <httplib.h>
#include <netinet/tcp.h>
#include <unistd.h>

#include <atomic>
#include <mutex>
#include <regex>
#include <set>
#include <thread>

#include "log_capture.hpp"
#include "support/log_capture.hpp"

namespace dm::http {
namespace {

using namespace std::chrono_literals;

// An in-process server on a free loopback port, stopped when the test ends.
class LocalServer : public httplib::Server {
  public:
    LocalServer() {
        set_keep_alive_max_count(100);
        set_keep_alive_timeout(1);
        // Accepted sockets inherit TCP_NODELAY; without it each reply waits for a delayed ACK.
        set_socket_options([](int sock) {
            int on = 1;
            ::setsockopt(sock, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
            ::setsockopt(sock, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
        });
    }
    ~LocalServer() override {
        stop();
        if (thread_.joinable())
            thread_.join();
    }
    void start() {
        port_ = bind_to_any_port("127.0.0.1");
        thread_ = std::thread([this] { listen_after_bind(); });
        while (!is_running())
            std::this_thread::sleep_for(1ms);
    }
    std::string url(const std::string& path) const {
        return "http://127.0.0.1:" + std::to_string(port_) + path;
    }

  private:
    std::thread thread_;
    int port_ = 0;
};

// A loopback URL whose port was free a moment ago, so connecting to it is refused.
std::string refusedUrl(const std::string& path) {
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{AF_INET, 0, {htonl(INADDR_LOOPBACK)}, {}};
    socklen_t len = sizeof addr;
    ::bind(fd, reinterpret_cast<sockaddr*>(&addr), len);
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len);
    ::close(fd);
    return "http://127.0.0.1:" + std::to_string(ntohs(addr.sin_port)) + path;
}

TEST(CurlTransport, RoundTripsStatusHeadersAndBody) {
    LocalServer server;
    std::mutex mutex;
    std::vector<std::string> posts;
    server.Put(R"(/things/(\w+))", [](const httplib::Request& req, httplib::Response& res) {
        res.status = 201;
        res.set_header("X-Mixed-Case", "rid-1");
        res.set_content(req.body + "|" + req.matches[1].str() + "|" +
                            req.get_param_value("api-version") + "|" +
                            req.get_header_value("Content-Type"),
                        "application/json");
    });
    server.Delete("/things/a",
                  [](const httplib::Request&, httplib::Response& res) { res.status = 204; });
    server.Post("/action", [&](const httplib::Request& req, httplib::Response& res) {
        std::lock_guard lock(mutex);
        posts.push_back(req.get_header_value("Content-Length") + "," +
                        (req.has_header("Expect") ? "expect" : "no-expect") + "," +
                        req.get_header_value("Content-Type"));
        res.set_content("done", "text/plain");
    });
    server.start();
    CurlTransport transport;

    const Response put = transport.send({"PUT",
                                         server.url("/things/a?api-version=2024-05-01"),
                                         {{"Content-Type", "application/json"}},
                                         R"({"a":1})"});
    EXPECT_EQ(put.status, 201);
    EXPECT_EQ(put.body, R"({"a":1}|a|2024-05-01|application/json)");
    EXPECT_EQ(put.header("x-mixed-case"), "rid-1");
    EXPECT_EQ(std::count(put.headers.begin(), put.headers.end(),
                         std::pair<std::string, std::string>("X-Mixed-Case", "rid-1")),
              1);
    const Response deleted = transport.send({"DELETE", server.url("/things/a")});
    EXPECT_EQ(deleted.status, 204);
    EXPECT_EQ(deleted.body, "");

    // An empty POST still says Content-Length: 0; a large body goes without waiting for
    // "100 Continue"; no content type is made up.
    EXPECT_EQ(transport.send({"POST", server.url("/action")}).body, "done");
    EXPECT_EQ(transport.send({"POST", server.url("/action"), {}, std::string(100000, 'x')}).body,
              "done");
    EXPECT_EQ(posts, (std::vector<std::string>{"0,no-expect,", "100000,no-expect,"}));
}

// The handle keeps its options from one request to the next: no method, body or HEAD may leak
// into the request after it.
TEST(CurlTransport, EachRequestStartsFromItsOwnMethodAndBody) {
    LocalServer server;
    std::mutex mutex;
    std::vector<std::string> seen;
    auto record = [&](const httplib::Request& req, httplib::Response& res) {
        std::lock_guard lock(mutex);
        seen.push_back(
            req.method + " [" + req.body + "] " +
            (req.has_header("Content-Length") ? req.get_header_value("Content-Length") : "-"));
        res.set_content("ok", "text/plain");
    };
    server.Get("/m", record);
    server.Post("/m", record);
    server.Put("/m", record);
    server.Patch("/m", record);
    server.Delete("/m", record);
    server.start();
    CurlTransport transport;
    const std::string url = server.url("/m");

    EXPECT_EQ(transport.send({"POST", url, {}, "a=1"}).body, "ok");
    EXPECT_EQ(transport.send({"GET", url}).body, "ok");
    const Response head = transport.send({"HEAD", url});
    EXPECT_EQ(head.status, 200);
    EXPECT_EQ(head.body, "");
    EXPECT_EQ(transport.send({"GET", url}).body, "ok");
    EXPECT_EQ(transport.send({"PATCH", url, {}, "{}"}).body, "ok");
    EXPECT_EQ(transport.send({"DELETE", url}).body, "ok");
    EXPECT_EQ(transport.send({"PUT", url}).body, "ok");
    EXPECT_EQ(transport.send({"GET", url}).body, "ok");
    EXPECT_EQ(seen,
              (std::vector<std::string>{"POST [a=1] 3", "GET [] -", "HEAD [] -", "GET [] -",
                                        "PATCH [{}] 2", "DELETE [] -", "PUT [] 0", "GET [] -"}));
    EXPECT_EQ(transport.stats().connectionsOpened, 1u);
}

TEST(CurlTransport, ReusesOneConnection) {
    LocalServer server;
    std::mutex mutex;
    std::set<int> clientPorts;
    server.Get("/n", [&](const httplib::Request& req, httplib::Response& res) {
        std::lock_guard lock(mutex);
        clientPorts.insert(req.remote_port);
        res.set_content("n", "text/plain");
    });
    server.start();
    CurlTransport transport;
    for (int i = 0; i < 6; ++i)
        EXPECT_EQ(transport.send({"GET", server.url("/n")}).status, 200);
    EXPECT_EQ(transport.stats().requests, 6u);
    EXPECT_EQ(transport.stats().connectionsOpened, 1u);
    EXPECT_EQ(clientPorts.size(), 1u);
}

TEST(CurlTransport, NoResponseThrowsTransportError) {
    const std::string refused = refusedUrl("/x");
    CurlTransport transport({.caBundle = {}, .connectTimeout = 1s, .totalTimeout = 200ms});
    try {
        transport.send({"GET", refused + "?sig=SIGVALUE"});
        FAIL() << "expected a TransportError";
    } catch (const TransportError& error) {
        EXPECT_EQ(std::string(error.what()).rfind("GET " + refused + " failed: ", 0), 0u)
            << error.what();
        EXPECT_FALSE(error.requestSent());
    }

    LocalServer server;
    std::atomic<bool> release{false};
    server.Get("/slow", [&](const httplib::Request&, httplib::Response& res) {
        for (int i = 0; i < 300 && !release; ++i)
            std::this_thread::sleep_for(10ms);
        res.set_content("late", "text/plain");
    });
    server.Get("/fast", [](const httplib::Request&, httplib::Response& res) {
        res.set_content("fast", "text/plain");
    });
    server.start();
    const auto start = std::chrono::steady_clock::now();
    try {
        transport.send({"GET", server.url("/slow")});
        FAIL() << "expected a TransportError";
    } catch (const TransportError& error) {
        EXPECT_TRUE(error.requestSent());
    }
    EXPECT_LT(std::chrono::steady_clock::now() - start, 2s);
    release = true;
    // The handle stays usable after a failed transfer.
    EXPECT_EQ(transport.send({"GET", server.url("/fast")}).body, "fast");
}

TEST(CurlTransport, LogsRequestsWithoutSecrets) {
    LocalServer server;
    server.Post("/token", [](const httplib::Request&, httplib::Response& res) {
        res.set_header("Set-Cookie", "session=COOKIEVALUE");
        res.set_content(R"({"access_token":"TOKENBODY"})", "application/json");
    });
    server.start();
    testing::LogCapture log(spdlog::level::trace);
    CurlTransport transport;
    transport.send({"POST",
                    server.url("/token?sv=1&sig=SIGVALUE"),
                    {{"Authorization", "Bearer TOKENVALUE"},
                     {"Content-Type", "application/x-www-form-urlencoded"}},
                    "grant_type=client_credentials&client_secret=SECRETVALUE&CID=CIDVALUE"});
    const std::string text = log.text();
    EXPECT_NE(text.find("debug: POST " + server.url("/token?<redacted>") + " -> 200 ("),
              std::string::npos)
        << text;
    EXPECT_NE(text.find("trace:   > Authorization: <redacted>"), std::string::npos) << text;
    for (const char* secret :
         {"TOKENVALUE", "SECRETVALUE", "CIDVALUE", "SIGVALUE", "COOKIEVALUE", "TOKENBODY"}) {
        EXPECT_EQ(text.find(secret), std::string::npos) << secret;
    }
}

const SigV4Keys kTemporaryKeys{"aws:amz:us-east-1:s3", "AKIDTEMP", "SECRETTEMP", "TOKENTEMP"};
const SigV4Keys kLongTermKeys{"aws:amz:eu-west-1:sts", "AKIDLONG", "SECRETLONG"};

// The handle outlives each request: the keys must sign the request sent with them and no other,
// not even after a signed request that failed.
TEST(CurlTransport, SignsOnlyTheRequestsSentSigned) {
    LocalServer server;
    std::mutex mutex;
    std::vector<std::string> seen;
    auto record = [&](const httplib::Request& req, httplib::Response& res) {
        auto header = [&req](const char* name) {
            return req.has_header(name) ? req.get_header_value(name) : "-";
        };
        std::lock_guard lock(mutex);
        seen.push_back(req.method + " [" + req.body + "] " + header("Authorization") + " | " +
                       header("X-Amz-Security-Token") + " | " +
                       (req.has_header("X-Amz-Date") ? "dated" : "-"));
        res.set_content("ok", "text/plain");
    };
    server.Get("/bucket/key", record);
    server.Put("/bucket/key", record);
    server.start();
    CurlTransport transport({.caBundle = {}, .connectTimeout = 1s, .totalTimeout = 2s});
    const std::string url = server.url("/bucket/key");
    const std::string withUser = std::regex_replace(url, std::regex("^http://"), "http://user:pw@");

    EXPECT_EQ(transport.sendSigned({"GET", url + "?list-type=2"}, kTemporaryKeys).body, "ok");
    EXPECT_EQ(transport.send({"GET", url}).body, "ok");
    EXPECT_EQ(transport.sendSigned({"PUT", url, {}, "data"}, kLongTermKeys).body, "ok");
    // User info in the URL is sent as Basic auth, as by a handle that never signed.
    EXPECT_EQ(transport.send({"GET", withUser}).body, "ok");
    EXPECT_EQ(transport.stats().connectionsOpened, 1u);
    EXPECT_THROW(transport.sendSigned({"GET", refusedUrl("/bucket/key")}, kTemporaryKeys),
                 TransportError);
    EXPECT_EQ(transport.send({"GET", url}).body, "ok");

    ASSERT_EQ(seen.size(), 5u);
    const std::regex signedBy(
        R"(AWS4-HMAC-SHA256 Credential=(\w+)/\d{8}/([\w-]+)/(\w+)/aws4_request, )"
        R"(SignedHeaders=([\w;-]+), Signature=[0-9a-f]{64})");
    std::smatch match;
    const std::string first = seen[0];
    ASSERT_TRUE(std::regex_search(first, match, signedBy)) << first;
    EXPECT_EQ(match[1].str() + " " + match[2].str() + " " + match[3].str(),
              "AKIDTEMP us-east-1 s3");
    // The token is signed too, or S3 refuses it.
    EXPECT_NE(match[4].str().find("x-amz-security-token"), std::string::npos) << match[4];
    EXPECT_EQ(first.substr(first.find(" | ")), " | TOKENTEMP | dated");
    const std::string third = seen[2];
    ASSERT_TRUE(std::regex_search(third, match, signedBy)) << third;
    EXPECT_EQ(match[1].str() + " " + match[2].str() + " " + match[3].str(),
              "AKIDLONG eu-west-1 sts");
    EXPECT_EQ(third.substr(0, 11), "PUT [data] ");
    EXPECT_EQ(third.substr(third.find(" | ")), " | - | dated");

    EXPECT_EQ(seen[1], "GET [] - | - | -");
    EXPECT_EQ(seen[3], "GET [] Basic dXNlcjpwdw== | - | -");
    EXPECT_EQ(seen[4], "GET [] - | - | -");
}

// Signed calls log to the logger their transport names, and their keys to none.
TEST(CurlTransport, LogsToItsOwnLoggerWithoutKeys) {
    LocalServer server;
    server.Get("/bucket/key", [](const httplib::Request&, httplib::Response& res) {
        res.set_content("ok", "text/plain");
    });
    server.start();
    dm::testing::LogCapture log({"dm.http", "dm.test.signed"}, spdlog::level::trace, "%n %l: %v");
    CurlTransport transport({.caBundle = {}, .loggerName = "dm.test.signed"});
    transport.sendSigned({"GET", server.url("/bucket/key"), {{"X-Amz-Content-Sha256", "UNSIGNED"}}},
                         kTemporaryKeys);
    const std::string refused = refusedUrl("/k");
    EXPECT_THROW(transport.sendSigned({"GET", refused}, kTemporaryKeys), TransportError);

    const std::string text = log.text();
    EXPECT_NE(text.find("dm.test.signed debug: GET " + server.url("/bucket/key") + " -> 200 ("),
              std::string::npos)
        << text;
    EXPECT_NE(text.find("dm.test.signed debug: GET " + refused + " -> no response"),
              std::string::npos)
        << text;
    EXPECT_EQ(text.find("dm.http"), std::string::npos) << text;
    for (const char* secret : {"AKIDTEMP", "SECRETTEMP", "TOKENTEMP"})
        EXPECT_EQ(text.find(secret), std::string::npos) << secret;
}

}  // namespace
}  // namespace dm::http
