#pragma once
// A transport that records every request and answers from a script, plus a credential and a
// clock that tests control.

#include <chrono>
#include <deque>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "core/text.hpp"
#include "platform/azure/credential.hpp"
#include "platform/azure/pipeline.hpp"
#include "platform/http/http.hpp"

namespace dm::azure::testing {

inline http::Response reply(int status, std::string body = "", http::Headers headers = {}) {
    http::Response r;
    r.status = status;
    r.body = std::move(body);
    r.headers = std::move(headers);
    return r;
}

class RecordingTransport : public http::Transport {
  public:
    http::Response send(const http::Request& request) override {
        requests.push_back(request);
        if (script.empty())
            return reply(500, "no scripted response for " + request.url);
        auto next = std::move(script.front());
        script.pop_front();
        return next(request);
    }

    void then(http::Response response) {
        script.push_back([response](const http::Request&) { return response; });
    }
    void thenFail(const std::string& message) {
        script.push_back([message](const http::Request&) -> http::Response {
            throw http::TransportError(message);
        });
    }

    static std::string header(const http::Request& request, const std::string& name) {
        for (const auto& [k, v] : request.headers) {
            if (text::iequals(k, name))
                return v;
        }
        return "";
    }

    std::vector<http::Request> requests;
    std::deque<std::function<http::Response(const http::Request&)>> script;
};

// Hands out "token-<n>"; a refresh after invalidateToken gives the next number.
class FakeCredential : public TokenCredential {
  public:
    explicit FakeCredential(std::shared_ptr<http::Transport> transport)
        : transport_(std::move(transport)) {
        cloud_.name = "custom";
        cloud_.resourceManager = "https://arm.test";
        cloud_.authorityHost = "https://login.test";
        cloud_.tokenScope = "https://arm.test/.default";
    }
    AccessToken getToken(const std::string& scope) override {
        scopes.push_back(scope);
        return {"token-" + std::to_string(generation), std::chrono::system_clock::now()};
    }
    void invalidateToken(const std::string&) override { ++generation; }
    const AzureCloud& cloud() const override { return cloud_; }
    std::shared_ptr<http::Transport> transport() const override { return transport_; }

    int generation = 1;
    std::vector<std::string> scopes;

  private:
    AzureCloud cloud_;
    std::shared_ptr<http::Transport> transport_;
};

// A steady clock that only moves when the code under test sleeps.
struct FakeTime {
    std::chrono::steady_clock::time_point now{};
    std::vector<std::chrono::milliseconds> sleeps;

    ArmClientOptions options() {
        ArmClientOptions o;
        o.clock = [this] { return now; };
        o.sleep = [this](std::chrono::milliseconds d) {
            sleeps.push_back(d);
            now += d;
        };
        return o;
    }
};

}  // namespace dm::azure::testing
