// The long-running operation engine: every network write starts an operation that applies the
// change when it completes, after a number of polls (or, under the realistic timing profile, at
// its end time), a conflicting write, or a dump.

#include <algorithm>

#include "cloud_handler.hpp"
#include "cloud_internal.hpp"
#include "core/text.hpp"
#include "timing_profile.hpp"

namespace dm::emu {
namespace {

using dm::text::startsWith;
using dm::text::toLower;

void eraseTree(CloudModel::State& s, const std::string& key) {
    auto it = s.resources.lower_bound(key);
    while (it != s.resources.end() && underScope(it->first, key)) {
        it = s.resources.erase(it);
    }
    for (auto lit = s.locks.begin(); lit != s.locks.end();) {
        lit = underScope(idKey(lit->second.scope), key) ? s.locks.erase(lit) : std::next(lit);
    }
}

}  // namespace

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

void completeDue(CloudModel::State& s, std::chrono::steady_clock::time_point now) {
    std::vector<Operation*> due;
    for (const auto& [key, id] : s.pendingByKey) {
        Operation& op = s.operations.at(id);
        if (op.doneAt && *op.doneAt <= now) {
            due.push_back(&op);
        }
    }
    std::sort(due.begin(), due.end(),
              [](const Operation* a, const Operation* b) { return a->seq < b->seq; });
    for (Operation* op : due) {
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
    if (settings_.timing != nullptr) {
        if (auto duration = settings_.timing->operationDuration(op.key)) {
            op.doneAt = std::chrono::steady_clock::now() + *duration;
        }
    }
    const auto pollHeader = settings_.timing != nullptr
                                ? settings_.timing->pollHeader()
                                : std::pair<std::string, std::string>("Retry-After", "0");
    const std::string statusPath = "/subscriptions/" + op.subscription +
                                   "/providers/Microsoft.Network/locations/" + op.location;
    // ARM's status URLs carry the api-version of the request that started the operation.
    const std::string version = "?api-version=" + c_.query.at("api-version");
    const std::string id = op.id;
    const std::string key = op.key;
    const bool isPut = op.method == "PUT";
    s_.pendingByKey[key] = id;
    Operation& stored = s_.operations[id] = std::move(op);

    Reply r;
    r.status = status;
    r.body = std::move(body);
    if (settings_.lroPolls <= 0 && !stored.doneAt) {
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
    r.headers.push_back(pollHeader);
    return r;
}

Reply Handler::pollRoute(const std::string& opId, bool resultStyle) {
    auto it = s_.operations.find(toLower(opId));
    if (it == s_.operations.end()) {
        return armError(404, "NotFound", "Operation " + opId + " was not found.");
    }
    Operation& op = it->second;
    const auto pollHeader = settings_.timing != nullptr
                                ? settings_.timing->pollHeader()
                                : std::pair<std::string, std::string>("Retry-After", "0");
    if (op.status == "InProgress") {
        if (op.doneAt) {
            if (*op.doneAt <= std::chrono::steady_clock::now()) {
                completeOperation(s_, op);
            }
        } else if (op.pollsLeft > 0) {
            --op.pollsLeft;
        } else {
            completeOperation(s_, op);
        }
    }
    if (!resultStyle) {
        Reply r = jsonReply(200, operationStatus(op));
        if (op.status == "InProgress") {
            r.headers.push_back(pollHeader);
        }
        return r;
    }
    if (op.status == "InProgress") {
        Reply r = jsonReply(202, nullptr);
        r.headers.emplace_back("Location",
                               base_ + c_.rawPath + "?api-version=" + c_.query.at("api-version"));
        r.headers.push_back(pollHeader);
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

}  // namespace dm::emu
