#pragma once
// The account run: revert-state guard, revert record, VNet list, per-VNet pipelines, wrap-up.

#include "core/error.hpp"
#include "dm/arm/account_context.hpp"

namespace dm::arm {

// A failure that stopped the run and has already been logged, ahead of the account's wrap-up
// lines, and counted in its summary.
class ReportedFailure : public Error {
  public:
    using Error::Error;
};

// Runs one prepared account in the mode of the command line and adds its summary to the run.
// A failure that stops a forward run after the account started changing stores the revert
// record as far as it got; the failure is logged and propagates as ReportedFailure.
void runAccount(RunContext& run, AccountContext& account);

// Logs the closing summary of every account processed so far.
void logRunSummary(RunContext& run);

}  // namespace dm::arm
