#pragma once
// STS on loopback for the S3 round trip: answers AssumeRole with `grant` (or refuses) and keeps
// the Authorization header of each call.

#include <httplib.h>

#include <atomic>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace dm::testing {

class FakeSts {
  public:
    struct Keys {
        std::string id, secret, token;
    };
    Keys grant{"ASIAROLE", "role-secret", "session-token"};
    std::atomic<bool> refuse{false};

    FakeSts() {
        server_.Post("/", [this](const httplib::Request& request, httplib::Response& response) {
            std::lock_guard lock(mutex_);
            authorizations_.push_back(request.get_header_value("Authorization"));
            if (refuse) {
                response.status = 403;
                response.set_content(
                    "<ErrorResponse><Error><Type>Sender</Type><Code>AccessDenied</Code><Message>"
                    "not authorized to perform sts:AssumeRole</Message></Error><RequestId>sts-1"
                    "</RequestId></ErrorResponse>",
                    "text/xml");
                return;
            }
            response.set_content(
                "<AssumeRoleResponse><AssumeRoleResult><Credentials><AccessKeyId>" + grant.id +
                    "</AccessKeyId><SecretAccessKey>" + grant.secret +
                    "</SecretAccessKey><SessionToken>" + grant.token +
                    "</SessionToken><Expiration>2099-01-01T00:00:00Z</Expiration></Credentials>"
                    "</AssumeRoleResult></AssumeRoleResponse>",
                "text/xml");
        });
        port_ = server_.bind_to_any_port("127.0.0.1");
        // Bound means listening: connections queue until the accept loop starts.
        thread_ = std::thread([this] { server_.listen_after_bind(); });
    }
    ~FakeSts() {
        server_.stop();
        thread_.join();
    }
    std::string endpoint() const { return "http://127.0.0.1:" + std::to_string(port_); }
    std::vector<std::string> authorizations() {
        std::lock_guard lock(mutex_);
        return authorizations_;
    }

  private:
    httplib::Server server_;
    int port_ = 0;
    std::thread thread_;
    std::mutex mutex_;
    std::vector<std::string> authorizations_;
};

}  // namespace dm::testing
