#pragma once
// The libcurl transport: keep-alive connection reuse, TLS peer verification, timeouts, and
// requests signed by curl with AWS Signature Version 4.

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "platform/http/http.hpp"

namespace dm::http {

struct CurlTransportOptions {
    std::optional<std::string> caBundle;  // PEM file; the system store when absent
    std::chrono::milliseconds connectTimeout{10'000};
    std::chrono::milliseconds totalTimeout{120'000};
    // The logger that gets the request lines; empty for the HTTP layer's own, "dm.http".
    std::string loggerName{};
};

// What curl signs one request with: the "aws:amz:<region>:<service>" provider text and the keys;
// a non-empty session token is sent as X-Amz-Security-Token.
struct SigV4Keys {
    std::string provider;
    std::string accessKeyId;
    std::string secretAccessKey;
    std::string sessionToken{};
};

struct TransportStats {
    std::uint64_t requests = 0;           // send() calls, failed ones included
    std::uint64_t connectionsOpened = 0;  // new TCP connections; reused ones are not counted
    std::uint64_t handles = 0;            // most easy handles held at once: sends that overlapped
    // CPU time the sending threads spent inside send(): what the transport itself costs for
    // these requests and answers, to set the caller's own work against.
    std::uint64_t cpuNanoseconds = 0;
};

// A few libcurl easy handles kept for the object's life, each with its own kept-alive
// connection: a send takes an idle handle (the one used last) or, when every one is busy, a new
// one, up to 64 (a further send waits for one to come back). Sends from one thread at a time
// thus all go through one handle, so requests that follow each other reuse its connection;
// concurrent sends from several threads each get a handle and a connection of their own, so one
// object can serve a whole process (see TransportPool). TLS peer and host verification are
// always on. Redirects are not followed: a 3xx or a 202 with Location is returned to the caller
// as it came.
class CurlTransport : public Transport {
  public:
    explicit CurlTransport(CurlTransportOptions options = {});
    ~CurlTransport() override;
    CurlTransport(const CurlTransport&) = delete;
    CurlTransport& operator=(const CurlTransport&) = delete;

    // The response of the last header block (interim "100 Continue" blocks are dropped), its
    // headers in the order and case received; throws TransportError naming the method and the
    // URL without its query when no response arrived. A request that a kept-alive connection
    // took and then closed on without any answer is not sent again here (curl would, silently)
    // but fails as ClosedUnanswered, so that the retry layer counts and logs it; only when the
    // server had closed the connection before the request went out (its idle close) does curl
    // reconnect unseen. A failed certificate or name check fails as UntrustedPeer, its message
    // naming the CA file used or the system's store.
    Response send(const Request& request) override;

    // send(), with the request signed by curl using `keys`. The keys are dropped from the
    // handle afterwards, whatever the outcome, so the next send() on it goes unsigned.
    Response sendSigned(const Request& request, const SigV4Keys& keys);

    // Counters since construction.
    TransportStats stats() const;

  private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

// A CurlTransport behind the Transport seam; make a CurlTransport directly to read its stats().
std::shared_ptr<Transport> makeCurlTransport(CurlTransportOptions options = {});

}  // namespace dm::http
