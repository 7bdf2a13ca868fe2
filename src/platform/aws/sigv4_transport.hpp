#pragma once
// A transport that signs every request with AWS Signature Version 4, a thin layer over
// http::CurlTransport::sendSigned that supplies the keys its credentials provider gives at send
// time.

#include <chrono>
#include <memory>
#include <optional>
#include <string>

#include "platform/aws/credentials.hpp"
#include "platform/http/http.hpp"

namespace dm::aws {

struct SigV4Options {
    std::string service;  // "s3", "sts"
    std::string region;   // "us-east-1"
    CredentialsProvider credentials;
    std::optional<std::string> caBundle{};  // PEM file; the system store when absent
    std::chrono::milliseconds connectTimeout{10'000};
    std::chrono::milliseconds totalTimeout{300'000};
};

// One http::CurlTransport for the object's life so that calls reuse the connection; TLS
// verification is always on and redirects are not followed. Each send() asks the provider for
// keys, adds X-Amz-Security-Token for temporary ones, and lets curl sign the method, path, query
// and the headers given. A provider failure propagates; a request without response throws
// http::TransportError naming the method and the URL without query. Request lines go to the
// "dm.aws" logger; nothing secret is logged.
class SigV4Transport : public http::Transport {
  public:
    explicit SigV4Transport(SigV4Options options);
    ~SigV4Transport() override;
    SigV4Transport(const SigV4Transport&) = delete;
    SigV4Transport& operator=(const SigV4Transport&) = delete;

    http::Response send(const http::Request& request) override;

  private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

// The "aws:amz:<region>:<service>" text curl signs with.
std::string sigV4Provider(const std::string& region, const std::string& service);

}  // namespace dm::aws
