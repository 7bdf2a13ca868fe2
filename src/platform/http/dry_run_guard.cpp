#include "platform/http/dry_run_guard.hpp"

#include "platform/http/log.hpp"

namespace dm::http {

DryRunGuard::DryRunGuard(std::shared_ptr<Transport> inner, std::function<bool()> active,
                         RequestClassifier isRead, std::function<void(const Request&)> onRefused,
                         std::function<void()> beforeChange)
    : inner_(std::move(inner)),
      active_(std::move(active)),
      isRead_(std::move(isRead)),
      onRefused_(std::move(onRefused)),
      beforeChange_(std::move(beforeChange)) {}

Response DryRunGuard::send(const Request& request) {
    if (isRead_(request))
        return inner_->send(request);
    if (active_()) {
        const std::string url = request.url.substr(0, request.url.find('?'));
        const std::string message = "dry run: refused to send " + request.method + " " + url;
        httpLogger()->error("**Error** " + message);
        if (onRefused_)
            onRefused_(request);
        throw DryRunRefused(message);
    }
    if (beforeChange_)
        beforeChange_();
    return inner_->send(request);
}

bool isSafeMethod(const Request& request) {
    return request.method == "GET" || request.method == "HEAD";
}

}  // namespace dm::http
