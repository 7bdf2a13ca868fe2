#pragma once
// A run's transports, one per connection settings, so that every client of the run rides one
// kept-alive connection per host.

#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <tuple>
#include <vector>

#include "platform/http/curl_transport.hpp"
#include "platform/http/http.hpp"

namespace dm::http {

class TransportPool {
  public:
    // The pool's retrying libcurl transport for these options (CA bundle, timeouts and logger
    // name), made on first use; every call with equal options returns the same object. Safe to
    // call from any thread; sends through one transport from several threads go out at once,
    // each on a connection of its own, and share its retry policy's back-off (see
    // RetryingTransport).
    std::shared_ptr<Transport> get(const CurlTransportOptions& options = {});

    // The counters of every transport made so far, added up (handles: the most of any one).
    TransportStats stats();

  private:
    // libcurl reuses a connection only inside one easy handle, so clients reach one host on one
    // connection only when they share the transport, whose handles go to one send at a time:
    // one transport per distinct set of options.
    using Key = std::tuple<std::optional<std::string>, long long, long long, std::string>;
    std::mutex mutex_;
    std::map<Key, std::shared_ptr<Transport>> transports_;
    std::vector<std::shared_ptr<CurlTransport>> curl_;  // under transports_, for their stats
};

}  // namespace dm::http
