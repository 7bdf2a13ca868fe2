#pragma once
// The libcurl transport: keep-alive connection reuse, TLS peer verification, timeouts.

#include <chrono>
#include <memory>
#include <optional>
#include <string>

#include "platform/http/http.hpp"

namespace dm::http {

struct CurlTransportOptions {
    std::optional<std::string> caBundle;  // PEM file; the system store when absent
    std::chrono::milliseconds connectTimeout{10'000};
    std::chrono::milliseconds totalTimeout{120'000};
};

std::shared_ptr<Transport> makeCurlTransport(CurlTransportOptions options = {});

}  // namespace dm::http
