#include "services/subnet_groups/subnet_groups.hpp"

#include <algorithm>
#include <memory>
#include <optional>
#include <vector>

#include <spdlog/spdlog.h>

#include "core/log.hpp"
#include "core/text.hpp"
#include "services/common/common.hpp"
#include "services/common/discoverylib.hpp"
#include "services/context/globals.hpp"
#include "services/telvane/telvane.hpp"

namespace dm {
namespace {

// Looked up on every call so that a logging set-up made after the first call still applies.
std::shared_ptr<spdlog::logger> log() {
    return namedLogger(SubnetGroups::LOGGER);
}

struct Group {
    std::string name;
    std::vector<std::string> subnets;
};

bool enabled(const Record& optionRecord) {
    auto flag = lookup(optionRecord, "configure_subnet_groups");
    return flag && flag->is_boolean() && flag->get<bool>();
}

bool isPlatformSubnet(const std::string& name) {
    const auto& reserved = Common::AZURE_SUBNET;
    return std::find(reserved.begin(), reserved.end(), name) != reserved.end() ||
           DiscoveryLib::isTelvaneSpokeSubnet(name);
}

// Names of a list of texts, or the keys of a map; nullopt for anything else.
std::optional<std::vector<std::string>> namesOf(const Record& value) {
    std::vector<std::string> names;
    if (value.is_object()) {
        for (const auto& [key, unused] : value.items())
            names.push_back(key);
        return names;
    }
    if (!value.is_array())
        return std::nullopt;
    for (const auto& item : value) {
        if (!item.is_string())
            return std::nullopt;
        names.push_back(item.get<std::string>());
    }
    return names;
}

// The groups the options ask for, with subnets the VNet does not have dropped (and reported);
// nullopt when "subnet_groups" is malformed.
std::optional<std::vector<Group>> plannedGroups(const azure::VirtualNetwork& vnet,
                                                const Record& optionRecord) {
    std::vector<std::string> present;
    for (const auto& subnet : vnet.subnets())
        present.push_back(subnet.name());

    std::vector<Group> groups;
    const Record configured = lookup(optionRecord, "subnet_groups").value_or(Record());
    if (configured.is_object() && !configured.empty()) {
        for (const auto& [name, members] : configured.items()) {
            auto subnets = members.is_null() ? std::vector<std::string>() : namesOf(members);
            if (!subnets || members.is_object())
                return std::nullopt;
            groups.push_back({name, *subnets});
        }
    } else if (configured.is_null() || configured.is_object()) {
        // One group named after the VNet: the subnets the options put in subnet groups, else
        // every subnet that is not the platform's or the spoke gateway's own.
        Group group{vnet.name(), {}};
        auto listed = namesOf(lookup(optionRecord, "subnet_in_subnet_groups").value_or(Record()));
        if (listed && !listed->empty()) {
            group.subnets = *listed;
        } else {
            for (const auto& name : present) {
                if (!isPlatformSubnet(name))
                    group.subnets.push_back(name);
            }
        }
        groups.push_back(group);
    } else {
        return std::nullopt;
    }

    for (auto& group : groups) {
        std::vector<std::string> kept;
        for (const auto& name : group.subnets) {
            if (std::find(present.begin(), present.end(), name) != present.end()) {
                kept.push_back(name);
            } else {
                log()->warn("  **Alert** subnet " + name + " of subnet group " + group.name +
                            " not found in " + vnet.name() + " -- skipped");
            }
        }
        group.subnets = std::move(kept);
    }
    return groups;
}

// The groups the options ask for, and those the gateway has now.
struct Current {
    std::vector<Group> planned;
    std::vector<Group> existing;
    std::string url;  // the controller's API address
};

// The opening both directions share: nothing (and no line) when subnet groups are off; after the
// heading, nullopt (after an error line) when the options are malformed or the controller's list
// cannot be had.
std::optional<Current> prepare(const std::string& heading, const azure::VirtualNetwork& vnet,
                               const Record& optionRecord, const std::string& gw_name,
                               const std::string& apiBase, const std::string& CID) {
    if (!enabled(optionRecord))
        return std::nullopt;
    log()->info(heading + gw_name);
    const std::string url = apiBase + "api";
    auto planned = plannedGroups(vnet, optionRecord);
    if (!planned) {
        log()->error(
            "  **Error** Option subnet_groups must map each group name to a list of subnet "
            "names, not " +
            lookup(optionRecord, "subnet_groups").value_or(Record()).dump());
        return std::nullopt;
    }
    Current current{std::move(*planned), {}, url};
    try {
        const Record listed = Telvane::list_spoke_subnet_groups(url, CID, gw_name);
        for (const auto& g : listed) {
            Group group{textForm(lookup(g, "group_name").value_or(Record(""))), {}};
            if (auto subnets = namesOf(lookup(g, "subnets").value_or(Record::array())))
                group.subnets = *subnets;
            current.existing.push_back(std::move(group));
        }
    } catch (const std::exception& e) {
        log()->error("  **Error** Failed to list subnet groups of " + gw_name + " -" + e.what());
        return std::nullopt;
    }
    return current;
}

const Group* findGroup(const std::vector<Group>& groups, const std::string& name) {
    for (const auto& g : groups) {
        if (g.name == name)
            return &g;
    }
    return nullptr;
}

bool sameMembers(std::vector<std::string> a, std::vector<std::string> b) {
    std::sort(a.begin(), a.end());
    std::sort(b.begin(), b.end());
    return a == b;
}

}  // namespace

void SubnetGroups::configure(const azure::VirtualNetwork& vnet, const Record& optionRecord,
                             const std::string& gw_name, const std::string& /*transit_name*/,
                             const std::string& apiBase, const std::string& CID) {
    auto current =
        prepare("- Configure subnet groups on ", vnet, optionRecord, gw_name, apiBase, CID);
    if (!current)
        return;
    const std::string& url = current->url;
    const bool dryRun = Globals::getDryRun();
    for (const auto& group : current->planned) {
        if (group.subnets.empty()) {
            log()->info("  subnet group " + group.name + " has no subnet -- skipped");
            continue;
        }
        const std::string list = text::join(group.subnets, ",");
        const Group* existing = findGroup(current->existing, group.name);
        try {
            if (existing && sameMembers(existing->subnets, group.subnets)) {
                log()->info("  subnet group " + group.name + " already holds " + list +
                            " -- skipped");
            } else if (existing) {
                log()->info("  update subnet group " + group.name + " with " + list);
                if (!dryRun)
                    Telvane::update_spoke_subnet_group(url, CID, gw_name, group.name, list);
            } else {
                log()->info("  add subnet group " + group.name + " with " + list);
                if (!dryRun)
                    Telvane::add_spoke_subnet_group(url, CID, gw_name, group.name, list);
            }
        } catch (const std::exception& e) {
            log()->error("  **Error** Failed to configure subnet group " + group.name + " on " +
                         gw_name + " -" + e.what());
        }
    }
}

void SubnetGroups::revert(const azure::VirtualNetwork& vnet, const Record& optionRecord,
                          const std::string& gw_name, const std::string& /*transit_name*/,
                          const std::string& apiBase, const std::string& CID) {
    auto current = prepare("- Revert subnet groups on ", vnet, optionRecord, gw_name, apiBase, CID);
    if (!current)
        return;
    const std::string& url = current->url;
    const bool dryRun = Globals::getDryRun();
    for (const auto& group : current->planned) {
        if (!findGroup(current->existing, group.name)) {
            log()->info("  subnet group " + group.name + " not found on " + gw_name +
                        " -- skipped");
            continue;
        }
        log()->info("  delete subnet group " + group.name);
        if (dryRun)
            continue;
        try {
            Telvane::delete_spoke_subnet_group(url, CID, gw_name, group.name);
        } catch (const std::exception& e) {
            log()->error("  **Error** Failed to delete subnet group " + group.name + " on " +
                         gw_name + " -" + e.what());
        }
    }
}

}  // namespace dm
