#include "controller/controller_state.hpp"

#include <algorithm>
#include <set>
#include <stdexcept>

namespace dm::emu {
namespace {

using Json = ControllerState::Json;

[[noreturn]] void bad(const std::string& where, const std::string& what) {
    throw std::invalid_argument("controller." + where + ": " + what);
}

// The section's list under `key`, or an empty one; anything but a list of maps is refused.
Json listOf(const Json& section, const std::string& key) {
    if (!section.contains(key))
        return Json::array();
    const Json& list = section[key];
    if (!list.is_array())
        bad(key, "must be a list");
    for (std::size_t i = 0; i < list.size(); ++i) {
        if (!list[i].is_object())
            bad(key + "[" + std::to_string(i) + "]", "must be a map");
    }
    return list;
}

std::string requireText(const Json& entry, const std::string& where, const std::string& key) {
    auto it = entry.find(key);
    if (it == entry.end())
        bad(where, "missing \"" + key + "\"");
    if (!it->is_string() || it->get<std::string>().empty()) {
        bad(where, "\"" + key + "\" must be a non-empty text");
    }
    return it->get<std::string>();
}

void requireTextList(Json& entry, const std::string& where, const std::string& key) {
    if (!entry.contains(key)) {
        entry[key] = Json::array();
        return;
    }
    const Json& list = entry[key];
    if (!list.is_array() ||
        !std::all_of(list.begin(), list.end(), [](const Json& v) { return v.is_string(); })) {
        bad(where, "\"" + key + "\" must be a list of texts");
    }
}

std::string at(const std::string& key, std::size_t i) {
    return key + "[" + std::to_string(i) + "]";
}

}  // namespace

ControllerState ControllerState::fromJson(const Json& section) {
    ControllerState s;
    if (section.is_null())
        return s;
    if (!section.is_object())
        throw std::invalid_argument("controller: must be a map");

    s.users = listOf(section, "users");
    for (std::size_t i = 0; i < s.users.size(); ++i) {
        requireText(s.users[i], at("users", i), "username");
        if (!s.users[i].contains("password") || !s.users[i]["password"].is_string()) {
            bad(at("users", i), "\"password\" must be a text");
        }
    }

    s.accounts = listOf(section, "accounts");
    for (std::size_t i = 0; i < s.accounts.size(); ++i) {
        requireText(s.accounts[i], at("accounts", i), "account_name");
    }

    s.gateways = listOf(section, "gateways");
    std::set<std::string> names;
    for (std::size_t i = 0; i < s.gateways.size(); ++i) {
        Json& gw = s.gateways[i];
        const std::string where = at("gateways", i);
        if (!names.insert(requireText(gw, where, "gw_name")).second) {
            bad(where, "gateway " + gw["gw_name"].get<std::string>() + " is listed twice");
        }
        if (!gw.contains("gw_type"))
            gw["gw_type"] = "spoke";
        if (gw["gw_type"] != "spoke" && gw["gw_type"] != "transit") {
            bad(where, "\"gw_type\" must be spoke or transit");
        }
        if (!gw.contains("cloud_type"))
            gw["cloud_type"] = 8;
        requireTextList(gw, where, "vpc_cidrs");
        requireTextList(gw, where, "advertised_cidrs");
        if (isSpoke(gw)) {
            Json groups = listOf(gw, "subnet_groups");
            for (std::size_t g = 0; g < groups.size(); ++g) {
                const std::string gwhere = where + "." + at("subnet_groups", g);
                requireText(groups[g], gwhere, "group_name");
                requireTextList(groups[g], gwhere, "subnets");
            }
            gw["subnet_groups"] = std::move(groups);
        }
    }

    auto gatewayOfType = [&](const std::string& where, const std::string& name, bool spoke) {
        const Json* gw = s.findGateway(name);
        if (gw == nullptr)
            bad(where, "unknown gateway " + name);
        if (isSpoke(*gw) != spoke) {
            bad(where, name + " is not a " + std::string(spoke ? "spoke" : "transit") + " gateway");
        }
    };

    s.attachments = listOf(section, "attachments");
    for (std::size_t i = 0; i < s.attachments.size(); ++i) {
        Json& a = s.attachments[i];
        const std::string where = at("attachments", i);
        const std::string spoke = requireText(a, where, "spoke_gw_name");
        const std::string transit = requireText(a, where, "transit_gw_name");
        gatewayOfType(where, spoke, true);
        gatewayOfType(where, transit, false);
        for (std::size_t j = 0; j < i; ++j) {
            if (s.attachments[j]["spoke_gw_name"] == spoke &&
                s.attachments[j]["transit_gw_name"] == transit) {
                bad(where, spoke + " is attached to " + transit + " twice");
            }
        }
        requireTextList(a, where, "route_tables");
        if (!a.contains("max_performance"))
            a["max_performance"] = true;
        if (!a["max_performance"].is_boolean())
            bad(where, "\"max_performance\" must be a boolean");
    }

    s.transitPeerings = listOf(section, "transit_peerings");
    for (std::size_t i = 0; i < s.transitPeerings.size(); ++i) {
        const std::string where = at("transit_peerings", i);
        gatewayOfType(where, requireText(s.transitPeerings[i], where, "transit_gw_name1"), false);
        gatewayOfType(where, requireText(s.transitPeerings[i], where, "transit_gw_name2"), false);
    }

    s.securityDomains = listOf(section, "security_domains");
    std::set<std::string> associated;
    for (std::size_t i = 0; i < s.securityDomains.size(); ++i) {
        Json& d = s.securityDomains[i];
        const std::string where = at("security_domains", i);
        requireText(d, where, "domain_name");
        requireTextList(d, where, "attachments");
        for (const auto& name : d["attachments"]) {
            const std::string attachment = name.get<std::string>();
            if (s.attachmentCount(attachment) == 0)
                bad(where, "unknown attachment " + attachment);
            if (!associated.insert(attachment).second) {
                bad(where, "attachment " + attachment + " is in two security domains");
            }
        }
    }
    return s;
}

Json ControllerState::toJson() const {
    return Json{{"users", users},
                {"accounts", accounts},
                {"gateways", gateways},
                {"attachments", attachments},
                {"transit_peerings", transitPeerings},
                {"security_domains", securityDomains}};
}

const Json* ControllerState::findUser(const std::string& username) const {
    for (const auto& u : users) {
        if (u["username"] == username)
            return &u;
    }
    return nullptr;
}

Json* ControllerState::findGateway(const std::string& name) {
    for (auto& gw : gateways) {
        if (gw["gw_name"] == name)
            return &gw;
    }
    return nullptr;
}

Json* ControllerState::findDomain(const std::string& name) {
    for (auto& d : securityDomains) {
        if (d["domain_name"] == name)
            return &d;
    }
    return nullptr;
}

const Json* ControllerState::findAttachment(const std::string& spoke,
                                            const std::string& transit) const {
    for (const auto& a : attachments) {
        if (a["spoke_gw_name"] == spoke && a["transit_gw_name"] == transit)
            return &a;
    }
    return nullptr;
}

const Json* ControllerState::domainOfAttachment(const std::string& attachment) const {
    for (const auto& d : securityDomains) {
        const Json& members = d["attachments"];
        if (std::find(members.begin(), members.end(), Json(attachment)) != members.end()) {
            return &d;
        }
    }
    return nullptr;
}

int ControllerState::attachmentCount(const std::string& spoke) const {
    return static_cast<int>(
        std::count_if(attachments.begin(), attachments.end(),
                      [&](const Json& a) { return a["spoke_gw_name"] == spoke; }));
}

void ControllerState::removeAttachment(const std::string& spoke, const std::string& transit) {
    for (auto it = attachments.begin(); it != attachments.end(); ++it) {
        if ((*it)["spoke_gw_name"] == spoke && (*it)["transit_gw_name"] == transit) {
            attachments.erase(it);
            return;
        }
    }
}

std::vector<std::string> ControllerState::receivedCidrs(const std::string& transit) const {
    std::set<std::string> transits = {transit};
    for (const auto& p : transitPeerings) {
        if (p["transit_gw_name1"] == transit)
            transits.insert(p["transit_gw_name2"].get<std::string>());
        if (p["transit_gw_name2"] == transit)
            transits.insert(p["transit_gw_name1"].get<std::string>());
    }
    std::vector<std::string> received;
    for (const auto& a : attachments) {
        if (!transits.contains(a["transit_gw_name"].get<std::string>()))
            continue;
        for (const auto& gw : gateways) {
            if (gw["gw_name"] != a["spoke_gw_name"])
                continue;
            const Json& cidrs =
                gw["advertised_cidrs"].empty() ? gw["vpc_cidrs"] : gw["advertised_cidrs"];
            for (const auto& c : cidrs) {
                const std::string cidr = c.get<std::string>();
                if (std::find(received.begin(), received.end(), cidr) == received.end()) {
                    received.push_back(cidr);
                }
            }
        }
    }
    return received;
}

}  // namespace dm::emu
