#pragma once
// What the pieces of CloudModel share beyond cloud_state.hpp: small helpers, resource lookups,
// peering rules, views, the operation engine and the lock checks. Each group names the file that
// defines it. Only the cloud_*.cpp files include this.

#include <chrono>
#include <cstddef>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "cloud_model.hpp"
#include "cloud_state.hpp"

namespace dm::emu {

// ---- helpers (cloud_model.cpp) ----------------------------------------------------------------

std::vector<std::string> segments(const std::string& path);  // the non-empty path segments
std::string nowIso();                                        // UTC, in ARM's timestamp format
std::string randomHex(size_t chars);
Reply jsonReply(int status, Json body);
bool hasLocation(Kind kind);  // whether the kind carries its own "location"
std::string plainLocation(const std::string& location);  // "West Europe" -> "westeurope"
std::string refId(const Json& ref);                      // {"id": ...} -> id, or ""
std::string remoteOf(const Entry& e);                    // a peering's or connection's remote VNet
std::string parentKey(const std::string& key);
bool underScope(const std::string& key, const std::string& scope);  // equal to it or below it
std::string newEtag();

// The direct children of `parent` in one collection, in creation order.
std::vector<std::pair<std::string, const Entry*>> children(const CloudModel::State& s,
                                                           const std::string& parent,
                                                           const std::string& collection);
Entry* findKind(CloudModel::State& s, const std::string& key, Kind kind);

// ---- peering rules (cloud_peerings.cpp) --------------------------------------------------------

const Entry* hubOfManagedVnet(const CloudModel::State& s, const std::string& vnetKey);
Entry* peeringTo(CloudModel::State& s, const std::string& vnetKey, const std::string& remoteKey);
void setPeeringState(Entry& e, const std::string& state);
std::string peeringState(const Entry& e);
void peeringCreated(CloudModel::State& s, const std::string& key);
// A Connected peering back from the remote VNet turns Disconnected.
void peeringDeleted(CloudModel::State& s, const std::string& vnetKey, const std::string& remoteKey);
void removeHubPeering(CloudModel::State& s, const std::string& vnetKey, const Entry& hub);

// ---- views (cloud_views.cpp) -------------------------------------------------------------------

// Subnets by the key of the route table they name, in creation order.
using RouteTableUsers = std::map<std::string, std::vector<const Entry*>>;

// "Succeeded", or "Updating"/"Deleting" while an operation on the resource is unfinished.
std::string pendingState(const CloudModel::State& s, const std::string& key);
void dropStaleCaches(CloudModel::State& s);
RouteTableUsers routeTableUsers(const CloudModel::State& s);
const Entry& shownEntry(const CloudModel::State& s, const std::string& key, const Entry& stored,
                        Entry& scratch);
// The resource as answers show it, with its computed properties; `users` saves a listing from
// rebuilding the route-table index for every route table.
Json view(const CloudModel::State& s, const std::string& key, const Entry& e,
          const std::string& provisioning, const RouteTableUsers* users = nullptr);
Json viewKey(const CloudModel::State& s, const std::string& key);  // null when absent

// ---- operations (cloud_operations.cpp) ---------------------------------------------------------

void applyOperation(CloudModel::State& s, Operation& op);
void completeOperation(CloudModel::State& s, Operation& op);
void completeUnder(CloudModel::State& s, const std::string& scopeKey);
// Completes, in the order they started, the operations whose end time has come.
void completeDue(CloudModel::State& s, std::chrono::steady_clock::time_point now);
std::string conflictScope(Kind kind, const std::string& key);
Json operationStatus(const Operation& op);

// ---- locks (cloud_locks.cpp) -------------------------------------------------------------------

// The lock that refuses a write (or a deletion) of `key`, or null.
const Lock* blockingLock(const CloudModel::State& s, const std::string& key, bool deleting);
Reply scopeLocked(const std::string& id, const Lock& lock, bool deleting);
Json lockView(const Lock& lock);

}  // namespace dm::emu
