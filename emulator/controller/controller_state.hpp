#pragma once
// The controller's state as plain JSON lists, in the shape of the topology's "controller"
// section, so that a dump loads back unchanged and unknown keys survive.

#include <string>
#include <vector>

#include <nlohmann/json.hpp>

namespace dm::emu {

struct ControllerState {
    using Json = nlohmann::ordered_json;

    Json users = Json::array();
    Json accounts = Json::array();
    Json gateways = Json::array();     // each spoke carries "subnet_groups"
    Json attachments = Json::array();  // the attachment's name is its spoke's name
    Json transitPeerings = Json::array();
    Json securityDomains = Json::array();

    // Validates and normalises a "controller" section (null: empty); throws
    // std::invalid_argument naming the entry, e.g. `controller.gateways[2]: missing "gw_name"`.
    static ControllerState fromJson(const Json& section);
    Json toJson() const;

    static bool isSpoke(const Json& gateway) { return gateway["gw_type"] == "spoke"; }

    // Lookups return null when absent.
    const Json* findUser(const std::string& username) const;
    Json* findGateway(const std::string& name);
    Json* findDomain(const std::string& name);
    const Json* findAttachment(const std::string& spoke, const std::string& transit) const;
    const Json* domainOfAttachment(const std::string& attachment) const;
    int attachmentCount(const std::string& spoke) const;
    void removeAttachment(const std::string& spoke, const std::string& transit);

    // CIDRs advertised by the spokes attached to the transit or to a transit peered with it,
    // without repeats, in attachment order.
    std::vector<std::string> receivedCidrs(const std::string& transit) const;
};

}  // namespace dm::emu
