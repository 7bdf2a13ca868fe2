// Resource Graph: only the query that finds the gateways in a subnet is understood.

#include <algorithm>
#include <regex>
#include <set>

#include "cloud_handler.hpp"
#include "cloud_internal.hpp"
#include "core/text.hpp"

namespace dm::emu {
namespace {

using dm::text::iequals;
using dm::text::toLower;

}  // namespace

Reply Handler::resourceGraph() {
    if (auto bad = authenticate(); bad) {
        return *bad;
    }
    if (auto bad = checkVersion(apiVersionsOf("Microsoft.ResourceGraph/resources")); bad) {
        return *bad;
    }
    Json in = Json::parse(c_.body, nullptr, false);
    if (in.is_discarded() || !in.is_object() || !in.contains("query") || !in["query"].is_string()) {
        return armError(400, "BadRequest", "The request body must be a JSON object with a query.");
    }
    const std::string query = in["query"].get<std::string>();
    // No KQL here: only the gateway query is recognised, with the gateway subnet id captured.
    static const std::regex gatewayQuery(
        R"(^Resources \| where type =~ 'Microsoft\.Network/virtualNetworkGateways' \| mvexpand nics=properties\.networkProfile \| mvexpand ipconfig=properties\.ipConfigurations \| where ipconfig\.properties\.subnet\.id =~ '([^']*)' \| project properties\.gatewayType$)");
    std::smatch m;
    const std::string collapsed =
        std::regex_replace(dm::text::trim(query), std::regex(R"(\s+)"), " ");
    if (!std::regex_match(collapsed, m, gatewayQuery)) {
        return jsonReply(
            400, Json{{"error",
                       {{"code", "BadRequest"},
                        {"message",
                         "This emulator answers only the virtual network gateway "
                         "query (gateways whose ipConfigurations sit in one subnet, "
                         "projecting properties.gatewayType); got: " +
                             query},
                        {"details", Json::array({{{"code", "UnsupportedQuery"},
                                                  {"message", "Query is not supported."}}})}}}});
    }
    const std::string subnetKey = idKey(m[1].str());

    std::set<std::string> scope;
    if (in.contains("subscriptions") && in["subscriptions"].is_array()) {
        for (const auto& sub : in["subscriptions"]) {
            if (sub.is_string()) {
                scope.insert(toLower(sub.get<std::string>()));
            }
        }
    } else {
        for (const auto& [k, sub] : s_.subscriptions) {
            scope.insert(k);
        }
    }
    std::vector<const Entry*> gateways;
    for (const auto& [k, entry] : sortedOfKind(Kind::Gateway, "/")) {
        const Entry& e = *entry;
        const auto segs = segments(k);
        if (segs.size() < 2 || scope.count(segs[1]) == 0) {
            continue;
        }
        if (!who_->allSubscriptions &&
            std::find(who_->subscriptions.begin(), who_->subscriptions.end(), segs[1]) ==
                who_->subscriptions.end()) {
            continue;
        }
        gateways.push_back(&e);
    }
    std::vector<Json> types;
    for (const Entry* g : gateways) {
        const Json& p = g->body["properties"];
        for (const auto& ipc : p.value("ipConfigurations", Json::array())) {
            const Json subnet = ipc.value("properties", Json::object()).value("subnet", Json());
            if (idKey(refId(subnet)) == subnetKey) {
                types.push_back(p.value("gatewayType", Json()));
            }
        }
    }
    const std::string format = in.contains("options") && in["options"].is_object()
                                   ? in["options"].value("resultFormat", std::string("objectArray"))
                                   : "objectArray";
    Json data;
    if (iequals(format, "table")) {
        data = {
            {"columns", Json::array({{{"name", "properties_gatewayType"}, {"type", "string"}}})},
            {"rows", Json::array()}};
        for (const auto& t : types) {
            data["rows"].push_back(Json::array({t}));
        }
    } else {
        data = Json::array();
        for (const auto& t : types) {
            data.push_back({{"properties_gatewayType", t}});
        }
    }
    return jsonReply(200, Json{{"totalRecords", types.size()},
                               {"count", types.size()},
                               {"data", data},
                               {"facets", Json::array()},
                               {"resultTruncated", "false"}});
}

}  // namespace dm::emu
