#pragma once
// The change seam: a transport that, while the run is a dry run, sends only the requests that
// read and refuses every other one with DryRunRefused. The operations above already skip their
// change calls in a dry run; this guard is what makes a missed check fail loudly instead of
// changing a live network. Outside a dry run it tells the run before each change is sent, so
// that what undoes the change is on disk first.

#include <functional>
#include <memory>
#include <string>

#include "platform/http/http.hpp"

namespace dm::http {

// True for a request that only reads.
using RequestClassifier = std::function<bool(const Request&)>;

// A state-changing request attempted during a dry run.
class DryRunRefused : public dm::Error {
  public:
    using dm::Error::Error;
};

class DryRunGuard : public Transport {
  public:
    // `active` tells whether the run is a dry run now; `onRefused` is told of each refusal
    // before the error is thrown; `beforeChange` (optional) is called before a request that
    // changes state is sent, and what it throws stops the request.
    DryRunGuard(std::shared_ptr<Transport> inner, std::function<bool()> active,
                RequestClassifier isRead, std::function<void(const Request&)> onRefused,
                std::function<void()> beforeChange = {});

    // Throws DryRunRefused ("dry run: refused to send <method> <url without query>") for a
    // request that changes state while the run is a dry run; else sends through the inner one.
    Response send(const Request& request) override;

  private:
    std::shared_ptr<Transport> inner_;
    std::function<bool()> active_;
    RequestClassifier isRead_;
    std::function<void(const Request&)> onRefused_;
    std::function<void()> beforeChange_;
};

// GET and HEAD only.
bool isSafeMethod(const Request& request);

}  // namespace dm::http
