#pragma once
// SubnetGroups: the spoke gateway's subnet groups on the controller.

#include <string>

#include "core/record.hpp"
#include "platform/azure/records.hpp"

namespace dm {

class SubnetGroups {
public:
    // Configures the spoke gateway's subnet groups when the option record's
    // "configure_subnet_groups" is true; otherwise does nothing.
    static void configure(const azure::VirtualNetwork& vnet, const Record& optionRecord,
                          const std::string& gw_name, const std::string& transit_name,
                          const std::string& apiBase, const std::string& CID);

    // Removes what configure set up, under the same condition.
    static void revert(const azure::VirtualNetwork& vnet, const Record& optionRecord,
                       const std::string& gw_name, const std::string& transit_name,
                       const std::string& apiBase, const std::string& CID);
};

}  // namespace dm
