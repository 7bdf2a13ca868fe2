#pragma once
// VWanMgmt: the virtual-hub connections of spoke VNets (virtual WAN).
//
// Which subscriptions are searched for hubs follows the option record's "vwan" value:
//   null, absent or true: the VNet's own subscription, then every other subscription of the
//                         discovery document that has a credential (hubs usually live apart);
//   false:                none (the account has no virtual WAN);
//   a subscription id, or a list of them: exactly those, in that order.
// A VNet none of whose peerings leads into a hub's managed VNet has no hub connection, so no hub
// is listed for it.
//
// deleteVHubConnection returns one record per removed connection:
//   {"hubSubscriptionId", "hubRgName", "hubName", "connectionName", "connection": <as read>}
// getSerialize keeps the same keys and reduces "connection" to what a PUT takes back:
//   {"id", "name", "properties": <properties minus the read-only parts>}.

#include <string>

#include "core/record.hpp"
#include "platform/azure/records.hpp"

namespace dm {

class VWanMgmt {
  public:
    static constexpr const char* LOGGER = "dm.arm.res.VWanMgmt";

    // The hub's name when `remoteVnetId` is the VNet side of a hub connection (the id points
    // into a hub's managed VNet), else "". Pure text; no request is made.
    static std::string getVHubNameFromPeering(const std::string& remoteVnetId);

    // Deletes, waiting for each, every hub connection of the VNet; returns the deleted
    // connections as a list of records (empty when there were none). A connection whose delete
    // failed and that still exists is logged and left out; in a dry run nothing is deleted and
    // the list holds what would have been. Read failures are logged, never thrown.
    // `recordAhead`, when given, gets the stored form (getSerialize) of each connection appended
    // before its delete is sent, and taken back when the delete failed and it is still there.
    static Record deleteVHubConnection(const azure::VirtualNetwork& vnet,
                                       const Record& optionRecord, Record* recordAhead = nullptr);

    // A storable form of what deleteVHubConnection returned, holding all that re-creation needs
    // (an already stored form comes back unchanged); null gives an empty list, a malformed
    // entry is a dm::Error.
    static Record getSerialize(const Record& connections);

    // Re-creates, waiting for each, the connections of a stored form; a failing connection is
    // logged and the others are still re-created. Nothing is sent in a dry run.
    static void restoreVhcConnection(const azure::VirtualNetwork& vnet, const Record& optionRecord,
                                     const Record& stored);
};

}  // namespace dm
