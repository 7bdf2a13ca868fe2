#pragma once
// What the driver keeps for the whole run and for the account being processed.

#include <optional>
#include <string>
#include <vector>

#include "core/record.hpp"
#include "services/common/command_options.hpp"
#include "services/context/yaml_context.hpp"

namespace dm::arm {

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
};

// The value under `key` of `map`; a missing key (or a `map` that is no map) is a ConfigError
// naming the input file and `where` + key.
const Record& requireKey(const RunContext& run, const Record& map, const std::string& key,
                         const std::string& where);

}  // namespace dm::arm
