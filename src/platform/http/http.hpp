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
    Headers headers{};
    std::string body{};
    // Whether sending the request twice is harmless; when unset the method decides (see
    // isIdempotent). The retry policy retries non-idempotent requests only where the server
    // cannot have acted on them.
    std::optional<bool> idempotent = std::nullopt;
};

// The request's own `idempotent` flag when set; otherwise true for GET, HEAD, PUT, DELETE and
// OPTIONS and false for every other method (POST, PATCH).
bool isIdempotent(const Request& request);

// Spare room a response body of announced length keeps past its end: what a SIMD JSON reader
// may read beyond the text, so that it reads the body in place instead of a padded copy.
inline constexpr std::size_t kBodySlack = 64;

struct Response {
    int status = 0;
    Headers headers;
    std::string body;

    // The first header of that name (case-insensitive), or nullopt.
    std::optional<std::string> header(const std::string& name) const;
};

// Why a request got no response, as far as sending it again is concerned.
enum class TransportFailure {
    MaybeSent,         // the request may have reached the server (reset, timeout, empty reply)
    NotSent,           // certainly before any byte of the request left (resolve, connect)
    ClosedUnanswered,  // a kept-alive connection took the request and closed without any
                       // byte of an answer; sent again whatever the method, as curl itself does
    UntrustedPeer,     // TLS: the server's certificate or name failed verification, which no
                       // later attempt changes
};

// A request that got no HTTP response at all (connection refused or dropped, TLS, timeout).
class TransportError : public dm::Error {
  public:
    // Without further knowledge the request may have reached the server.
    explicit TransportError(const std::string& message) : dm::Error(message) {}
    TransportError(const std::string& message, bool requestSent)
        : dm::Error(message),
          failure_(requestSent ? TransportFailure::MaybeSent : TransportFailure::NotSent) {}
    TransportError(const std::string& message, TransportFailure failure)
        : dm::Error(message), failure_(failure) {}

    // False only when the failure certainly happened before any byte of the request left
    // (name resolution, connect, TLS handshake), so even a POST can be sent again.
    bool requestSent() const {
        return failure_ == TransportFailure::MaybeSent ||
               failure_ == TransportFailure::ClosedUnanswered;
    }
    TransportFailure failure() const { return failure_; }

  private:
    TransportFailure failure_ = TransportFailure::MaybeSent;
};

class Transport {
  public:
    virtual ~Transport() = default;
    // Sends one request and returns whatever status came back; throws TransportError when no
    // response arrived.
    virtual Response send(const Request& request) = 0;
};

}  // namespace dm::http
