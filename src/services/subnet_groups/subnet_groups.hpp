#pragma once
// SubnetGroups: the spoke gateway's subnet groups on the controller.
//
// Options read from the VNet's option record:
//   "configure_subnet_groups": only true turns the service on;
//   "subnet_groups":           map group name -> list of subnet names of the VNet;
//   "subnet_in_subnet_groups": without "subnet_groups", one group named after the VNet holds
//                              these subnets, or, when the list is empty, every subnet that is
//                              neither the platform's nor the spoke gateway's own.
// Subnets the VNet does not have are reported and left out; a group left with none is skipped.

#include <string>

#include "core/record.hpp"
#include "platform/azure/records.hpp"

namespace dm {

class SubnetGroups {
  public:
    static constexpr const char* LOGGER = "dm.arm.lib.subnet_groups";

    // When the option record's "configure_subnet_groups" is true, creates each planned group on
    // the spoke gateway, or replaces the subnets of a group of that name that differs; otherwise
    // does nothing. Controller failures are logged per group, never thrown; in a dry run the
    // groups are read and nothing is changed.
    static void configure(const azure::VirtualNetwork& vnet, const Record& optionRecord,
                          const std::string& gw_name, const std::string& transit_name,
                          const std::string& apiBase, const std::string& CID);

    // Under the same condition, deletes the planned groups that the gateway has; failures are
    // logged per group, never thrown; a dry run changes nothing.
    static void revert(const azure::VirtualNetwork& vnet, const Record& optionRecord,
                       const std::string& gw_name, const std::string& transit_name,
                       const std::string& apiBase, const std::string& CID);
};

}  // namespace dm
