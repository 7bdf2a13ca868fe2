// The transit lookup: where the controller says a transit gateway lives (its cloud account and
// its VNet), turned into a credential and the transit VNet's record.

#include <exception>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "core/error.hpp"
#include "core/text.hpp"
#include "dm/arm/cutoverlib.hpp"
#include "dm/arm/kept_listings.hpp"
#include "dm/arm/library_log.hpp"
#include "services/common/yaml_context.hpp"
#include "services/telvane/telvane.hpp"

namespace dm::arm {

namespace {

using GatewayPlace = KeptListings::GatewayPlace;

// The controller refused to list its gateways.
struct GatewaysRefused {};

const Record& listOf(const Record& value, const char* what) {
    if (!value.is_array())
        throw Error(std::string("controller reply: \"") + what + "\" is no list");
    return value;
}

// The account records kept for `accountName`, reduced to what a credential needs; throws when
// the controller's reply lacks a key.
std::vector<Record> accountsNamed(const Record& body, const Record& accountName) {
    std::vector<Record> kept;
    for (const auto& account : listOf(body.at("results").at("account_list"), "account_list")) {
        if (account.at("account_name") != accountName)
            continue;
        kept.push_back({{"subscription_id", account.at("arm_subscription_id")},
                        {"arm_client_id", account.at("arm_ad_client_id")},
                        {"arm_tenant_id", account.at("arm_ad_tenant_id")}});
    }
    return kept;
}

}  // namespace

std::pair<std::optional<AzureCredential>, std::optional<VirtualNetwork>>
SwitchTraffic::getTransitVnet(const std::string& api_endpoint_url, const std::string& CID,
                              const std::string& gw_name) {
    const std::pair<std::optional<AzureCredential>, std::optional<VirtualNetwork>> none;
    auto log = libraryLogger();
    log->info("- Lookup transit gw account and vnet info");

    const std::string noAccount =
        "  **Error** No account info for transit gateway " + gw_name + " found in controller";
    // The controller lists every gateway it has, which grows with the spokes attached: it is
    // asked once per account run, and only the gateways of this name are built.
    auto readPlaces = [&] {
        const ListSelection sameName{
            "results", {}, std::pair{"gw_name", std::string_view(gw_name)}};
        const Record body =
            Telvane::list_gateway_info(api_endpoint_url, CID, /*vpc_access_account_name=*/"")
                .json(sameName);
        if (body.at("return") == false)
            throw GatewaysRefused{};
        std::vector<GatewayPlace> found;
        for (const auto& gateway : listOf(body.at("results"), "results")) {
            if (gateway.at("gw_name") != gw_name)
                continue;
            // "<vnet>:<resource group>", split below.
            if (!gateway.at("vpc_id").is_string())
                throw Error("controller reply: \"vpc_id\" of " + gw_name + " is no text");
            found.push_back({gateway.at("account_name"), gateway.at("vpc_id")});
        }
        return found;
    };
    KeptListings::Places kept;
    try {
        kept = keptListings().gatewayPlaces(gw_name, readPlaces);
    } catch (const GatewaysRefused&) {
        log->error("  **Error** Failed to get gateway info from controller");
        return none;
    } catch (const std::exception&) {
        log->error(noAccount);
        return none;
    }
    const std::vector<GatewayPlace>& places = *kept;
    if (places.empty()) {
        log->error(noAccount);
        return none;
    }

    // Two gateways of one name should not exist; the controller's first one is taken.
    const Record& accountName = places.front().accountName;
    const auto vnetFields = text::split(places.front().vnetId.get<std::string>(), ':');
    if (vnetFields.size() < 2) {
        throw Error("vpc_id \"" + vnetFields.front() + "\" of transit gateway " + gw_name +
                    " names no resource group");
    }
    const std::string& vnetName = vnetFields[0];
    const std::string& resourceGroup = vnetFields[1];

    const std::string noAzureAccount =
        "  **Error** Failed to identify Azure account info for " + textForm(accountName);
    std::vector<Record> accounts;
    try {
        const Record body =
            Telvane::list_accounts(api_endpoint_url, CID, /*iam_based=*/"false").json();
        if (body.at("return") == false) {
            log->error("  **Error** Failed to get account info from controller");
            return none;
        }
        accounts = accountsNamed(body, accountName);
    } catch (const std::exception&) {
        log->error(noAzureAccount);
        return none;
    }
    // Without an account of that name there is no subscription to look in.
    if (accounts.empty()) {
        log->error(noAzureAccount);
        return none;
    }

    const std::string subscriptionId = textForm(accounts.front().at("subscription_id"));
    auto cred = YamlContext().generateAzureCredential(subscriptionId);
    if (!cred) {
        throw Error("no credential for subscription " + subscriptionId + " of transit gateway " +
                    gw_name);
    }
    const NetworkManagementClient client(cred->getCSC(), cred->getSubId());
    VirtualNetwork transit = client.virtual_networks.get(resourceGroup, vnetName);
    log->info("  " + gw_name + " in vnet " + vnetName + " resource group " + resourceGroup);
    return {std::move(cred), std::move(transit)};
}

}  // namespace dm::arm
