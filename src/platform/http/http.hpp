#pragma once
// The one narrow HTTP seam under every REST client: send(request) -> response.

#include <chrono>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "core/error.hpp"

namespace dm::http {

using Headers = std::vector<std::pair<std::string, std::string>>;

struct Request {
    std::string method;  // "GET", "PUT", "POST", "DELETE", "PATCH"
    std::string url;
    Headers headers;
    std::string body;
};

struct Response {
    int status = 0;
    Headers headers;
    std::string body;

    // The first header of that name (case-insensitive), or nullopt.
    std::optional<std::string> header(const std::string& name) const;
};

// A request that got no HTTP response at all (connection refused or dropped, TLS, timeout).
class TransportError : public dm::Error {
public:
    using dm::Error::Error;
};

class Transport {
public:
    virtual ~Transport() = default;
    // Sends one request and returns whatever status came back; throws TransportError when no
    // response arrived.
    virtual Response send(const Request& request) = 0;
};

}  // namespace dm::http
