#pragma once
// Updates that are started and not waited on (route-table propagation, remote-gateway use in
// peerings): the pipeline goes on while they settle, and their outcome is checked later, one
// VNet behind, and all of them before the account's wrap-up.

#include <functional>
#include <string>

namespace dm::arm {

// Keeps a started update; `what` names it in an error line ("propagate-gateway-route update of
// rt-app"), `wait` waits for it and throws what made it fail.
void noteStartedUpdate(std::string what, std::function<void()> wait);

// Waits for the updates started before the last VNet boundary (all of them when `all`) and logs
// an "**Error**" line for each one that ended Failed or was refused; returns how many did.
size_t checkStartedUpdates(bool all);

// The VNet whose updates were started so far is done: they are checked at the next call.
void markVnetBoundary();

}  // namespace dm::arm
