// The controller model: gateways, accounts, attachments, transit peerings, security domains and
// subnet groups, answering the controller API actions (docs/controller-api.md).
#include "controller/controller_model.hpp"

#include <algorithm>
#include <mutex>
#include <random>
#include <set>
#include <stdexcept>
#include <utility>
#include <vector>

#include "controller/controller_overrides.hpp"
#include "controller/controller_state.hpp"
#include "core/ip_network.hpp"

namespace dm::emu {
namespace {

using Json = ControllerModel::Json;
using Form = std::map<std::string, std::string>;

// Thrown inside an action to answer {"return": false, "reason": ...}.
struct Refusal {
    std::string reason;
};

[[noreturn]] void refuse(std::string reason) {
    throw Refusal{std::move(reason)};
}

const std::string& param(const Form& form, const std::string& name) {
    auto it = form.find(name);
    if (it == form.end())
        refuse("missing parameter " + name);
    return it->second;
}

std::string optionalParam(const Form& form, const std::string& name) {
    auto it = form.find(name);
    return it == form.end() ? std::string() : it->second;
}

// Items of a ","-joined list, blanks trimmed, empty items dropped.
std::vector<std::string> splitList(const std::string& text) {
    std::vector<std::string> items;
    std::size_t start = 0;
    while (start <= text.size()) {
        std::size_t end = text.find(',', start);
        if (end == std::string::npos)
            end = text.size();
        std::string item = text.substr(start, end - start);
        const auto first = item.find_first_not_of(" \t");
        if (first != std::string::npos) {
            items.push_back(item.substr(first, item.find_last_not_of(" \t") - first + 1));
        }
        start = end + 1;
    }
    return items;
}

Json toJsonList(const std::vector<std::string>& items) {
    Json list = Json::array();
    for (const auto& item : items)
        list.push_back(item);
    return list;
}

std::string newLoginId() {
    static std::mt19937_64 engine{std::random_device{}()};
    static const char* digits = "0123456789abcdef";
    std::string id;
    for (int i = 0; i < 2; ++i) {
        auto value = engine();
        for (int d = 0; d < 16; ++d, value >>= 4)
            id += digits[value & 0xf];
    }
    return id;
}

Json ok(Json results) {
    return Json{{"return", true}, {"results", std::move(results)}};
}

class Controller : public ControllerModel {
  public:
    explicit Controller(WriteSink sink) : sink_(std::move(sink)) {}

    void load(const Json& section) override {
        ControllerState next = ControllerState::fromJson(section);
        ControllerOverrides nextOverrides = ControllerOverrides::fromJson(
            section.is_object() && section.contains("overrides") ? section["overrides"] : Json(),
            "controller.overrides");
        std::lock_guard lock(mutex_);
        state_ = std::move(next);
        overrides_ = std::move(nextOverrides);
        // Login ids stay valid while their user is still known, like sessions across a reload.
        std::erase_if(sessions_, [&](const auto& s) { return !state_.findUser(s.second); });
    }

    Json dump() const override {
        std::lock_guard lock(mutex_);
        Json d = state_.toJson();
        if (!overrides_.empty()) {
            d["overrides"] = overrides_.toJson();
        }
        return d;
    }

    Json addOverride(const Json& rule) override {
        ControllerOverride parsed = ControllerOverrides::parse(rule, "override");
        Json stored = parsed.rule;
        std::lock_guard lock(mutex_);
        overrides_.add(std::move(parsed));
        return stored;
    }

    void clearOverrides() override {
        std::lock_guard lock(mutex_);
        overrides_.clear();
    }

    Json overrides() const override {
        std::lock_guard lock(mutex_);
        return overrides_.toJson();
    }

    ControllerReply handle(const Form& form) override {
        Json entry;
        ControllerReply reply;
        {
            std::lock_guard lock(mutex_);
            reply = answer(form, entry);
        }
        // Outside the lock: the sink takes the emulator's own lock.
        if (!entry.is_null() && sink_)
            sink_(entry);
        return reply;
    }

  private:
    using Action = Json (Controller::*)(const Form&);
    struct ActionInfo {
        Action run;
        bool changes;
    };

    static const std::map<std::string, ActionInfo>& actions() {
        static const std::map<std::string, ActionInfo> table = {
            {"login", {&Controller::login, false}},
            {"list_gateways", {&Controller::listGateways, false}},
            {"list_accounts", {&Controller::listAccounts, false}},
            {"list_spoke_gateway_advertised_cidrs", {&Controller::listAdvertised, false}},
            {"list_attached_spokes", {&Controller::listAttached, false}},
            {"list_gateway_received_cidrs", {&Controller::listReceived, false}},
            {"list_multi_cloud_security_domains", {&Controller::listDomains, false}},
            {"list_spoke_subnet_groups", {&Controller::listSubnetGroups, false}},
            {"attach_spoke_to_transit_gateway", {&Controller::attach, true}},
            {"detach_spoke_from_transit_gateway", {&Controller::detach, true}},
            {"edit_gateway_advertised_cidrs", {&Controller::editAdvertised, true}},
            {"associate_attachment_to_multi_cloud_security_domain", {&Controller::associate, true}},
            {"disassociate_attachment_from_multi_cloud_security_domain",
             {&Controller::disassociate, true}},
            {"add_spoke_subnet_group", {&Controller::addSubnetGroup, true}},
            {"update_spoke_subnet_group", {&Controller::updateSubnetGroup, true}},
            {"delete_spoke_subnet_group", {&Controller::deleteSubnetGroup, true}},
        };
        return table;
    }

    ControllerReply answer(const Form& form, Json& entry) {
        try {
            auto actionIt = form.find("action");
            if (actionIt == form.end())
                refuse("missing \"action\"");
            const std::string& action = actionIt->second;
            // A fixed answer wins over the model, for any action name, and changes nothing; the
            // login id is still required as for the action itself.
            if (const ControllerOverride* fixed = overrides_.find(form); fixed != nullptr) {
                if (action != "login")
                    checkLoginId(form);
                return fixed->reply();
            }
            auto info = actions().find(action);
            if (info == actions().end())
                refuse("unknown action " + action);
            if (action != "login")
                checkLoginId(form);
            Json results = (this->*(info->second.run))(form);
            if (info->second.changes)
                entry = writeEntry(action, form);
            return {200, ok(std::move(results)).dump()};
        } catch (const Refusal& r) {
            return {200, Json{{"return", false}, {"reason", r.reason}}.dump()};
        } catch (const std::exception& e) {
            // A model fault, not a refusal: answer like a server error so tests notice.
            entry = Json();
            return {500,
                    Json{{"return", false}, {"reason", std::string("internal error: ") + e.what()}}
                        .dump()};
        }
    }

    void checkLoginId(const Form& form) const {
        auto cid = form.find("CID");
        if (cid == form.end() || !sessions_.contains(cid->second)) {
            refuse("CID is invalid or expired");
        }
    }

    static Json writeEntry(const std::string& action, const Form& form) {
        Json fields = Json::object();
        for (const auto& [name, value] : form) {
            if (name != "action" && name != "CID" && name != "password")
                fields[name] = value;
        }
        return Json{{"service", "controller"}, {"action", action}, {"fields", std::move(fields)}};
    }

    // --- lookups that refuse --------------------------------------------------------------

    Json& gateway(const std::string& name) {
        Json* gw = state_.findGateway(name);
        if (gw == nullptr)
            refuse("gateway " + name + " not found");
        return *gw;
    }

    Json& spoke(const std::string& name) {
        Json& gw = gateway(name);
        if (!ControllerState::isSpoke(gw))
            refuse(name + " is not a spoke gateway");
        return gw;
    }

    Json& transit(const std::string& name) {
        Json& gw = gateway(name);
        if (ControllerState::isSpoke(gw))
            refuse(name + " is not a transit gateway");
        return gw;
    }

    Json& domain(const std::string& name) {
        Json* d = state_.findDomain(name);
        if (d == nullptr)
            refuse("security domain " + name + " not found");
        return *d;
    }

    // --- reading actions ------------------------------------------------------------------

    Json login(const Form& form) {
        const Json* user = state_.findUser(param(form, "username"));
        if (user == nullptr || user->value("password", "") != param(form, "password")) {
            refuse("invalid username or password");
        }
        std::string id = newLoginId();
        sessions_[id] = (*user)["username"].get<std::string>();
        return Json{{"CID", id}};
    }

    Json listGateways(const Form& form) {
        const std::string account = optionalParam(form, "vpc_access_account_name");
        Json list = Json::array();
        for (const auto& gw : state_.gateways) {
            if (account.empty() || gw.value("account_name", "") == account)
                list.push_back(gw);
        }
        return list;
    }

    Json listAccounts(const Form& form) {
        const std::string iam = optionalParam(form, "iam_based");
        if (!iam.empty() && iam != "true" && iam != "false") {
            refuse("iam_based must be true or false");
        }
        return Json{{"account_list", state_.accounts}};
    }

    Json listAdvertised(const Form&) {
        Json list = Json::array();
        for (const auto& gw : state_.gateways) {
            if (!ControllerState::isSpoke(gw))
                continue;
            list.push_back(
                Json{{"gw_name", gw["gw_name"]}, {"advertised_cidrs", gw["advertised_cidrs"]}});
        }
        return list;
    }

    Json listAttached(const Form& form) {
        const std::string& name = param(form, "transit_gw_name");
        transit(name);
        Json list = Json::array();
        for (const auto& a : state_.attachments) {
            if (a["transit_gw_name"] == name)
                list.push_back(a);
        }
        return list;
    }

    Json listReceived(const Form& form) {
        const std::string& name = param(form, "gw_name");
        transit(name);
        return toJsonList(state_.receivedCidrs(name));
    }

    Json listDomains(const Form&) { return state_.securityDomains; }

    Json listSubnetGroups(const Form& form) {
        return spoke(param(form, "gw_name"))["subnet_groups"];
    }

    // --- changing actions -----------------------------------------------------------------

    Json attach(const Form& form) {
        const std::string& spokeName = param(form, "spoke_gw_name");
        const std::string& transitName = param(form, "transit_gw_name");
        spoke(spokeName);
        transit(transitName);
        if (state_.findAttachment(spokeName, transitName) != nullptr) {
            refuse(spokeName + " is already attached to " + transitName);
        }
        bool maxPerformance = true;
        if (auto it = form.find("no_max_performance"); it != form.end()) {
            if (it->second != "true" && it->second != "false") {
                refuse("no_max_performance must be true or false");
            }
            maxPerformance = it->second == "false";
        }
        state_.attachments.push_back(
            Json{{"spoke_gw_name", spokeName},
                 {"transit_gw_name", transitName},
                 {"route_tables", toJsonList(splitList(optionalParam(form, "route_table_list")))},
                 {"max_performance", maxPerformance}});
        return spokeName + " attached to " + transitName;
    }

    Json detach(const Form& form) {
        const std::string& spokeName = param(form, "spoke_gw_name");
        const std::string& transitName = param(form, "transit_gw_name");
        spoke(spokeName);
        transit(transitName);
        if (state_.findAttachment(spokeName, transitName) == nullptr) {
            refuse(spokeName + " is not attached to " + transitName);
        }
        const bool lastAttachment = state_.attachmentCount(spokeName) == 1;
        if (const Json* d = state_.domainOfAttachment(spokeName); d != nullptr && lastAttachment) {
            refuse("attachment " + spokeName + " is still associated with security domain " +
                   (*d)["domain_name"].get<std::string>());
        }
        state_.removeAttachment(spokeName, transitName);
        return spokeName + " detached from " + transitName;
    }

    Json editAdvertised(const Form& form) {
        Json& gw = gateway(param(form, "gw_name"));
        std::vector<std::string> cidrs = splitList(param(form, "cidrs"));
        for (const auto& cidr : cidrs) {
            try {
                IpNetwork::parse(cidr);
            } catch (const std::exception&) {
                refuse("invalid CIDR " + cidr);
            }
        }
        gw["advertised_cidrs"] = toJsonList(cidrs);
        return "advertised CIDRs of " + gw["gw_name"].get<std::string>() + " updated";
    }

    Json associate(const Form& form) {
        Json& d = domain(param(form, "domain_name"));
        const std::string& name = param(form, "attachment_name");
        if (state_.attachmentCount(name) == 0)
            refuse("attachment " + name + " not found");
        if (const Json* current = state_.domainOfAttachment(name)) {
            refuse("attachment " + name + " is already associated with security domain " +
                   (*current)["domain_name"].get<std::string>());
        }
        d["attachments"].push_back(name);
        return name + " associated with " + d["domain_name"].get<std::string>();
    }

    Json disassociate(const Form& form) {
        Json& d = domain(param(form, "domain_name"));
        const std::string& name = param(form, "attachment_name");
        Json& members = d["attachments"];
        auto it = std::find(members.begin(), members.end(), Json(name));
        if (it == members.end()) {
            refuse("attachment " + name + " is not associated with security domain " +
                   d["domain_name"].get<std::string>());
        }
        members.erase(it);
        return name + " disassociated from " + d["domain_name"].get<std::string>();
    }

    Json* findGroup(Json& gw, const std::string& group) {
        for (auto& g : gw["subnet_groups"]) {
            if (g["group_name"] == group)
                return &g;
        }
        return nullptr;
    }

    // Refuses a subnet that another group of the same gateway already holds.
    void checkSubnetsFree(Json& gw, const std::string& group,
                          const std::vector<std::string>& subnets) {
        for (const auto& g : gw["subnet_groups"]) {
            if (g["group_name"] == group)
                continue;
            for (const auto& s : subnets) {
                const Json& held = g["subnets"];
                if (std::find(held.begin(), held.end(), Json(s)) != held.end()) {
                    refuse("subnet " + s + " is already in subnet group " +
                           g["group_name"].get<std::string>());
                }
            }
        }
    }

    Json addSubnetGroup(const Form& form) {
        const std::string& gwName = param(form, "gw_name");
        const std::string& group = param(form, "group_name");
        Json& gw = spoke(gwName);
        if (findGroup(gw, group) != nullptr) {
            refuse("subnet group " + group + " already exists on " + gwName);
        }
        std::vector<std::string> subnets = splitList(optionalParam(form, "subnet_list"));
        checkSubnetsFree(gw, group, subnets);
        gw["subnet_groups"].push_back(
            Json{{"group_name", group}, {"subnets", toJsonList(subnets)}});
        return "subnet group " + group + " added to " + gwName;
    }

    Json updateSubnetGroup(const Form& form) {
        const std::string& gwName = param(form, "gw_name");
        const std::string& group = param(form, "group_name");
        Json& gw = spoke(gwName);
        Json* g = findGroup(gw, group);
        if (g == nullptr)
            refuse("subnet group " + group + " not found on " + gwName);
        std::vector<std::string> subnets = splitList(param(form, "subnet_list"));
        checkSubnetsFree(gw, group, subnets);
        (*g)["subnets"] = toJsonList(subnets);
        return "subnet group " + group + " of " + gwName + " updated";
    }

    Json deleteSubnetGroup(const Form& form) {
        const std::string& gwName = param(form, "gw_name");
        const std::string& group = param(form, "group_name");
        Json& groups = spoke(gwName)["subnet_groups"];
        for (auto it = groups.begin(); it != groups.end(); ++it) {
            if ((*it)["group_name"] == group) {
                groups.erase(it);
                return "subnet group " + group + " deleted from " + gwName;
            }
        }
        refuse("subnet group " + group + " not found on " + gwName);
    }

    mutable std::mutex mutex_;
    WriteSink sink_;
    ControllerState state_;
    ControllerOverrides overrides_;
    std::map<std::string, std::string> sessions_;  // login id -> user name
};

}  // namespace

std::unique_ptr<ControllerModel> makeControllerModel(ControllerModel::WriteSink sink) {
    return std::make_unique<Controller>(std::move(sink));
}

}  // namespace dm::emu
