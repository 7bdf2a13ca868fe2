#include "cloud_model.hpp"

#include <algorithm>
#include <cctype>
#include <ctime>
#include <functional>
#include <random>
#include <regex>
#include <set>

#include "cloud_state.hpp"
#include "core/error.hpp"
#include "core/text.hpp"

namespace dm::emu {
namespace {

using dm::text::iequals;
using dm::text::startsWith;
using dm::text::toLower;
using Clock = std::chrono::system_clock;

// The api-versions each provider accepts; the first one is the version of our own status URLs.
const std::vector<std::string> kNetworkVersions = {"2024-05-01", "2024-03-01", "2024-01-01",
                                                   "2023-11-01", "2023-09-01"};
const std::vector<std::string> kLockVersions = {"2020-05-01", "2016-09-01"};
const std::vector<std::string> kGraphVersions = {"2021-03-01", "2022-10-01", "2024-04-01"};
const std::vector<std::string> kResourceVersions = {"2022-12-01", "2021-04-01", "2020-01-01"};

std::vector<std::string> segments(const std::string& path) {
    std::vector<std::string> out;
    for (auto& s : dm::text::split(path, '/')) {
        if (!s.empty()) {
            out.push_back(s);
        }
    }
    return out;
}

std::string nowIso() {
    const std::time_t t = Clock::to_time_t(Clock::now());
    std::tm tm{};
    gmtime_r(&t, &tm);
    char buf[40];
    std::strftime(buf, sizeof buf, "%Y-%m-%dT%H:%M:%S.0000000Z", &tm);
    return buf;
}

std::string randomHex(size_t chars) {
    static thread_local std::mt19937_64 rng{std::random_device{}()};
    static const char* digits = "0123456789abcdef";
    std::string out;
    while (out.size() < chars) {
        uint64_t v = rng();
        for (int i = 0; i < 16 && out.size() < chars; ++i, v >>= 4) {
            out.push_back(digits[v & 0xf]);
        }
    }
    return out;
}

Reply jsonReply(int status, Json body) {
    Reply r;
    r.status = status;
    r.body = std::move(body);
    return r;
}

Reply aadError(int status, const std::string& error, int code, const std::string& description) {
    const std::string trace = stableGuid(randomHex(16));
    return jsonReply(status, Json{{"error", error},
                                  {"error_description", "AADSTS" + std::to_string(code) + ": " +
                                                            description + " Trace ID: " + trace},
                                  {"error_codes", Json::array({code})},
                                  {"timestamp", nowIso()},
                                  {"trace_id", trace},
                                  {"correlation_id", stableGuid(randomHex(16))}});
}

bool hasLocation(Kind kind) {
    return kind == Kind::VirtualNetwork || kind == Kind::RouteTable || kind == Kind::Gateway ||
           kind == Kind::Hub;
}

std::string plainLocation(const std::string& location) {
    std::string out;
    for (char c : toLower(location)) {
        if (c != ' ') {
            out.push_back(c);
        }
    }
    return out;
}

std::string refId(const Json& ref) {
    if (ref.is_object() && ref.contains("id") && ref["id"].is_string()) {
        return ref["id"].get<std::string>();
    }
    return "";
}

std::string remoteOf(const Entry& e) {
    const Json& p = e.body["properties"];
    return p.is_object() && p.contains("remoteVirtualNetwork") ? refId(p["remoteVirtualNetwork"])
                                                               : "";
}

// The parent key of a child id key: everything before its last two segments.
std::string parentKey(const std::string& key) {
    size_t cut = key.rfind('/');
    cut = cut == std::string::npos || cut == 0 ? 0 : key.rfind('/', cut - 1);
    return cut == std::string::npos ? "" : key.substr(0, cut);
}

bool underScope(const std::string& key, const std::string& scope) {
    return key == scope ||
           (startsWith(key, scope) && key.size() > scope.size() && key[scope.size()] == '/');
}

// Subnets by the key of the route table they name, in creation order.
using RouteTableUsers = std::map<std::string, std::vector<const Entry*>>;

// Handles one call against the state; lives for that call only.
class Handler {
  public:
    Handler(CloudModel::State& s, const ModelSettings& settings, const std::string& base,
            const ArmCall& call)
        : s_(s), settings_(settings), base_(base), c_(call) {}

    Reply arm();
    Reply resourceGraph();

  private:
    CloudModel::State& s_;
    const ModelSettings& settings_;
    const std::string& base_;
    const ArmCall& c_;
    const Principal* who_ = nullptr;

    std::optional<Reply> authenticate();
    std::optional<Reply> checkVersion(const std::vector<std::string>& accepted);
    std::optional<Reply> checkSubscription(const std::string& subscription);
    Reply methodNotAllowed() const;

    Reply subscriptionsRoute(const std::vector<std::string>& segs);
    Reply groupRoute(const ResourceGroup& rg, const std::vector<std::string>& segs);
    Reply locksRoute(const std::vector<std::string>& scope, const std::vector<std::string>& rest);
    Reply pollRoute(const std::string& opId, bool resultStyle);
    Reply page(size_t total, const std::function<Json(size_t)>& item);
    Reply listKind(Kind kind, const std::string& prefix);
    const CloudModel::State::Listing& sortedOfKind(Kind kind, const std::string& prefix);
    const RouteTableUsers& subnetsByRouteTable();

    Reply get(const std::string& key, const std::string& notFoundCode,
              const std::string& notFoundMessage);
    Reply put(Kind kind, const std::string& id, const std::string& name);
    Reply remove(Kind kind, const std::string& key);
    std::optional<Reply> conflicts(const std::string& scopeKey);
    Reply startOperation(Operation op, int status, Json body);
};

}  // namespace

// ---- shared helpers -------------------------------------------------------------------------

std::string idKey(const std::string& id) {
    // One pass, no splitting: this runs for every resource when indexes are rebuilt.
    std::string out;
    out.reserve(id.size() + 1);
    bool separator = true;
    for (const char c : id) {
        if (c == '/') {
            separator = true;
            continue;
        }
        if (separator) {
            out.push_back('/');
            separator = false;
        }
        out.push_back(static_cast<char>(std::tolower(static_cast<unsigned char>(c))));
    }
    return out;
}

std::string groupKey(const std::string& subscription, const std::string& group) {
    return "/subscriptions/" + toLower(subscription) + "/resourcegroups/" + toLower(group);
}

std::string kindType(Kind kind) {
    switch (kind) {
        case Kind::VirtualNetwork:
            return "Microsoft.Network/virtualNetworks";
        case Kind::Subnet:
            return "Microsoft.Network/virtualNetworks/subnets";
        case Kind::Peering:
            return "Microsoft.Network/virtualNetworks/virtualNetworkPeerings";
        case Kind::RouteTable:
            return "Microsoft.Network/routeTables";
        case Kind::Gateway:
            return "Microsoft.Network/virtualNetworkGateways";
        case Kind::Hub:
            return "Microsoft.Network/virtualHubs";
        case Kind::HubConnection:
            return "Microsoft.Network/virtualHubs/hubVirtualNetworkConnections";
    }
    return "";
}

std::string stableGuid(const std::string& seed) {
    auto fnv = [&seed](uint64_t h) {
        for (unsigned char c : seed) {
            h = (h ^ c) * 1099511628211ULL;
        }
        return h;
    };
    char buf[40];
    const uint64_t a = fnv(14695981039346656037ULL);
    const uint64_t b = fnv(a ^ 0x9e3779b97f4a7c15ULL);
    std::snprintf(buf, sizeof buf, "%08llx-%04llx-%04llx-%04llx-%012llx",
                  static_cast<unsigned long long>(a >> 32),
                  static_cast<unsigned long long>((a >> 16) & 0xffff),
                  static_cast<unsigned long long>(a & 0xffff),
                  static_cast<unsigned long long>(b >> 48),
                  static_cast<unsigned long long>(b & 0xffffffffffffULL));
    return buf;
}

Reply armError(int status, const std::string& code, const std::string& message) {
    return jsonReply(status, Json{{"error", {{"code", code}, {"message", message}}}});
}

// ---- state operations shared with topology loading -------------------------------------------

namespace {

std::vector<std::pair<std::string, const Entry*>> children(const CloudModel::State& s,
                                                           const std::string& parent,
                                                           const std::string& collection) {
    std::vector<std::pair<std::string, const Entry*>> out;
    const std::string prefix = parent + "/" + collection + "/";
    for (auto it = s.resources.lower_bound(prefix);
         it != s.resources.end() && startsWith(it->first, prefix); ++it) {
        if (it->first.find('/', prefix.size()) == std::string::npos) {
            out.emplace_back(it->first, &it->second);
        }
    }
    std::sort(out.begin(), out.end(),
              [](const auto& a, const auto& b) { return a.second->seq < b.second->seq; });
    return out;
}

Entry* findKind(CloudModel::State& s, const std::string& key, Kind kind) {
    auto it = s.resources.find(key);
    return it != s.resources.end() && it->second.kind == kind ? &it->second : nullptr;
}

// The hub whose managed VNet has this key, or null.
const Entry* hubOfManagedVnet(const CloudModel::State& s, const std::string& vnetKey) {
    for (const auto& [key, e] : s.resources) {
        if (e.kind == Kind::Hub && idKey(e.managedVnet) == vnetKey) {
            return &e;
        }
    }
    return nullptr;
}

// The peering of `vnetKey` whose remote is `remoteKey`, or null.
Entry* peeringTo(CloudModel::State& s, const std::string& vnetKey, const std::string& remoteKey) {
    for (auto& [key, e] : children(s, vnetKey, "virtualnetworkpeerings")) {
        if (idKey(remoteOf(*e)) == remoteKey) {
            return &s.resources.at(key);
        }
    }
    return nullptr;
}

void setPeeringState(Entry& e, const std::string& state) {
    e.body["properties"]["peeringState"] = state;
}

std::string peeringState(const Entry& e) {
    const Json& p = e.body["properties"];
    return p.contains("peeringState") && p["peeringState"].is_string()
               ? p["peeringState"].get<std::string>()
               : "Initiated";
}

// A new peering is Connected when the remote VNet peers back (and that side is not
// Disconnected, which only a re-creation cures); otherwise it waits in Initiated.
void peeringCreated(CloudModel::State& s, const std::string& key) {
    Entry& p = s.resources.at(key);
    const std::string remoteKey = idKey(remoteOf(p));
    if (hubOfManagedVnet(s, remoteKey) != nullptr) {
        setPeeringState(p, "Connected");
        return;
    }
    Entry* back = findKind(s, remoteKey, Kind::VirtualNetwork) != nullptr
                      ? peeringTo(s, remoteKey, parentKey(key))
                      : nullptr;
    if (back != nullptr && peeringState(*back) != "Disconnected") {
        setPeeringState(p, "Connected");
        setPeeringState(*back, "Connected");
    } else {
        setPeeringState(p, "Initiated");
    }
}

void peeringDeleted(CloudModel::State& s, const std::string& vnetKey,
                    const std::string& remoteKey) {
    if (findKind(s, remoteKey, Kind::VirtualNetwork) == nullptr) {
        return;
    }
    if (Entry* back = peeringTo(s, remoteKey, vnetKey);
        back != nullptr && peeringState(*back) == "Connected") {
        setPeeringState(*back, "Disconnected");
    }
}

void eraseTree(CloudModel::State& s, const std::string& key) {
    auto it = s.resources.lower_bound(key);
    while (it != s.resources.end() && underScope(it->first, key)) {
        it = s.resources.erase(it);
    }
    for (auto lit = s.locks.begin(); lit != s.locks.end();) {
        lit = underScope(idKey(lit->second.scope), key) ? s.locks.erase(lit) : std::next(lit);
    }
}

void removeHubPeering(CloudModel::State& s, const std::string& vnetKey, const Entry& hub) {
    if (Entry* p = peeringTo(s, vnetKey, idKey(hub.managedVnet)); p != nullptr) {
        s.resources.erase(idKey(p->body["id"].get<std::string>()));
    }
}

std::string newEtag() {
    return "W/\"" + stableGuid(randomHex(16)) + "\"";
}

}  // namespace

void addHubPeering(CloudModel::State& s, const Entry& hub, const Entry& connection) {
    const std::string vnetKey = idKey(remoteOf(connection));
    Entry* vnet = findKind(s, vnetKey, Kind::VirtualNetwork);
    if (vnet == nullptr || peeringTo(s, vnetKey, idKey(hub.managedVnet)) != nullptr) {
        return;
    }
    const std::string name =
        "RemoteVnetToHubPeering_" + stableGuid(idKey(connection.body["id"].get<std::string>()));
    const std::string id = vnet->body["id"].get<std::string>() + "/virtualNetworkPeerings/" + name;
    Json props = {{"remoteVirtualNetwork", {{"id", hub.managedVnet}}},
                  {"allowVirtualNetworkAccess", true},
                  {"allowForwardedTraffic", false},
                  {"allowGatewayTransit", false},
                  {"useRemoteGateways", true},
                  {"peeringState", "Connected"}};
    const Json& hubProps = hub.body["properties"];
    if (hubProps.contains("addressPrefix") && hubProps["addressPrefix"].is_string()) {
        props["remoteAddressSpace"] = {
            {"addressPrefixes", Json::array({hubProps["addressPrefix"]})}};
    }
    Entry e;
    e.kind = Kind::Peering;
    e.seq = s.seq();
    e.body = {{"id", id},
              {"name", name},
              {"type", kindType(Kind::Peering)},
              {"etag", newEtag()},
              {"properties", props}};
    s.resources[idKey(id)] = std::move(e);
}

void settleLoadedPeerings(CloudModel::State& s, const std::vector<std::string>& explicitStates) {
    for (const auto& [key, e] : s.resources) {
        if (e.kind == Kind::HubConnection) {
            if (const Entry* hub = findKind(s, parentKey(key), Kind::Hub); hub != nullptr) {
                addHubPeering(s, *hub, e);
            }
        }
    }
    const std::set<std::string> fixed(explicitStates.begin(), explicitStates.end());
    std::set<std::string> managed;
    for (const auto& [key, e] : s.resources) {
        if (e.kind == Kind::Hub) {
            managed.insert(idKey(e.managedVnet));
        }
    }
    for (auto& [key, e] : s.resources) {
        if (e.kind != Kind::Peering || fixed.count(key) != 0) {
            continue;
        }
        const std::string remoteKey = idKey(remoteOf(e));
        const bool hub = managed.count(remoteKey) != 0;
        const bool back = findKind(s, remoteKey, Kind::VirtualNetwork) != nullptr &&
                          peeringTo(s, remoteKey, parentKey(key)) != nullptr;
        setPeeringState(e, hub || back ? "Connected" : "Initiated");
    }
}

// ---- views ---------------------------------------------------------------------------------

namespace {

std::string pendingState(const CloudModel::State& s, const std::string& key) {
    auto it = s.pendingByKey.find(key);
    if (it == s.pendingByKey.end()) {
        return "Succeeded";
    }
    return s.operations.at(it->second).method == "DELETE" ? "Deleting" : "Updating";
}

void dropStaleCaches(CloudModel::State& s) {
    if (s.cacheRevision != s.revision) {
        s.listings.clear();
        s.routeTableUsers.reset();
        s.cacheRevision = s.revision;
    }
}

RouteTableUsers routeTableUsers(const CloudModel::State& s) {
    RouteTableUsers users;
    for (const auto& [k, c] : s.resources) {
        if (c.kind == Kind::Subnet && c.body["properties"].contains("routeTable")) {
            users[idKey(refId(c.body["properties"]["routeTable"]))].push_back(&c);
        }
    }
    for (auto& [k, list] : users) {
        std::sort(list.begin(), list.end(),
                  [](const Entry* a, const Entry* b) { return a->seq < b->seq; });
    }
    return users;
}

// What a read shows of a resource: while a PUT on it is running, the state it is being brought
// to (with provisioningState "Updating"), as ARM shows it; otherwise the stored state.
const Entry& shownEntry(const CloudModel::State& s, const std::string& key, const Entry& stored,
                        Entry& scratch) {
    auto it = s.pendingByKey.find(key);
    if (it == s.pendingByKey.end()) return stored;
    const Operation& op = s.operations.at(it->second);
    if (op.method != "PUT" || op.failure || op.newBody.is_null()) return stored;
    scratch = stored;
    scratch.body = op.newBody;
    return scratch;
}

Json view(const CloudModel::State& s, const std::string& key, const Entry& e,
          const std::string& provisioning, const RouteTableUsers* users = nullptr) {
    Json v = e.body;
    if (!v.contains("properties") || !v["properties"].is_object()) {
        v["properties"] = Json::object();
    }
    Json& p = v["properties"];
    p["provisioningState"] = provisioning;
    switch (e.kind) {
        case Kind::VirtualNetwork: {
            Json subnets = Json::array();
            for (const auto& [k, c] : children(s, key, "subnets")) {
                subnets.push_back(view(s, k, *c, pendingState(s, k)));
            }
            Json peerings = Json::array();
            for (const auto& [k, c] : children(s, key, "virtualnetworkpeerings")) {
                peerings.push_back(view(s, k, *c, pendingState(s, k)));
            }
            p["subnets"] = subnets;
            p["virtualNetworkPeerings"] = peerings;
            break;
        }
        case Kind::RouteTable: {
            // One listing builds the index once; a single GET builds it for itself.
            RouteTableUsers own;
            if (users == nullptr) {
                own = routeTableUsers(s);
                users = &own;
            }
            Json subnets = Json::array();
            if (auto it = users->find(key); it != users->end()) {
                for (const Entry* u : it->second) {
                    subnets.push_back({{"id", u->body["id"]}});
                }
            }
            p["subnets"] = subnets;
            break;
        }
        case Kind::Peering: {
            const std::string remoteKey = idKey(remoteOf(e));
            auto it = s.resources.find(remoteKey);
            if (it != s.resources.end() && it->second.kind == Kind::VirtualNetwork) {
                const Json& rp = it->second.body["properties"];
                if (rp.contains("addressSpace")) {
                    p["remoteAddressSpace"] = rp["addressSpace"];
                    p["remoteVirtualNetworkAddressSpace"] = rp["addressSpace"];
                }
            }
            p["peeringSyncLevel"] =
                peeringState(e) == "Connected" ? "FullyInSync" : "RemoteNotInSync";
            break;
        }
        default:
            break;
    }
    return v;
}

Json viewKey(const CloudModel::State& s, const std::string& key) {
    auto it = s.resources.find(key);
    return it == s.resources.end() ? Json(nullptr) : view(s, key, it->second, pendingState(s, key));
}

// ---- operations ----------------------------------------------------------------------------

void applyOperation(CloudModel::State& s, Operation& op) {
    if (op.method == "PUT") {
        if (op.kind == Kind::Subnet || op.kind == Kind::Peering || op.kind == Kind::HubConnection) {
            const Kind parentKind =
                op.kind == Kind::HubConnection ? Kind::Hub : Kind::VirtualNetwork;
            if (findKind(s, parentKey(op.key), parentKind) == nullptr) {
                op.failure = LroFailure{"NotFound", "Resource " + op.targetId +
                                                        " cannot be updated: its parent is gone."};
                return;
            }
        }
        auto it = s.resources.find(op.key);
        const bool exists = it != s.resources.end();
        std::string oldRemote = exists ? remoteOf(it->second) : "";
        Entry e;
        e.kind = op.kind;
        e.seq = exists ? it->second.seq : s.seq();
        e.managedVnet = exists ? it->second.managedVnet : "";
        e.body = op.newBody;
        e.body["etag"] = newEtag();
        if (op.kind == Kind::Peering && exists) {
            setPeeringState(e, peeringState(it->second));
        }
        s.resources[op.key] = std::move(e);
        if (op.kind == Kind::Peering && !exists) {
            peeringCreated(s, op.key);
        }
        if (op.kind == Kind::HubConnection) {
            const Entry& hub = s.resources.at(parentKey(op.key));
            if (!oldRemote.empty() && idKey(oldRemote) != idKey(remoteOf(s.resources.at(op.key)))) {
                removeHubPeering(s, idKey(oldRemote), hub);
            }
            addHubPeering(s, hub, s.resources.at(op.key));
        }
        return;
    }
    // DELETE
    auto it = s.resources.find(op.key);
    if (it == s.resources.end()) {
        return;
    }
    const Entry gone = it->second;
    switch (gone.kind) {
        case Kind::VirtualNetwork: {
            for (const auto& [k, p] : children(s, op.key, "virtualnetworkpeerings")) {
                peeringDeleted(s, op.key, idKey(remoteOf(*p)));
            }
            eraseTree(s, op.key);
            for (auto& [k, e] : s.resources) {
                if (e.kind == Kind::Peering && idKey(remoteOf(e)) == op.key) {
                    setPeeringState(e, "Disconnected");
                }
            }
            break;
        }
        case Kind::Peering:
            eraseTree(s, op.key);
            peeringDeleted(s, parentKey(op.key), idKey(remoteOf(gone)));
            break;
        case Kind::HubConnection:
            eraseTree(s, op.key);
            if (const Entry* hub = findKind(s, parentKey(op.key), Kind::Hub); hub != nullptr) {
                removeHubPeering(s, idKey(remoteOf(gone)), *hub);
            }
            break;
        default:
            eraseTree(s, op.key);
            break;
    }
}

void completeOperation(CloudModel::State& s, Operation& op) {
    if (op.status != "InProgress") {
        return;
    }
    op.endTime = nowIso();
    if (auto it = s.pendingByKey.find(op.key); it != s.pendingByKey.end() && it->second == op.id) {
        s.pendingByKey.erase(it);
    }
    if (!op.failure) {
        applyOperation(s, op);  // may itself fail when the parent has gone meanwhile
        ++s.revision;
    }
    op.status = op.failure ? "Failed" : "Succeeded";
}

// Completes, in the order they started, the unfinished operations at or under `scopeKey`
// (all of them when it is empty).
void completeUnder(CloudModel::State& s, const std::string& scopeKey) {
    std::vector<Operation*> pending;
    for (auto it = s.pendingByKey.lower_bound(scopeKey);
         it != s.pendingByKey.end() && startsWith(it->first, scopeKey); ++it) {
        if (scopeKey.empty() || underScope(it->first, scopeKey)) {
            pending.push_back(&s.operations.at(it->second));
        }
    }
    std::sort(pending.begin(), pending.end(),
              [](const Operation* a, const Operation* b) { return a->seq < b->seq; });
    for (Operation* op : pending) {
        completeOperation(s, *op);
    }
}

// Writes on a subnet or peering contend with every write on the same VNet, connection writes
// with those on the same hub.
std::string conflictScope(Kind kind, const std::string& key) {
    return kind == Kind::Subnet || kind == Kind::Peering || kind == Kind::HubConnection
               ? parentKey(key)
               : key;
}

const Lock* blockingLock(const CloudModel::State& s, const std::string& key, bool deleting) {
    for (const auto& [lk, lock] : s.locks) {
        if (underScope(key, idKey(lock.scope)) &&
            (lock.level == "ReadOnly" || (deleting && lock.level == "CanNotDelete"))) {
            return &lock;
        }
    }
    return nullptr;
}

Reply scopeLocked(const std::string& id, const Lock& lock, bool deleting) {
    return armError(409, "ScopeLocked",
                    "The scope '" + id + "' cannot perform " + (deleting ? "delete" : "write") +
                        " operation because following scope(s) are locked: '" + lock.scope +
                        "'. Please remove the lock and try again.");
}

Json lockView(const Lock& lock) {
    Json props = {{"level", lock.level}};
    if (!lock.notes.is_null()) {
        props["notes"] = lock.notes;
    }
    if (!lock.owners.is_null()) {
        props["owners"] = lock.owners;
    }
    return {{"id", lock.scope + "/providers/Microsoft.Authorization/locks/" + lock.name},
            {"type", "Microsoft.Authorization/locks"},
            {"name", lock.name},
            {"properties", props}};
}

Json operationStatus(const Operation& op) {
    Json body = {
        {"id", "/subscriptions/" + op.subscription + "/providers/Microsoft.Network/locations/" +
                   op.location + "/operations/" + op.id},
        {"name", op.id},
        {"status", op.status},
        {"startTime", op.startTime}};
    if (op.status != "InProgress") {
        body["endTime"] = op.endTime;
    }
    if (op.status == "Failed" && op.failure) {
        body["error"] = {{"code", op.failure->code}, {"message", op.failure->message}};
    }
    return body;
}

// ---- Handler -------------------------------------------------------------------------------

std::optional<Reply> Handler::authenticate() {
    auto unauthorized = [](const std::string& code, const std::string& message) {
        Reply r = armError(401, code, message);
        r.headers.emplace_back("WWW-Authenticate",
                               "Bearer authorization_uri=\"https://127.0.0.1/\", "
                               "error=\"invalid_token\", error_description=\"" +
                                   message + "\"");
        return r;
    };
    if (c_.authorization.empty()) {
        return unauthorized("AuthenticationFailed",
                            "Authentication failed. The 'Authorization' header is missing.");
    }
    const std::string auth = dm::text::trim(c_.authorization);
    if (!startsWith(toLower(auth), "bearer ")) {
        return unauthorized("AuthenticationFailedInvalidHeader",
                            "Authentication failed. The 'Authorization' header is provided in an "
                            "invalid format.");
    }
    auto it = s_.tokens.find(dm::text::trim(auth.substr(7)));
    if (it == s_.tokens.end()) {
        return unauthorized("InvalidAuthenticationToken", "The access token is invalid.");
    }
    if (Clock::now() >= it->second.expiry) {
        return unauthorized("ExpiredAuthenticationToken",
                            "The access token expiry UTC time is earlier than current UTC time.");
    }
    for (const auto& p : s_.principals) {
        if (iequals(p.tenant, it->second.tenant) && p.clientId == it->second.clientId) {
            who_ = &p;
            return std::nullopt;
        }
    }
    return unauthorized("InvalidAuthenticationToken", "The access token is invalid.");
}

std::optional<Reply> Handler::checkVersion(const std::vector<std::string>& accepted) {
    auto it = c_.query.find("api-version");
    if (it == c_.query.end() || it->second.empty()) {
        return armError(400, "MissingApiVersionParameter",
                        "The api-version query parameter (?api-version=) is required for all "
                        "requests.");
    }
    if (std::find(accepted.begin(), accepted.end(), it->second) == accepted.end()) {
        return armError(400, "InvalidApiVersionParameter",
                        "The api-version '" + it->second +
                            "' is invalid. The supported versions are '" +
                            dm::text::join(accepted, ",") + "'.");
    }
    return std::nullopt;
}

std::optional<Reply> Handler::checkSubscription(const std::string& subscription) {
    const std::string key = toLower(subscription);
    if (s_.subscriptions.count(key) == 0) {
        return armError(404, "SubscriptionNotFound",
                        "The subscription '" + subscription + "' could not be found.");
    }
    if (!who_->allSubscriptions && std::find(who_->subscriptions.begin(), who_->subscriptions.end(),
                                             key) == who_->subscriptions.end()) {
        return armError(403, "AuthorizationFailed",
                        "The client '" + who_->clientId + "' with object id '" + who_->clientId +
                            "' does not have authorization to perform action '" + c_.method +
                            "' over scope '/subscriptions/" + subscription +
                            "' or the scope is invalid. If access was recently granted, please "
                            "refresh your credentials.");
    }
    return std::nullopt;
}

Reply Handler::methodNotAllowed() const {
    return armError(405, "MethodNotAllowed",
                    "The requested resource does not support http method '" + c_.method + "'.");
}

Reply Handler::page(size_t total, const std::function<Json(size_t)>& item) {
    size_t offset = 0;
    for (const char* name : {"$skiptoken", "$skipToken"}) {
        if (auto it = c_.query.find(name); it != c_.query.end()) {
            const std::string& token = it->second;
            if (token.size() < 2 || token[0] != 'p' ||
                token.find_first_not_of("0123456789", 1) != std::string::npos) {
                return armError(400, "InvalidSkipToken",
                                "The skip token '" + token + "' is not valid.");
            }
            offset = std::stoul(token.substr(1));
        }
    }
    const size_t size = static_cast<size_t>(std::max(1, settings_.pageSize));
    Json value = Json::array();
    for (size_t i = offset; i < total && i < offset + size; ++i) {
        value.push_back(item(i));
    }
    Json body = {{"value", value}};
    if (offset + size < total) {
        body["nextLink"] = base_ + c_.rawPath + "?api-version=" + c_.query.at("api-version") +
                           "&$skiptoken=p" + std::to_string(offset + size);
    }
    return jsonReply(200, body);
}

const CloudModel::State::Listing& Handler::sortedOfKind(Kind kind, const std::string& prefix) {
    dropStaleCaches(s_);
    const std::string cacheKey = std::to_string(static_cast<int>(kind)) + prefix;
    if (auto it = s_.listings.find(cacheKey); it != s_.listings.end()) {
        return it->second;
    }
    CloudModel::State::Listing found;
    for (auto it = s_.resources.lower_bound(prefix);
         it != s_.resources.end() && startsWith(it->first, prefix); ++it) {
        if (it->second.kind == kind) {
            found.emplace_back(it->first, &it->second);
        }
    }
    std::sort(found.begin(), found.end(),
              [](const auto& a, const auto& b) { return a.second->seq < b.second->seq; });
    return s_.listings[cacheKey] = std::move(found);
}

const RouteTableUsers& Handler::subnetsByRouteTable() {
    dropStaleCaches(s_);
    if (!s_.routeTableUsers) {
        s_.routeTableUsers = routeTableUsers(s_);
    }
    return *s_.routeTableUsers;
}

Reply Handler::listKind(Kind kind, const std::string& prefix) {
    const auto& found = sortedOfKind(kind, prefix);
    const RouteTableUsers* users = kind == Kind::RouteTable ? &subnetsByRouteTable() : nullptr;
    return page(found.size(), [&](size_t i) {
        Entry goal;
        return view(s_, found[i].first, shownEntry(s_, found[i].first, *found[i].second, goal),
                    pendingState(s_, found[i].first), users);
    });
}

Reply Handler::get(const std::string& key, const std::string& notFoundCode,
                   const std::string& notFoundMessage) {
    auto it = s_.resources.find(key);
    if (it == s_.resources.end()) {
        return armError(404, notFoundCode, notFoundMessage);
    }
    const RouteTableUsers* users =
        it->second.kind == Kind::RouteTable ? &subnetsByRouteTable() : nullptr;
    Entry goal;
    return jsonReply(200, view(s_, key, shownEntry(s_, key, it->second, goal),
                               pendingState(s_, key), users));
}

std::optional<Reply> Handler::conflicts(const std::string& scopeKey) {
    bool pending = false;
    for (auto it = s_.pendingByKey.lower_bound(scopeKey);
         it != s_.pendingByKey.end() && startsWith(it->first, scopeKey); ++it) {
        pending = pending || underScope(it->first, scopeKey);
    }
    if (!pending) {
        return std::nullopt;
    }
    switch (settings_.conflicts) {
        case ConflictMode::Status409:
            return armError(409, "AnotherOperationInProgress",
                            "Another operation on this or dependent resource is in progress. To "
                            "retrieve status of the operation use uri: " +
                                base_ +
                                "/subscriptions/.../operations. Retry the request after "
                                "the operation completes.");
        case ConflictMode::Status429: {
            Reply r = jsonReply(
                429, Json{{"error",
                           {{"code", "RetryableError"},
                            {"message", "A retryable error occurred."},
                            {"details",
                             Json::array({{{"code", "RetryableErrorDueToAnotherOperation"},
                                           {"message",
                                            "Operation is being performed on the resource. The "
                                            "call can be retried in 1 seconds."}}})}}}});
            r.headers.emplace_back("Retry-After", "1");
            return r;
        }
        case ConflictMode::Off:
            // The earlier operation finishes before the new one starts, so writes apply in the
            // order they arrived even when the client never polled.
            completeUnder(s_, scopeKey);
            return std::nullopt;
    }
    return std::nullopt;
}

Reply Handler::startOperation(Operation op, int status, Json body) {
    op.id = stableGuid(randomHex(16));
    op.seq = s_.seq();
    op.pollsLeft = std::max(0, settings_.lroPolls);
    op.startTime = nowIso();
    op.failure = c_.lroFailure;
    const std::string statusPath = "/subscriptions/" + op.subscription +
                                   "/providers/Microsoft.Network/locations/" + op.location;
    const std::string version = "?api-version=" + kNetworkVersions.front();
    const std::string id = op.id;
    const std::string key = op.key;
    const bool isPut = op.method == "PUT";
    s_.pendingByKey[key] = id;
    Operation& stored = s_.operations[id] = std::move(op);

    Reply r;
    r.status = status;
    r.body = std::move(body);
    if (settings_.lroPolls <= 0) {
        // Zero polls means the change is done when the request returns.
        completeOperation(s_, stored);
        if (isPut && stored.status == "Succeeded") {
            r.body = viewKey(s_, key);
        }
    }
    r.lroStarted = true;
    r.headers.emplace_back("Azure-AsyncOperation",
                           base_ + statusPath + "/operations/" + id + version);
    r.headers.emplace_back("Location", base_ + statusPath + "/operationResults/" + id + version);
    r.headers.emplace_back("Retry-After", "0");
    return r;
}

Reply Handler::put(Kind kind, const std::string& id, const std::string& name) {
    const std::string key = idKey(id);
    if (auto refused = conflicts(conflictScope(kind, key)); refused) {
        return *refused;
    }
    Json in = Json::parse(c_.body, nullptr, false);
    if (in.is_discarded() || !in.is_object() ||
        (in.contains("properties") && !in["properties"].is_object())) {
        return armError(400, "InvalidRequestFormat",
                        "Cannot parse the request. The body must be a JSON object.");
    }
    auto existing = s_.resources.find(key);
    const bool exists = existing != s_.resources.end();
    const Entry* parent = nullptr;
    if (kind == Kind::Subnet || kind == Kind::Peering || kind == Kind::HubConnection) {
        const std::string pk = parentKey(key);
        parent = findKind(s_, pk, kind == Kind::HubConnection ? Kind::Hub : Kind::VirtualNetwork);
        if (parent == nullptr) {
            return armError(404, "ResourceNotFound", "The Resource '" + pk + "' was not found.");
        }
    }
    if (const Lock* lock = blockingLock(s_, key, false); lock != nullptr) {
        return scopeLocked(id, *lock, false);
    }

    // Whole-object replace: what the client leaves out is gone, what we do not know is kept.
    Json body = {{"id", exists ? existing->second.body["id"] : Json(id)},
                 {"name", exists ? existing->second.body["name"] : Json(name)},
                 {"type", kindType(kind)}};
    if (hasLocation(kind)) {
        if (in.contains("location") && in["location"].is_string()) {
            body["location"] = in["location"];
        } else if (exists && existing->second.body.contains("location")) {
            body["location"] = existing->second.body["location"];
        } else {
            return armError(400, "LocationRequired",
                            "The location property is required for this definition.");
        }
    }
    for (auto it = in.begin(); it != in.end(); ++it) {
        if (it.key() != "id" && it.key() != "name" && it.key() != "type" && it.key() != "etag" &&
            it.key() != "location" && it.key() != "properties") {
            body[it.key()] = it.value();
        }
    }
    Json props = in.contains("properties") ? in["properties"] : Json::object();
    props.erase("provisioningState");

    std::string location = body.contains("location") ? body["location"].get<std::string>() : "";
    if (parent != nullptr && parent->body.contains("location")) {
        location = parent->body["location"].get<std::string>();
    }

    switch (kind) {
        case Kind::Subnet: {
            if (props.contains("routeTable") && !props["routeTable"].is_null()) {
                const std::string rtId = refId(props["routeTable"]);
                const Entry* rt = findKind(s_, idKey(rtId), Kind::RouteTable);
                if (rt == nullptr ||
                    plainLocation(rt->body.value("location", "")) != plainLocation(location)) {
                    return armError(
                        400, "InvalidResourceReference",
                        "Resource " + (rtId.empty() ? std::string("routeTable") : rtId) +
                            " referenced by resource " + id +
                            " was not found. Please make sure that the referenced resource "
                            "exists, and that both resources are in the same region.");
                }
                props["routeTable"] = {{"id", rtId}};  // only the id matters, as in ARM
            } else {
                props.erase("routeTable");
            }
            break;
        }
        case Kind::Peering: {
            const std::string remote =
                props.contains("remoteVirtualNetwork") ? refId(props["remoteVirtualNetwork"]) : "";
            if (remote.empty()) {
                return armError(400, "InvalidRequestFormat",
                                "Cannot parse the request: remoteVirtualNetwork.id is required.");
            }
            if (const Entry* hub = hubOfManagedVnet(s_, idKey(remote)); hub != nullptr) {
                return armError(400, "PeeringManagedByVirtualHub",
                                "Peering " + id + " belongs to virtual hub " +
                                    hub->body["id"].get<std::string>() +
                                    "; change it through its hub virtual network connection.");
            }
            if (exists && peeringState(existing->second) == "Disconnected") {
                return armError(400, "RemotePeeringIsDisconnected",
                                "Peering " + id +
                                    " cannot be updated because the remote peering is "
                                    "disconnected. Delete the peering and create it again.");
            }
            const auto remoteSegs = segments(remote);
            if (remoteSegs.size() > 1 && s_.subscriptions.count(toLower(remoteSegs[1])) != 0 &&
                !who_->allSubscriptions &&
                std::find(who_->subscriptions.begin(), who_->subscriptions.end(),
                          toLower(remoteSegs[1])) == who_->subscriptions.end()) {
                return armError(403, "LinkedAuthorizationFailed",
                                "The client '" + who_->clientId +
                                    "' has permission to perform action "
                                    "'Microsoft.Network/virtualNetworks/virtualNetworkPeerings/"
                                    "write' on scope '" +
                                    id +
                                    "'; however, it does not have permission to perform action "
                                    "'Microsoft.Network/virtualNetworks/peer/action' on the "
                                    "linked scope(s) '" +
                                    remote + "'.");
            }
            const bool useRemote = props.value("useRemoteGateways", false);
            if (useRemote && findKind(s_, idKey(remote), Kind::VirtualNetwork) != nullptr) {
                bool hasGateway = false;
                const std::string prefix = idKey(remote) + "/subnets/";
                for (const auto& [k, e] : s_.resources) {
                    if (e.kind != Kind::Gateway) {
                        continue;
                    }
                    for (const auto& ipc :
                         e.body["properties"].value("ipConfigurations", Json::array())) {
                        hasGateway = hasGateway ||
                                     startsWith(idKey(refId(ipc.value("properties", Json::object())
                                                                .value("subnet", Json::object()))),
                                                prefix);
                    }
                }
                if (!hasGateway) {
                    return armError(400, "RemoteVnetHasNoGateways",
                                    "Peering " + id +
                                        " has useRemoteGateways set, but remote "
                                        "virtual network " +
                                        remote + " has no gateways.");
                }
            }
            props.erase("peeringSyncLevel");
            props.erase("remoteAddressSpace");
            props.erase("remoteVirtualNetworkAddressSpace");
            props["peeringState"] = exists ? peeringState(existing->second) : "Initiated";
            if (!exists) {
                const std::string rk = idKey(remote);
                const Entry* back = findKind(s_, rk, Kind::VirtualNetwork) != nullptr
                                        ? peeringTo(s_, rk, parentKey(key))
                                        : nullptr;
                if (back != nullptr && peeringState(*back) != "Disconnected") {
                    props["peeringState"] = "Connected";
                }
            }
            break;
        }
        case Kind::RouteTable: {
            props.erase("subnets");
            if (props.contains("routes") && props["routes"].is_array()) {
                for (auto& route : props["routes"]) {
                    if (route.is_object() && route.contains("name") && route["name"].is_string()) {
                        route["id"] = id + "/routes/" + route["name"].get<std::string>();
                    }
                }
            }
            break;
        }
        case Kind::HubConnection: {
            const std::string remote =
                props.contains("remoteVirtualNetwork") ? refId(props["remoteVirtualNetwork"]) : "";
            if (findKind(s_, idKey(remote), Kind::VirtualNetwork) == nullptr) {
                return armError(
                    400, "InvalidResourceReference",
                    "Resource " + (remote.empty() ? std::string("remoteVirtualNetwork") : remote) +
                        " referenced by resource " + id + " was not found.");
            }
            if (const Lock* lock = blockingLock(s_, idKey(remote), false); lock != nullptr) {
                return scopeLocked(remote, *lock, false);
            }
            break;
        }
        default:
            break;
    }
    body["properties"] = props;

    Operation op;
    op.method = "PUT";
    op.key = key;
    op.targetId = body["id"].get<std::string>();
    op.kind = kind;
    op.newBody = body;
    op.creates = !exists;
    op.subscription = segments(id).at(1);
    op.location = plainLocation(location.empty() ? "global" : location);
    Entry shown;
    shown.kind = kind;
    shown.body = body;
    Json reply = view(s_, key, shown, "Updating");
    return startOperation(std::move(op), exists ? 200 : 201, reply);
}

Reply Handler::remove(Kind kind, const std::string& key) {
    if (auto refused = conflicts(conflictScope(kind, key)); refused) {
        return *refused;
    }
    auto it = s_.resources.find(key);
    if (it == s_.resources.end() || it->second.kind != kind) {
        return jsonReply(204, nullptr);
    }
    const Entry& e = it->second;
    const std::string id = e.body["id"].get<std::string>();
    if (const Lock* lock = blockingLock(s_, key, true); lock != nullptr) {
        return scopeLocked(id, *lock, true);
    }
    if (kind == Kind::Peering) {
        if (const Entry* hub = hubOfManagedVnet(s_, idKey(remoteOf(e))); hub != nullptr) {
            return armError(400, "PeeringManagedByVirtualHub",
                            "Peering " + id + " belongs to virtual hub " +
                                hub->body["id"].get<std::string>() +
                                "; delete its hub virtual network connection instead.");
        }
    }
    if (kind == Kind::HubConnection) {
        // Removing the connection deletes the hub peering on the spoke VNet, which its locks
        // refuse like any other peering deletion.
        const std::string spoke = remoteOf(e);
        if (const Lock* lock = blockingLock(s_, idKey(spoke), true); lock != nullptr) {
            return scopeLocked(spoke, *lock, true);
        }
    }
    Operation op;
    op.method = "DELETE";
    op.key = key;
    op.targetId = id;
    op.kind = kind;
    op.subscription = segments(id).at(1);
    std::string location = e.body.value("location", "");
    if (location.empty()) {
        if (auto p = s_.resources.find(parentKey(key)); p != s_.resources.end()) {
            location = p->second.body.value("location", "");
        }
    }
    op.location = plainLocation(location.empty() ? "global" : location);
    return startOperation(std::move(op), 202, nullptr);
}

Reply Handler::pollRoute(const std::string& opId, bool resultStyle) {
    auto it = s_.operations.find(toLower(opId));
    if (it == s_.operations.end()) {
        return armError(404, "NotFound", "Operation " + opId + " was not found.");
    }
    Operation& op = it->second;
    if (op.status == "InProgress") {
        if (op.pollsLeft > 0) {
            --op.pollsLeft;
        } else {
            completeOperation(s_, op);
        }
    }
    if (!resultStyle) {
        Reply r = jsonReply(200, operationStatus(op));
        if (op.status == "InProgress") {
            r.headers.emplace_back("Retry-After", "0");
        }
        return r;
    }
    if (op.status == "InProgress") {
        Reply r = jsonReply(202, nullptr);
        r.headers.emplace_back("Location",
                               base_ + c_.rawPath + "?api-version=" + c_.query.at("api-version"));
        r.headers.emplace_back("Retry-After", "0");
        return r;
    }
    if (op.status == "Failed") {
        return armError(400, op.failure->code, op.failure->message);
    }
    if (op.method == "DELETE") {
        return jsonReply(204, nullptr);
    }
    Json v = viewKey(s_, op.key);
    return v.is_null() ? jsonReply(204, nullptr) : jsonReply(200, v);
}

Reply Handler::locksRoute(const std::vector<std::string>& scopeSegs,
                          const std::vector<std::string>& rest) {
    if (auto bad = checkVersion(kLockVersions); bad) {
        return *bad;
    }
    if (scopeSegs.size() < 2 || !iequals(scopeSegs[0], "subscriptions") || rest.size() > 1) {
        return armError(400, "InvalidRequestUri", "The lock scope '" + c_.path + "' is not valid.");
    }
    if (auto bad = checkSubscription(scopeSegs[1]); bad) {
        return *bad;
    }
    std::string scope;
    for (const auto& s : scopeSegs) {
        scope += "/" + s;
    }
    const std::string scopeKey = idKey(scope);
    if (rest.empty()) {
        if (c_.method != "GET") {
            return methodNotAllowed();
        }
        std::vector<const Lock*> found;
        for (const auto& [k, lock] : s_.locks) {
            if (underScope(idKey(lock.scope), scopeKey)) {
                found.push_back(&lock);
            }
        }
        std::sort(found.begin(), found.end(),
                  [](const Lock* a, const Lock* b) { return a->seq < b->seq; });
        return page(found.size(), [&](size_t i) { return lockView(*found[i]); });
    }
    const std::string lockKey =
        scopeKey + "/providers/microsoft.authorization/locks/" + toLower(rest[0]);
    auto it = s_.locks.find(lockKey);
    if (c_.method == "GET") {
        return it == s_.locks.end()
                   ? armError(404, "LockNotFound", "The lock '" + rest[0] + "' could not be found.")
                   : jsonReply(200, lockView(it->second));
    }
    if (c_.method == "DELETE") {
        if (it == s_.locks.end()) {
            return jsonReply(204, nullptr);
        }
        s_.locks.erase(it);
        return jsonReply(200, nullptr);
    }
    if (c_.method == "PUT") {
        Json in = Json::parse(c_.body, nullptr, false);
        const Json props = in.is_object() ? in.value("properties", Json::object()) : Json();
        const std::string level = props.is_object() ? props.value("level", "") : "";
        if (level != "CanNotDelete" && level != "ReadOnly") {
            return armError(400, "LockLevelInvalid",
                            "The lock level must be 'CanNotDelete' or 'ReadOnly'.");
        }
        const bool created = it == s_.locks.end();
        Lock lock;
        lock.scope = created ? scope : it->second.scope;
        lock.name = created ? rest[0] : it->second.name;
        lock.seq = created ? s_.seq() : it->second.seq;
        lock.level = level;
        lock.notes = props.value("notes", Json());
        lock.owners = props.value("owners", Json());
        s_.locks[lockKey] = lock;
        return jsonReply(created ? 201 : 200, lockView(lock));
    }
    return methodNotAllowed();
}

Reply Handler::subscriptionsRoute(const std::vector<std::string>& segs) {
    auto subView = [](const Subscription& sub) {
        return Json{{"id", "/subscriptions/" + sub.id},
                    {"subscriptionId", sub.id},
                    {"tenantId", sub.tenant},
                    {"displayName", sub.displayName},
                    {"state", "Enabled"}};
    };
    if (segs.size() == 1) {
        if (auto bad = checkVersion(kResourceVersions); bad) {
            return *bad;
        }
        std::vector<const Subscription*> found;
        for (const auto& [k, sub] : s_.subscriptions) {
            if (who_->allSubscriptions ||
                std::find(who_->subscriptions.begin(), who_->subscriptions.end(), k) !=
                    who_->subscriptions.end()) {
                found.push_back(&sub);
            }
        }
        std::sort(found.begin(), found.end(),
                  [](const auto* a, const auto* b) { return a->seq < b->seq; });
        return page(found.size(), [&](size_t i) { return subView(*found[i]); });
    }
    const std::vector<std::string> lower = [&] {
        std::vector<std::string> l;
        for (const auto& s : segs) {
            l.push_back(toLower(s));
        }
        return l;
    }();
    const bool network =
        segs.size() >= 4 && lower[2] == "providers" && lower[3] == "microsoft.network";
    if (auto bad = checkVersion(network || (segs.size() > 4 && lower[2] == "resourcegroups")
                                    ? kNetworkVersions
                                    : kResourceVersions);
        bad) {
        return *bad;
    }
    if (auto bad = checkSubscription(segs[1]); bad) {
        return *bad;
    }
    const Subscription& sub = s_.subscriptions.at(lower[1]);
    const std::string subKey = "/subscriptions/" + lower[1];
    if (segs.size() == 2) {
        return c_.method == "GET" ? jsonReply(200, subView(sub)) : methodNotAllowed();
    }
    if (lower[2] == "resourcegroups") {
        if (segs.size() == 3) {
            if (c_.method != "GET") {
                return methodNotAllowed();
            }
            std::vector<const ResourceGroup*> found;
            for (auto it = s_.groups.lower_bound(subKey + "/");
                 it != s_.groups.end() && startsWith(it->first, subKey + "/"); ++it) {
                found.push_back(&it->second);
            }
            std::sort(found.begin(), found.end(),
                      [](const auto* a, const auto* b) { return a->seq < b->seq; });
            return page(found.size(), [&](size_t i) {
                const ResourceGroup& rg = *found[i];
                return Json{{"id", "/subscriptions/" + sub.id + "/resourceGroups/" + rg.name},
                            {"name", rg.name},
                            {"type", "Microsoft.Resources/resourceGroups"},
                            {"location", rg.location},
                            {"properties", {{"provisioningState", "Succeeded"}}}};
            });
        }
        auto rg = s_.groups.find(groupKey(sub.id, segs[3]));
        if (rg == s_.groups.end()) {
            return armError(404, "ResourceGroupNotFound",
                            "Resource group '" + segs[3] + "' could not be found.");
        }
        return groupRoute(rg->second, segs);
    }
    if (network && segs.size() == 5 && c_.method == "GET") {
        const std::string prefix = subKey + "/";
        if (lower[4] == "virtualnetworks") {
            return listKind(Kind::VirtualNetwork, prefix);
        }
        if (lower[4] == "routetables") {
            return listKind(Kind::RouteTable, prefix);
        }
        if (lower[4] == "virtualhubs") {
            return listKind(Kind::Hub, prefix);
        }
    }
    if (network && segs.size() == 8 && lower[4] == "locations" && c_.method == "GET" &&
        (lower[6] == "operations" || lower[6] == "operationresults")) {
        return pollRoute(segs[7], lower[6] == "operationresults");
    }
    return armError(404, "NotFound", "No route for " + c_.method + " " + c_.path + ".");
}

Reply Handler::groupRoute(const ResourceGroup& rg, const std::vector<std::string>& segs) {
    std::vector<std::string> lower;
    for (const auto& s : segs) {
        lower.push_back(toLower(s));
    }
    const std::string rgId =
        "/subscriptions/" + s_.subscriptions.at(lower[1]).id + "/resourceGroups/" + rg.name;
    if (segs.size() == 4) {
        if (c_.method != "GET") {
            return methodNotAllowed();
        }
        Json v = {{"id", rgId},
                  {"name", rg.name},
                  {"type", "Microsoft.Resources/resourceGroups"},
                  {"location", rg.location}};
        if (!rg.tags.is_null()) {
            v["tags"] = rg.tags;
        }
        v["properties"] = {{"provisioningState", "Succeeded"}};
        return jsonReply(200, v);
    }
    if (segs.size() < 7 || lower[4] != "providers" || lower[5] != "microsoft.network") {
        return armError(404, "NotFound", "No route for " + c_.method + " " + c_.path + ".");
    }
    const std::string& type = lower[6];
    const std::string prefix = idKey(rgId) + "/providers/microsoft.network/" + type;
    static const std::map<std::string, Kind> topKinds = {{"virtualnetworks", Kind::VirtualNetwork},
                                                         {"routetables", Kind::RouteTable},
                                                         {"virtualnetworkgateways", Kind::Gateway},
                                                         {"virtualhubs", Kind::Hub}};
    auto kindIt = topKinds.find(type);
    if (kindIt == topKinds.end()) {
        return armError(400, "InvalidResourceType",
                        "The resource type '" + segs[6] +
                            "' could not be found in the namespace 'Microsoft.Network'.");
    }
    const Kind kind = kindIt->second;
    if (segs.size() == 7) {
        return c_.method == "GET" ? listKind(kind, prefix + "/") : methodNotAllowed();
    }
    static const std::map<Kind, std::string> typeNames = {{Kind::VirtualNetwork, "virtualNetworks"},
                                                          {Kind::RouteTable, "routeTables"},
                                                          {Kind::Gateway, "virtualNetworkGateways"},
                                                          {Kind::Hub, "virtualHubs"}};
    const std::string topKey = prefix + "/" + lower[7];
    auto top = s_.resources.find(topKey);
    const std::string topId = top != s_.resources.end() ? top->second.body["id"].get<std::string>()
                                                        : rgId + "/providers/Microsoft.Network/" +
                                                              typeNames.at(kind) + "/" + segs[7];
    const std::string notFound = "The Resource 'Microsoft.Network/" + typeNames.at(kind) + "/" +
                                 segs[7] + "' under resource group '" + rg.name +
                                 "' was not found.";
    if (segs.size() == 8) {
        if (c_.method == "GET") {
            return get(topKey, "ResourceNotFound", notFound);
        }
        if (c_.method == "PUT" && kind == Kind::RouteTable) {
            return put(kind, topId, segs[7]);
        }
        if (c_.method == "DELETE" && kind == Kind::VirtualNetwork) {
            return remove(kind, topKey);
        }
        return methodNotAllowed();
    }
    static const std::map<std::pair<Kind, std::string>, std::pair<Kind, std::string>> childKinds = {
        {{Kind::VirtualNetwork, "subnets"}, {Kind::Subnet, "subnets"}},
        {{Kind::VirtualNetwork, "virtualnetworkpeerings"},
         {Kind::Peering, "virtualNetworkPeerings"}},
        {{Kind::Hub, "hubvirtualnetworkconnections"},
         {Kind::HubConnection, "hubVirtualNetworkConnections"}}};
    auto child = childKinds.find({kind, lower[8]});
    if (child == childKinds.end() || segs.size() > 10) {
        return armError(404, "NotFound", "No route for " + c_.method + " " + c_.path + ".");
    }
    const Kind childKind = child->second.first;
    if (segs.size() == 9) {
        if (c_.method != "GET") {
            return methodNotAllowed();
        }
        if (top == s_.resources.end()) {
            return armError(404, "ResourceNotFound", notFound);
        }
        auto list = children(s_, topKey, lower[8]);
        return page(list.size(), [&](size_t i) {
            return view(s_, list[i].first, *list[i].second, pendingState(s_, list[i].first));
        });
    }
    const std::string childKey = topKey + "/" + lower[8] + "/" + lower[9];
    const std::string childId = topId + "/" + child->second.second + "/" + segs[9];
    if (c_.method == "GET") {
        if (top == s_.resources.end()) {
            return armError(404, "ResourceNotFound", notFound);
        }
        return get(childKey, "NotFound", "Resource " + childId + " not found.");
    }
    if (c_.method == "PUT") {
        return put(childKind, childId, segs[9]);
    }
    if (c_.method == "DELETE") {
        return remove(childKind, childKey);
    }
    return methodNotAllowed();
}

Reply Handler::arm() {
    if (auto bad = authenticate(); bad) {
        return *bad;
    }
    const auto segs = segments(c_.path);
    for (size_t i = 0; i + 2 < segs.size(); ++i) {
        if (iequals(segs[i], "providers") && iequals(segs[i + 1], "Microsoft.Authorization") &&
            iequals(segs[i + 2], "locks")) {
            return locksRoute({segs.begin(), segs.begin() + static_cast<long>(i)},
                              {segs.begin() + static_cast<long>(i) + 3, segs.end()});
        }
    }
    if (segs.empty() || !iequals(segs[0], "subscriptions")) {
        return armError(404, "NotFound", "No route for " + c_.method + " " + c_.path + ".");
    }
    return subscriptionsRoute(segs);
}

Reply Handler::resourceGraph() {
    if (auto bad = authenticate(); bad) {
        return *bad;
    }
    if (auto bad = checkVersion(kGraphVersions); bad) {
        return *bad;
    }
    Json in = Json::parse(c_.body, nullptr, false);
    if (in.is_discarded() || !in.is_object() || !in.contains("query") || !in["query"].is_string()) {
        return armError(400, "BadRequest", "The request body must be a JSON object with a query.");
    }
    const std::string query = in["query"].get<std::string>();
    // No KQL here: only the gateway query is recognised, with the gateway subnet id captured.
    static const std::regex gatewayQuery(
        R"(^Resources \| where type =~ 'Microsoft\.Network/virtualNetworkGateways' \| mvexpand nics=properties\.networkProfile \| mvexpand ipconfig=properties\.ipConfigurations \| where ipconfig\.properties\.subnet\.id =~ '([^']*)' \| project properties\.gatewayType$)");
    std::smatch m;
    const std::string collapsed =
        std::regex_replace(dm::text::trim(query), std::regex(R"(\s+)"), " ");
    if (!std::regex_match(collapsed, m, gatewayQuery)) {
        return jsonReply(
            400, Json{{"error",
                       {{"code", "BadRequest"},
                        {"message",
                         "This emulator answers only the virtual network gateway "
                         "query (gateways whose ipConfigurations sit in one subnet, "
                         "projecting properties.gatewayType); got: " +
                             query},
                        {"details", Json::array({{{"code", "UnsupportedQuery"},
                                                  {"message", "Query is not supported."}}})}}}});
    }
    const std::string subnetKey = idKey(m[1].str());

    std::set<std::string> scope;
    if (in.contains("subscriptions") && in["subscriptions"].is_array()) {
        for (const auto& sub : in["subscriptions"]) {
            if (sub.is_string()) {
                scope.insert(toLower(sub.get<std::string>()));
            }
        }
    } else {
        for (const auto& [k, sub] : s_.subscriptions) {
            scope.insert(k);
        }
    }
    std::vector<const Entry*> gateways;
    for (const auto& [k, entry] : sortedOfKind(Kind::Gateway, "/")) {
        const Entry& e = *entry;
        const auto segs = segments(k);
        if (segs.size() < 2 || scope.count(segs[1]) == 0) {
            continue;
        }
        if (!who_->allSubscriptions &&
            std::find(who_->subscriptions.begin(), who_->subscriptions.end(), segs[1]) ==
                who_->subscriptions.end()) {
            continue;
        }
        gateways.push_back(&e);
    }
    std::vector<Json> types;
    for (const Entry* g : gateways) {
        const Json& p = g->body["properties"];
        for (const auto& ipc : p.value("ipConfigurations", Json::array())) {
            const Json subnet = ipc.value("properties", Json::object()).value("subnet", Json());
            if (idKey(refId(subnet)) == subnetKey) {
                types.push_back(p.value("gatewayType", Json()));
            }
        }
    }
    const std::string format = in.contains("options") && in["options"].is_object()
                                   ? in["options"].value("resultFormat", std::string("objectArray"))
                                   : "objectArray";
    Json data;
    if (iequals(format, "table")) {
        data = {
            {"columns", Json::array({{{"name", "properties_gatewayType"}, {"type", "string"}}})},
            {"rows", Json::array()}};
        for (const auto& t : types) {
            data["rows"].push_back(Json::array({t}));
        }
    } else {
        data = Json::array();
        for (const auto& t : types) {
            data.push_back({{"properties_gatewayType", t}});
        }
    }
    return jsonReply(200, Json{{"totalRecords", types.size()},
                               {"count", types.size()},
                               {"data", data},
                               {"facets", Json::array()},
                               {"resultTruncated", "false"}});
}

}  // namespace

// ---- CloudModel ----------------------------------------------------------------------------

CloudModel::CloudModel() : state_(std::make_unique<State>()) {}
CloudModel::~CloudModel() = default;

void CloudModel::setBaseUrl(const std::string& baseUrl) {
    baseUrl_ = baseUrl;
}
ModelSettings& CloudModel::settings() {
    return settings_;
}
long CloudModel::tokenGrants() const {
    return tokenGrants_;
}

void CloudModel::load(const Json& topology) {
    auto fresh = std::make_unique<State>();
    loadTopology(*fresh, topology);
    // Tokens survive a reload while their principal does, so clients need not log in again.
    fresh->tokens = std::move(state_->tokens);
    state_ = std::move(fresh);
}

Json CloudModel::dump() {
    completeUnder(*state_, "");
    return dumpTopology(*state_);
}

Json CloudModel::resource(const std::string& id) {
    completeUnder(*state_, "");
    return viewKey(*state_, idKey(id));
}

Reply CloudModel::token(const std::string& tenant, const std::map<std::string, std::string>& form) {
    auto field = [&form](const char* name) {
        auto it = form.find(name);
        return it == form.end() ? std::string() : it->second;
    };
    if (field("grant_type") != "client_credentials") {
        return aadError(
            400, "unsupported_grant_type", 70003,
            "The app requested an unsupported grant type '" + field("grant_type") + "'.");
    }
    const std::string clientId = field("client_id");
    if (clientId.empty()) {
        return aadError(400, "invalid_request", 900144,
                        "The request body must contain the following parameter: 'client_id'.");
    }
    const Principal* tenantMatch = nullptr;
    const Principal* principal = nullptr;
    for (const auto& p : state_->principals) {
        if (iequals(p.tenant, tenant)) {
            tenantMatch = &p;
            if (p.clientId == clientId) {
                principal = &p;
            }
        }
    }
    if (tenantMatch == nullptr) {
        return aadError(400, "invalid_request", 90002,
                        "Tenant '" + tenant +
                            "' not found. Check to make sure you have the "
                            "correct tenant ID and are signing into the correct cloud.");
    }
    if (principal == nullptr) {
        return aadError(400, "unauthorized_client", 700016,
                        "Application with identifier '" + clientId +
                            "' was not found in the directory '" + tenant + "'.");
    }
    if (field("client_secret") != principal->secret) {
        return aadError(401, "invalid_client", 7000215,
                        "Invalid client secret provided. Ensure the secret being sent in the "
                        "request is the client secret value, not the client secret ID, for a "
                        "secret added to app '" +
                            clientId + "'.");
    }
    const std::string scope = field("scope");
    if (scope.empty() || !dm::text::endsWith(scope, "/.default")) {
        return aadError(400, "invalid_scope", 70011,
                        "The provided value for the input parameter 'scope' is not valid. The "
                        "scope " +
                            scope + " is not valid.");
    }
    const std::string token = "emu." + randomHex(48);
    state_->tokens[token] = Token{principal->tenant, principal->clientId,
                                  Clock::now() + std::chrono::seconds(principal->tokenLifetime)};
    ++tokenGrants_;
    return jsonReply(200, Json{{"token_type", "Bearer"},
                               {"expires_in", principal->tokenLifetime},
                               {"ext_expires_in", principal->tokenLifetime},
                               {"access_token", token}});
}

Reply CloudModel::arm(const ArmCall& call) {
    return Handler(*state_, settings_, baseUrl_, call).arm();
}

Reply CloudModel::resourceGraph(const ArmCall& call) {
    return Handler(*state_, settings_, baseUrl_, call).resourceGraph();
}

}  // namespace dm::emu
