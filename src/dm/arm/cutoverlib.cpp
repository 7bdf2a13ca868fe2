#include "dm/arm/cutoverlib.hpp"

#include <charconv>

#include <fmt/format.h>

#include "core/error.hpp"
#include "core/log.hpp"
#include "core/resource_id.hpp"
#include "core/text.hpp"
#include "dm/arm/library_log.hpp"
#include "services/common/discoverylib.hpp"

namespace dm::arm {

std::shared_ptr<spdlog::logger> libraryLogger() {
    return namedLogger(kLibraryLoggerName);
}

const std::map<std::string, std::string> SwitchTraffic::region = {
    {"eastus", "use"},         {"centralus", "usc"},   {"westus", "usw"},
    {"westus2", "usw2"},       {"northeurope", "eun"}, {"westeurope", "euw"},
    {"southeastasia", "asse"}, {"japaneast", "jae"},   {"chinaeast2", "che2"},
    {"chinanorth2", "chn2"},
};

void SwitchTraffic::setDryRun() {
    currentRun().dryRun.activate();
}

bool SwitchTraffic::isExpectedVpcPrefix(const std::string& ip,
                                        const std::vector<IpNetwork>& prefixes) {
    const IpNetwork network = IpNetwork::parse(ip);
    for (const auto& n : prefixes) {
        if (n.contains(network))
            return true;
    }
    return false;
}

std::string SwitchTraffic::deduceGwName(const Record& vpcAid2GwNameMap, const Record& vpcId,
                                        const Record& vpcName, const Record& accountId) {
    const std::string key = textForm(vpcId) + "-" + textForm(accountId);
    if (auto mapped = lookup(vpcAid2GwNameMap, key))
        return textForm(*mapped);
    return textForm(vpcName) + "-" + textForm(accountId) + "-gw";
}

const std::string& SwitchTraffic::regionCode(const std::string& regionId) {
    auto it = region.find(regionId);
    if (it == region.end())
        throw Error("no region code for location '" + regionId + "'");
    return it->second;
}

std::string SwitchTraffic::deduceGwNameWithSubnetCidr(const std::string& regionId,
                                                      const std::string& cidr) {
    const std::string address = cidr.substr(0, cidr.find('/'));
    auto parts = text::split(address, '.');
    if (parts.size() < 4)
        throw Error("'" + cidr + "' is not an IPv4 CIDR");
    std::string hex;
    for (size_t i = 0; i < 4; ++i) {
        const auto& part = parts[i];
        unsigned value = 0;
        auto [end, ec] = std::from_chars(part.data(), part.data() + part.size(), value);
        if (part.empty() || ec != std::errc() || end != part.data() + part.size()) {
            throw Error("'" + cidr + "' is not an IPv4 CIDR: '" + part + "' is not a number");
        }
        hex += fmt::format("{:02x}", value);
    }
    return "azu-" + regionCode(regionId) + "-" + hex + "-gw";
}

std::string SwitchTraffic::deduceTransitNameWithRegion(const std::string& regionId) {
    return "azu-" + regionCode(regionId) + "-transit-gw";
}

}  // namespace dm::arm
