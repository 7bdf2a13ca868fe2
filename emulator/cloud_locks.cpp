// Management locks: the locks API, and the check that refuses writes and deletions under a lock.

#include <algorithm>

#include "cloud_handler.hpp"
#include "cloud_internal.hpp"
#include "core/text.hpp"

namespace dm::emu {
namespace {

using dm::text::iequals;
using dm::text::toLower;

}  // namespace

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

Reply Handler::locksRoute(const std::vector<std::string>& scopeSegs,
                          const std::vector<std::string>& rest) {
    if (auto bad = checkVersion(apiVersionsOf("Microsoft.Authorization/locks")); bad) {
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

}  // namespace dm::emu
