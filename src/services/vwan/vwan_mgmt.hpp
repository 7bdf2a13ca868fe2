#pragma once
// VWanMgmt: the virtual-hub connections of spoke VNets (virtual WAN).

#include <string>

#include "core/record.hpp"
#include "platform/azure/records.hpp"

namespace dm {

class VWanMgmt {
public:
    // The hub's name when `remoteVnetId` is the VNet side of a hub connection (the id points
    // into a hub's managed VNet), else "". Pure text; no request is made.
    static std::string getVHubNameFromPeering(const std::string& remoteVnetId);

    // Deletes, waiting for each, every hub connection of the VNet; returns the deleted
    // connections as a list of records (empty when there were none).
    static Record deleteVHubConnection(const azure::VirtualNetwork& vnet, const Record& optionRecord);

    // A storable form of what deleteVHubConnection returned, holding all that re-creation needs.
    static Record getSerialize(const Record& connections);

    // Re-creates, waiting for each, the connections of a stored form; a failing connection is
    // logged and the others are still re-created.
    static void restoreVhcConnection(const azure::VirtualNetwork& vnet, const Record& optionRecord,
                                     const Record& stored);
};

}  // namespace dm
