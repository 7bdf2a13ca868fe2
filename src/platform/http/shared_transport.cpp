#include "platform/http/shared_transport.hpp"

#include <algorithm>

#include "platform/http/retry.hpp"

namespace dm::http {

std::shared_ptr<Transport> TransportPool::get(const CurlTransportOptions& options) {
    const Key key{options.caBundle, options.connectTimeout.count(), options.totalTimeout.count(),
                  options.loggerName};
    std::lock_guard lock(mutex_);
    auto& transport = transports_[key];
    if (!transport) {
        auto curl = std::make_shared<CurlTransport>(options);
        transport = std::make_shared<RetryingTransport>(curl);
        curl_.push_back(std::move(curl));
    }
    return transport;
}

TransportStats TransportPool::stats() {
    std::lock_guard lock(mutex_);
    TransportStats sum;
    for (const auto& curl : curl_) {
        const TransportStats one = curl->stats();
        sum.requests += one.requests;
        sum.connectionsOpened += one.connectionsOpened;
        sum.handles = std::max(sum.handles, one.handles);
        sum.cpuNanoseconds += one.cpuNanoseconds;
    }
    return sum;
}

}  // namespace dm::http
