// Security-domain membership of the spoke gateway's attachment on the controller.

#include <string>

#include "core/error.hpp"
#include "dm/arm/cutoverlib.hpp"
#include "dm/arm/library_log.hpp"
#include "services/context/globals.hpp"
#include "services/telvane/telvane.hpp"

namespace dm::arm {

namespace {

// A key of the current VNet's option record; the driver fills them all before any step runs.
Record vnetOption(const char* key) {
    auto value = lookup(Globals::yaml(), key);
    if (!value)
        throw Error(std::string("the VNet's option record has no \"") + key + "\"");
    return *value;
}

// Whether the controller lists the attachment in the domain.
bool isMember(const Record& domain, const Record& attachment) {
    const Record domains =
        Telvane::list_multi_cloud_security_domains(Globals::api_ep_url(), Globals::CID());
    for (const auto& d : domains) {
        auto name = lookup(d, "domain_name");
        auto members = lookup(d, "attachments");
        if (!name || *name != domain || !members || !members->is_array())
            continue;
        for (const auto& member : *members) {
            if (member == attachment)
                return true;
        }
    }
    return false;
}

}  // namespace

void SwitchTraffic::attach_spoke_domain(bool attach) {
    if (vnetOption("configure_gw_name") == false)
        return;
    const Record domain = vnetOption("domain");
    // An empty name means "no domain" as much as null does; sending it would only earn a refusal
    // from the controller, which would stop the whole run.
    if (domain.is_null() || (domain.is_string() && domain.get<std::string>().empty()))
        return;

    auto log = libraryLogger();
    const Record attachment = vnetOption("spoke_gw_name");
    const bool dryRun = Globals::getDryRun();
    Record payload;
    if (attach) {
        payload["action"] = "associate_attachment_to_multi_cloud_security_domain";
        log->info("- Attach " + textForm(attachment) + " to domain " + textForm(domain));
    } else {
        payload["action"] = "disassociate_attachment_from_multi_cloud_security_domain";
        log->info("- Detach " + textForm(attachment) + " from domain " + textForm(domain));
    }
    payload["CID"] = Globals::CID();
    payload["domain_name"] = domain;
    payload["attachment_name"] = attachment;

    if (dryRun)
        return;
    // Already as wanted (a revert run again, or a switch stopped between the attachment and its
    // domain): the controller would refuse the request.
    if (isMember(domain, attachment) == attach) {
        log->debug("  " + textForm(attachment) + (attach ? " already in" : " not in") + " domain " +
                   textForm(domain));
        return;
    }
    Telvane::telvane_post(Globals::api_ep_url(), payload);
}

}  // namespace dm::arm
