#pragma once
// What the driver keeps for the whole run and for the account being processed.

#include <optional>
#include <string>
#include <vector>

#include "core/record.hpp"
#include "services/common/command_options.hpp"
#include "services/context/yaml_context.hpp"

namespace dm::arm {

// What the closing summary and the run report say of one account.
struct AccountSummary {
    std::string subscriptionId;
    std::string targetLocation;
    std::string outcome;               // "completed", "refused" or "stopped"
    std::vector<std::string> done;     // VNets switched (or reverted)
    std::vector<std::string> skipped;  // VNets refused as already switched
    std::vector<std::string> failed;   // the VNet whose pipeline stopped the run
    size_t errorLines = 0;
    bool revertRecordStored = false;
};

// Fixed after start-up.
struct RunContext {
    CommandOptions options;
    std::vector<std::string> arguments;  // the process arguments without the program name
    std::string inputPath;
    Record document;
    std::string apiBase;         // "https://" + controller address + "/v1/"
    std::string apiEndpointUrl;  // apiBase + "api"
    std::string cid;             // controller login id; never logged
    Record globalRecord;
    // Spoke gateway name -> advertised CIDRs; fetched at the first account that passes its
    // guard and kept for the rest of the run.
    std::optional<Record> spokeGwAdvCidr;
    std::string logFile;  // where the log file handler writes
    std::vector<AccountSummary> summaries;
};

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

// The value under `key` of `map`; a missing key (or a `map` that is no map) is a ConfigError
// naming the input file and `where` + key.
const Record& requireKey(const RunContext& run, const Record& map, const std::string& key,
                         const std::string& where);

}  // namespace dm::arm
