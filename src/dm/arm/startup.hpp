#pragma once
// Start-up of dm.arm.switch_traffic: command line, discovery YAML, logging, dry-run flags,
// controller login, global configuration record; then the accounts, one after another.

#include <optional>
#include <string>
#include <vector>

#include "dm/arm/account_context.hpp"

namespace dm::arm {

// Status for a command line that the parser refused.
inline constexpr int kUsageErrorStatus = 64;

// Parses the process arguments; on --help, --version or a usage error prints what the parser
// says and returns the status to end with, else nullopt.
std::optional<int> parseCommandLine(const std::vector<std::string>& arguments,
                                    CommandOptions& options);

// Runs the whole command in `run` (installed on this thread by the caller); returns the process
// exit status. Failures that the run does not handle propagate to the caller; `run` then tells
// whether logging was configured (run.loggingConfigured) and holds the exit status.
int runSwitchTraffic(RunContext& run, const std::vector<std::string>& arguments);

}  // namespace dm::arm
