#pragma once
// What the driver keeps for the account being processed; the run itself is the run context.

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
    bool changesStarted = false;
};

}  // namespace dm::arm
