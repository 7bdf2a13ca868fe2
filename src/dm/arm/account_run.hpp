#pragma once
// The account run: revert-state guard, revert record, VNet list, per-VNet pipelines, wrap-up.

#include "dm/arm/account_context.hpp"

namespace dm::arm {

// Runs one prepared account in the mode of the command line and adds its summary to the run.
// A failure that stops a forward run after the account started changing stores the revert
// record as far as it got before it propagates.
void runAccount(RunContext& run, AccountContext& account);

// Logs the closing summary of every account processed so far.
void logRunSummary(const RunContext& run);

}  // namespace dm::arm
