// The controller's answers as the client and its callers read them: login, the list actions,
// refusals and HTTP errors, the gateway and account lists of the transit lookup, and the subnet
// groups. The input is an operation line and the answers (see fuzz_support.hpp). Beyond not
// crashing, it checks what the client promises: its errors never carry the password or the login
// id, and a reply read with a list selection equals the whole reply reduced the same way.

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "core/error.hpp"
#include "core/json.hpp"
#include "dm/arm/cutoverlib.hpp"
#include "fuzz_support.hpp"
#include "services/subnet_groups/subnet_groups.hpp"
#include "services/telvane/telvane.hpp"

namespace {

using dm::Record;
using dm::Telvane;
using dm::fuzz::require;

const std::string kUrl = "https://ctrl.fuzz/v1/api";
const std::string kPassword = "pa ss+w/rd\"x";
const std::string kCid = "cid-7f3a/9=&q";

// The reduction parseJsonSelecting makes, done on the whole reply.
Record reduced(Record reply, const dm::ListSelection& selection) {
    if (!reply.is_object())
        return reply;
    auto list = reply.find(selection.listKey);
    if (list == reply.end() || !list->is_array())
        return reply;
    Record kept = Record::array();
    for (const Record& entry : *list) {
        if (!entry.is_object()) {
            kept.push_back(entry);
            continue;
        }
        if (selection.where) {
            auto field = entry.find(selection.where->first);
            if (field != entry.end() && *field != Record(std::string(selection.where->second)))
                continue;
        }
        Record out = selection.keys.empty() ? entry : Record::object();
        if (!selection.keys.empty()) {
            for (const auto& [key, value] : entry.items()) {
                for (std::string_view wanted : selection.keys) {
                    if (key == wanted)
                        out[key] = value;
                }
            }
        }
        kept.push_back(std::move(out));
    }
    *list = std::move(kept);
    return reply;
}

void checkSelection(const std::string& body) {
    const auto whole = dm::parseJson(body);
    const std::vector<dm::ListSelection> selections = {
        {"results", {"gw_name", "advertised_cidrs"}, std::nullopt},
        {"results", {}, std::pair{std::string_view("gw_name"), std::string_view("transit-gw")}},
    };
    for (const auto& selection : selections) {
        const auto selected = dm::parseJsonSelecting(body, selection);
        require(selected.has_value() == whole.has_value(), "selecting read disagrees: " + body);
        if (whole)
            require(*selected == reduced(*whole, selection), "selecting read differs: " + body);
    }
}

// The client masks what the request carried: the password of the login, the login id of every
// other action.
void checkMasked(const std::string& operation, const std::string& message) {
    const std::string& secret = operation == "login" ? kPassword : kCid;
    require(message.find(secret) == std::string::npos,
            "an error carries the password or login id: " + message);
}

void run(const std::string& operation, dm::RunContext& run) {
    if (operation == "login") {
        Telvane::getCid("ctrl.fuzz", "admin", kPassword);
    } else if (operation == "adv_cidr") {
        Telvane::get_spoke_gw_adv_cidr(kUrl, kCid);
    } else if (operation == "attached") {
        Telvane::list_attached_spoke(kUrl, kCid, "transit-gw");
    } else if (operation == "received") {
        Telvane::check_transit_received_cidr(kUrl, kCid, "transit-gw", "10.1.0.0/16");
    } else if (operation == "change") {
        Telvane::edit_gw_adv_cidr(kUrl, kCid, "spoke-gw", "10.1.0.0/16");
        Telvane::telvane_post(kUrl, Record{{"action", "add_spoke_to_domain"}, {"CID", kCid}});
    } else if (operation == "subnet_groups") {
        const dm::azure::VirtualNetwork vnet(Record::parse(R"({"name": "spoke1",
            "properties": {"subnets": [{"name": "app"}, {"name": "db"}]}})"));
        const Record options = {{"configure_subnet_groups", true},
                                {"subnet_groups", nullptr},
                                {"subnet_in_subnet_groups", Record::array()}};
        dm::SubnetGroups::configure(vnet, options, "spoke-gw", "transit-gw", run.apiBase, kCid);
        dm::SubnetGroups::revert(vnet, options, "spoke-gw", "transit-gw", run.apiBase, kCid);
    } else if (operation == "transit") {
        dm::arm::SwitchTraffic::getTransitVnet(kUrl, kCid, "transit-gw");
    } else if (operation == "lists") {
        Telvane::list_gateway_info(kUrl, kCid).json();
        Telvane::list_accounts(kUrl, kCid).json();
        Telvane::list_spoke_subnet_groups(kUrl, kCid, "spoke-gw");
    }
}

const std::vector<std::string> kOperations = {"login",  "adv_cidr",      "attached", "received",
                                              "change", "subnet_groups", "transit",  "lists"};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    dm::fuzz::FreshRun fresh;
    dm::fuzz::Script script = dm::fuzz::readScript(data, size, kOperations);
    const std::string& operation = script.operation;
    for (const auto& answer : script.answers)
        checkSelection(answer.body);

    fresh.run.apiBase = "https://ctrl.fuzz/v1/";
    fresh.run.apiEndpointUrl = kUrl;
    fresh.run.cid = kCid;
    Telvane::configure({std::nullopt, std::make_shared<dm::fuzz::ScriptedTransport>(
                                          std::move(script.answers),
                                          dm::fuzz::answer(200, R"({"return": true})"))});
    try {
        run(operation, fresh.run);
    } catch (const dm::Error& e) {
        checkMasked(operation, e.what());
    }
    return 0;
}
