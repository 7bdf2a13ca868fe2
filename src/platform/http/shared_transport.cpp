#include "platform/http/shared_transport.hpp"

#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <tuple>

#include "platform/http/retry.hpp"

namespace dm::http {
namespace {

// libcurl reuses a connection only inside one easy handle, so clients reach one host on one
// connection only when they share the handle: one per distinct set of options.
using Key = std::tuple<std::optional<std::string>, long long, long long, std::string>;

struct Registry {
    std::mutex mutex;
    std::map<Key, std::shared_ptr<Transport>> transports;
};

Registry& registry() {
    static Registry instance;
    return instance;
}

}  // namespace

std::shared_ptr<Transport> sharedTransport(const CurlTransportOptions& options) {
    const Key key{options.caBundle, options.connectTimeout.count(), options.totalTimeout.count(),
                  options.loggerName};
    Registry& r = registry();
    std::lock_guard lock(r.mutex);
    auto& transport = r.transports[key];
    if (!transport)
        transport = std::make_shared<RetryingTransport>(makeCurlTransport(options));
    return transport;
}

}  // namespace dm::http
