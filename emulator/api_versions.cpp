#include "api_versions.hpp"

#include <algorithm>

#include "core/text.hpp"

namespace dm::emu {
namespace {

using dm::text::iequals;

// Microsoft.Network's published versions, newest first. One list serves every network type: a
// type that came later starts further down (see since()).
const std::vector<std::string> kNetwork = {
    "2024-05-01", "2024-03-01", "2024-01-01", "2023-11-01", "2023-09-01", "2023-06-01",
    "2023-05-01", "2023-04-01", "2023-02-01", "2022-11-01", "2022-09-01", "2022-07-01",
    "2022-05-01", "2022-01-01", "2021-08-01", "2021-05-01", "2021-03-01", "2021-02-01",
    "2020-11-01", "2020-08-01", "2020-07-01", "2020-06-01", "2020-05-01", "2020-04-01",
    "2020-03-01", "2019-12-01", "2019-11-01", "2019-09-01", "2019-08-01", "2019-07-01",
    "2019-06-01", "2019-04-01", "2019-02-01", "2018-12-01", "2018-11-01", "2018-10-01",
    "2018-08-01", "2018-07-01", "2018-06-01", "2018-04-01", "2018-02-01", "2018-01-01",
    "2017-11-01", "2017-10-01", "2017-09-01", "2017-08-01", "2017-06-01", "2017-03-01",
    "2016-12-01", "2016-09-01", "2016-06-01", "2016-03-30", "2015-06-15"};

// ARM serves subscriptions and resource groups itself and takes the versions of both APIs on
// either route.
const std::vector<std::string> kResources = {
    "2024-03-01", "2023-07-01", "2022-12-01", "2022-09-01", "2021-04-01",
    "2021-01-01", "2020-10-01", "2020-06-01", "2020-01-01", "2019-11-01",
    "2019-10-01", "2019-08-01", "2019-07-01", "2019-06-01", "2019-05-10",
    "2019-05-01", "2019-03-01", "2018-06-01", "2018-05-01", "2018-02-01",
    "2017-05-10", "2016-09-01", "2016-06-01", "2016-02-01", "2015-11-01"};

// The network versions from `first` on.
std::vector<std::string> since(const std::string& first) {
    auto end = std::find(kNetwork.begin(), kNetwork.end(), first);
    return {kNetwork.begin(), end + 1};
}

}  // namespace

const std::vector<ApiVersionTable>& apiVersionTables() {
    static const std::vector<ApiVersionTable> tables = {
        {"Microsoft.Network/virtualNetworks", kNetwork},
        {"Microsoft.Network/virtualNetworks/subnets", kNetwork},
        // Peering came with 2016-06-01, virtual hubs with 2018-04-01.
        {"Microsoft.Network/virtualNetworks/virtualNetworkPeerings", since("2016-06-01")},
        {"Microsoft.Network/routeTables", kNetwork},
        {"Microsoft.Network/virtualNetworkGateways", kNetwork},
        {"Microsoft.Network/virtualHubs", since("2018-04-01")},
        {"Microsoft.Network/virtualHubs/hubVirtualNetworkConnections", since("2018-04-01")},
        {"Microsoft.Network/locations/operations", kNetwork},
        {"Microsoft.Network/locations/operationResults", kNetwork},
        {"Microsoft.Authorization/locks", {"2020-05-01", "2016-09-01", "2015-01-01"}},
        {"Microsoft.ResourceGraph/resources",
         {"2024-04-01", "2022-10-01", "2021-03-01", "2020-04-01-preview", "2019-04-01"}},
        {"Microsoft.Resources/subscriptions", kResources},
        {"Microsoft.Resources/resourceGroups", kResources},
    };
    return tables;
}

const std::vector<std::string>& apiVersionsOf(std::string_view type) {
    const auto& tables = apiVersionTables();
    const ApiVersionTable* widest = nullptr;
    const std::string_view provider = type.substr(0, type.find('/'));
    for (const auto& t : tables) {
        if (iequals(t.type, type)) {
            return t.versions;
        }
        if (iequals(std::string_view(t.type).substr(0, t.type.find('/')), provider) &&
            (widest == nullptr || t.versions.size() > widest->versions.size())) {
            widest = &t;
        }
    }
    return widest != nullptr ? widest->versions : kNetwork;
}

std::string resourceTypeOfPath(const std::vector<std::string>& s) {
    if (s.empty() || s[0] != "subscriptions") {
        return "";
    }
    if (s.size() <= 2) {
        return "microsoft.resources/subscriptions";
    }
    if (s[2] == "resourcegroups") {
        if (s.size() >= 7 && s[4] == "providers") {
            return s[5] + "/" + s[6] + (s.size() >= 9 ? "/" + s[8] : "");
        }
        return s.size() >= 6 && s[4] == "providers" ? s[5] : "microsoft.resources/resourcegroups";
    }
    if (s[2] == "providers" && s.size() >= 4) {
        if (s.size() >= 7 && s[4] == "locations") {
            return s[3] + "/locations/" + s[6];
        }
        return s.size() >= 5 ? s[3] + "/" + s[4] : s[3];
    }
    return "";
}

bool acceptsApiVersion(const std::vector<std::string>& accepted, const std::string& version) {
    return std::any_of(accepted.begin(), accepted.end(),
                       [&](const std::string& v) { return iequals(v, version); });
}

nlohmann::ordered_json apiVersionsJson() {
    nlohmann::ordered_json out = nlohmann::ordered_json::object();
    for (const auto& t : apiVersionTables()) {
        out[t.type] = t.versions;
    }
    return out;
}

}  // namespace dm::emu
