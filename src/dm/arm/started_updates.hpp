#pragma once
// Updates that are started and not waited on (route-table propagation, remote-gateway use in
// peerings): the pipeline goes on while they settle, and their outcome is checked later, one
// VNet behind, and all of them before the account's wrap-up.

#include <functional>
#include <string>

namespace dm {
class VnetLane;
}

namespace dm::arm {

// Keeps a started update; `what` names it in an error line ("propagate-gateway-route update of
// rt-app"), `wait` waits for it and throws what made it fail.
void noteStartedUpdate(std::string what, std::function<void()> wait);

// Waits for the updates started before and logs an "**Error**" line for each one that ended
// Failed or was refused; returns how many did. At a VNet's end (`all` false) those of the VNets
// before it are waited for, and the VNet's own are left to settle until the next call; at the
// account's wrap-up (`all`), every one.
size_t checkStartedUpdates(bool all);

// Hands the updates that the VNet in flight on `lane` started to the run, in the VNet's turn, as
// if it had just run alone; the next checkStartedUpdates(false) then treats them as its own.
void takeStartedUpdates(VnetLane& lane);

}  // namespace dm::arm
