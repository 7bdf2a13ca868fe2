#pragma once
// The account run: revert-state guard, revert record, VNet list, per-VNet pipelines, wrap-up.

#include "dm/arm/run_context.hpp"

namespace dm::arm {

// Runs one prepared account in the mode of the command line.
void runAccount(RunContext& run, AccountContext& account);

}  // namespace dm::arm
