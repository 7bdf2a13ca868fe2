#pragma once
// The api-versions the emulator accepts, per resource type: the versions Azure has published for
// each type it serves, so that any client of any age that ARM would serve is served here too.
// docs/emulator.md prints the same tables; GET /admin/api-versions returns them.

#include <string>
#include <string_view>
#include <vector>

#include <nlohmann/json.hpp>

namespace dm::emu {

struct ApiVersionTable {
    std::string type;                   // e.g. "Microsoft.Network/virtualHubs"
    std::vector<std::string> versions;  // newest first
};

// Every table, in a fixed order.
const std::vector<ApiVersionTable>& apiVersionTables();

// The versions of a type named as in the tables (case-insensitive). A type the emulator does not
// serve gets the versions of its provider's widest table, so that the route, not the version,
// decides the answer.
const std::vector<std::string>& apiVersionsOf(std::string_view type);

// The resource type that an ARM path addresses, named as in the tables, from its lower-case
// segments ("subscriptions", id, "resourcegroups", ...); empty for paths outside the tables.
std::string resourceTypeOfPath(const std::vector<std::string>& lowerSegments);

// True when `version` is one of `accepted` (case-insensitive, as ARM compares them).
bool acceptsApiVersion(const std::vector<std::string>& accepted, const std::string& version);

// The tables as {"type": [versions...]}.
nlohmann::ordered_json apiVersionsJson();

}  // namespace dm::emu
