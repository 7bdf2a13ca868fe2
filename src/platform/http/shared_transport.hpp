#pragma once
// The process-wide transport per connection settings, so that every client of a run rides one
// kept-alive connection per host.

#include <memory>

#include "platform/http/curl_transport.hpp"
#include "platform/http/http.hpp"

namespace dm::http {

// The one retrying libcurl transport of the process for these options (CA bundle, timeouts and
// logger name), made on first use and kept until exit; every call with equal options returns the
// same object. Safe to call from any thread; sends through it are serialised.
std::shared_ptr<Transport> sharedTransport(const CurlTransportOptions& options = {});

}  // namespace dm::http
