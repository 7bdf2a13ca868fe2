#include "platform/http/shared_transport.hpp"

#include "platform/http/retry.hpp"

namespace dm::http {

std::shared_ptr<Transport> TransportPool::get(const CurlTransportOptions& options) {
    const Key key{options.caBundle, options.connectTimeout.count(), options.totalTimeout.count(),
                  options.loggerName};
    std::lock_guard lock(mutex_);
    auto& transport = transports_[key];
    if (!transport)
        transport = std::make_shared<RetryingTransport>(makeCurlTransport(options));
    return transport;
}

}  // namespace dm::http
