#include "platform/aws/sigv4_transport.hpp"

#include <utility>

#include "platform/aws/log.hpp"
#include "platform/http/curl_transport.hpp"

namespace dm::aws {

std::string sigV4Provider(const std::string& region, const std::string& service) {
    return "aws:amz:" + region + ":" + service;
}

struct SigV4Transport::Impl {
    CredentialsProvider credentials;
    std::string provider;
    http::CurlTransport transport;

    explicit Impl(SigV4Options options)
        : credentials(std::move(options.credentials)),
          provider(sigV4Provider(options.region, options.service)),
          transport(http::CurlTransportOptions{
              .caBundle = std::move(options.caBundle),
              .connectTimeout = options.connectTimeout,
              .totalTimeout = options.totalTimeout,
              .loggerName = kLoggerName,
          }) {}
};

SigV4Transport::SigV4Transport(SigV4Options options)
    : impl_(std::make_unique<Impl>(std::move(options))) {}

SigV4Transport::~SigV4Transport() = default;

http::Response SigV4Transport::send(const http::Request& request) {
    // Keys first, outside the transport's lock: a provider that must call STS does so before this
    // transport's handle is taken.
    Credentials credentials = impl_->credentials();
    const http::SigV4Keys keys{impl_->provider, std::move(credentials.accessKeyId),
                               std::move(credentials.secretAccessKey),
                               std::move(credentials.sessionToken)};
    return impl_->transport.sendSigned(request, keys);
}

}  // namespace dm::aws
