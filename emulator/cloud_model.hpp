#pragma once
// The Azure half of the emulator: subscriptions, resource groups, network resources, locks,
// service principals and their tokens, and the long-running operations that change them. It
// knows nothing of sockets: the server hands it decoded calls and sends back its replies.
// Not thread-safe; the server serialises calls.

#include <map>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "emulator.hpp"

namespace dm::emu {

// What to do with a write that targets a VNet (or route table, hub) while an earlier
// operation on it is unfinished: complete the earlier one first, or refuse the new one.
enum class ConflictMode { Off, Status409, Status429 };

class Timing;  // timing_profile.hpp

struct ModelSettings {
    int pageSize = 50;
    int lroPolls = 1;
    ConflictMode conflicts = ConflictMode::Off;
    Timing* timing = nullptr;  // how long operations run; null: they count polls
};

struct Reply {
    int status = 200;
    Json body;         // sent as JSON unless null
    std::string text;  // sent as is when body is null
    std::vector<std::pair<std::string, std::string>> headers;
    bool lroStarted = false;  // a long-running operation was created for the request
};

// An operation that is to end Failed instead of applying its change.
struct LroFailure {
    std::string code = "InternalServerError";
    std::string message = "An error occurred.";
};

struct ArmCall {
    std::string method;   // upper case
    std::string path;     // percent-decoded, without the query
    std::string rawPath;  // as received, for nextLink
    std::map<std::string, std::string> query;
    std::string body;
    std::string authorization;  // the Authorization header, empty when absent
    std::optional<LroFailure> lroFailure;
};

struct Principal;

// A request to a managed identity endpoint: the metadata service's path or the App Service
// style one.
struct IdentityCall {
    std::string path;  // percent-decoded, without the query
    std::map<std::string, std::string> query;
    std::optional<std::string> metadata;        // the Metadata header
    std::optional<std::string> identityHeader;  // the X-IDENTITY-HEADER header
};

class CloudModel {
  public:
    CloudModel();
    ~CloudModel();

    void setBaseUrl(const std::string& baseUrl);
    ModelSettings& settings();

    // Replaces the whole state; throws dm::ConfigError naming the bad key, keeping the old state.
    void load(const Json& topology);
    // The state in topology format, after completing every pending operation.
    Json dump();
    // The resource as a GET returns it after completing every pending operation, or null when
    // absent.
    Json resource(const std::string& id);

    // Answers the client-credentials token request of `tenant`.
    Reply token(const std::string& tenant, const std::map<std::string, std::string>& form);
    // Answers a managed identity token request (docs/emulator.md, "Credentials").
    Reply identityToken(const IdentityCall& call);
    // Answers an ARM call (network resources, locks, subscriptions, operation polls).
    Reply arm(const ArmCall& call);
    // Answers a Resource Graph query; only the gateway query is understood.
    Reply resourceGraph(const ArmCall& call);

    long tokenGrants() const;

    struct State;  // defined in cloud_state.hpp

  private:
    // A new bearer token of the principal, stored until it expires.
    std::string issueToken(const Principal& principal);

    std::unique_ptr<State> state_;
    std::string baseUrl_;
    ModelSettings settings_;
    long tokenGrants_ = 0;
};

// An ARM error reply: {"error": {"code", "message"}}.
Reply armError(int status, const std::string& code, const std::string& message);

}  // namespace dm::emu
