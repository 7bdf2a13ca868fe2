// CloudModel's entry points and the small helpers every piece of it uses. The request handling
// is split by topic over the other cloud_*.cpp files (see cloud_handler.hpp).

#include "cloud_model.hpp"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <ctime>
#include <random>

#include "cloud_handler.hpp"
#include "cloud_internal.hpp"
#include "cloud_state.hpp"
#include "core/error.hpp"
#include "core/text.hpp"

namespace dm::emu {
namespace {

using dm::text::startsWith;
using dm::text::toLower;
using Clock = std::chrono::system_clock;

}  // namespace

// ---- shared helpers -------------------------------------------------------------------------

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

std::string newEtag() {
    return "W/\"" + stableGuid(randomHex(16)) + "\"";
}

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

Reply CloudModel::arm(const ArmCall& call) {
    completeDue(*state_, std::chrono::steady_clock::now());
    return Handler(*state_, settings_, baseUrl_, call).arm();
}

Reply CloudModel::resourceGraph(const ArmCall& call) {
    completeDue(*state_, std::chrono::steady_clock::now());
    return Handler(*state_, settings_, baseUrl_, call).resourceGraph();
}

}  // namespace dm::emu
