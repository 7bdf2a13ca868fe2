#pragma once
// What the driver keeps for the account being processed; the run itself is the run context.

#include <atomic>
#include <optional>
#include <string>

#include "core/record.hpp"
#include "services/common/yaml_context.hpp"
#include "services/context/run_context.hpp"

namespace dm::arm {

using dm::RunContext;

// Replaced for each account.
struct AccountContext {
    size_t index = 0;  // position in "account_info", for messages
    Record entry;
    Record accountRecord;
    std::string subscriptionId;
    Record subscriptionInfo;
    std::optional<AzureCredential> credential;
    std::string targetLocation;
    // Set once a forward pipeline has passed its guard: from then on the account may hold
    // changes that only the revert record can undo.
    // VNets in flight at once may set it together; the context is still copied by value.
    struct StartedFlag {
        std::atomic<bool> value{false};
        StartedFlag() = default;
        StartedFlag(const StartedFlag& other) : value(other.value.load()) {}
        StartedFlag& operator=(bool started) {
            value = started;
            return *this;
        }
        operator bool() const { return value; }
    } changesStarted;
};

}  // namespace dm::arm
