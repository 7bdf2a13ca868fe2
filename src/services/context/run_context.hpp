#pragma once
// The run context: everything one run of the tool owns. The driver makes it at start-up, fills
// it in as it goes (options, dry-run policy, document, controller login, the account being
// processed) and installs it with RunScope; services reach it through currentRun(). The
// class-level names that callers of the toolkit use (Globals, YamlContext, AppExitStatus,
// Telvane, Terraform, Aws, SwitchTraffic::DryRun) are thin facades over it, so no state of a
// run lives anywhere else.

#include <spdlog/sinks/sink.h>

#include <atomic>
#include <chrono>
#include <cstddef>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <typeindex>
#include <vector>

#include "core/record.hpp"
#include "core/secret_set.hpp"
#include "core/thread_scope.hpp"
#include "platform/http/dry_run_guard.hpp"
#include "platform/http/shared_transport.hpp"
#include "services/context/command_options.hpp"
#include "services/context/progress.hpp"

namespace dm::azure {
class TokenCredential;
}

namespace dm {

// Whether the run may change anything, and what the seams refused when it may not. One policy
// for every component: the operations ask it before each change call (and log what they skip),
// and the transports and the account-folder writer refuse any change it does not allow.
class DryRunPolicy {
  public:
    bool active() const { return active_; }
    void activate() { active_ = true; }
    // For tests that compare a dry run with a real one inside one run.
    void deactivate() { active_ = false; }

    // Called by a seam that refused a change; the run then ends with status 1.
    void noteRefused() { ++refused_; }
    std::size_t refusedCount() const { return refused_; }

  private:
    bool active_ = false;
    std::atomic<std::size_t> refused_{0};
};

// The run's exit status, decided by what it logged (see AppExitStatus).
class ExitStatus {
  public:
    ExitStatus();
    // 1 after markFailed() or a refused dry-run change; else 2 when an error line was logged;
    // else 0.
    int status(const DryRunPolicy& policy) const;
    void markFailed() { failed_ = true; }
    std::size_t errorCount() const { return errors_->load(); }
    // Counts the error-level (and critical) lines of the loggers it is attached to.
    const std::shared_ptr<spdlog::sinks::sink>& sink() const { return sink_; }

  private:
    std::shared_ptr<std::atomic<std::size_t>> errors_;
    std::shared_ptr<spdlog::sinks::sink> sink_;
    std::atomic<bool> failed_{false};
};

// What the closing summary and the run report say of one account.
struct AccountSummary {
    std::string subscriptionId;
    std::string targetLocation;
    std::string outcome;                // "completed", "refused" or "stopped"
    std::vector<std::string> done;      // VNets switched (or reverted)
    std::vector<std::string> skipped;   // VNets refused as already switched
    std::vector<std::string> failed;    // the VNet whose pipeline stopped the run
    std::vector<std::string> notFound;  // VNets of the YAML that the subscription does not have
    size_t errorLines = 0;
    bool revertRecordStored = false;
};

// What is one VNet's own while several VNets of an account are in flight (a parallel run): its
// option record, the revert record entries it makes, and the services' per-VNet state. A worker
// installs it with LaneScope while it runs the VNet's pipeline; without one (a run of one VNet
// at a time) the run itself holds that state.
class VnetLane {
  public:
    VnetLane() = default;
    VnetLane(const VnetLane&) = delete;
    VnetLane& operator=(const VnetLane&) = delete;

    Record vnetOptions;
    // A switch's entries for this VNet, merged into the account's record in listing order.
    std::optional<Record> revertRecord;

    // The lane's instance of a service's per-VNet state; used by its worker only.
    template <class Service>
    Service& service() {
        auto& slot = services_[std::type_index(typeid(Service))];
        if (!slot)
            slot = std::make_shared<Service>();
        return *std::static_pointer_cast<Service>(slot);
    }

  private:
    std::map<std::type_index, std::shared_ptr<void>> services_;
};

// The lane installed on this thread, or null.
VnetLane* currentLane();

class LaneScope : ThreadScope<VnetLane> {
  public:
    explicit LaneScope(VnetLane& lane);
};

// One mutex per resource (a VNet whose peerings several VNets change, a virtual hub), so that
// VNets in flight at once never write on it at the same time, as Azure refuses.
class ResourceLocks {
  public:
    std::unique_lock<std::mutex> hold(const std::string& resourceId);

  private:
    std::mutex mutex_;
    std::map<std::string, std::unique_ptr<std::mutex>> locks_;
};

class RunContext {
  public:
    RunContext();
    ~RunContext();
    RunContext(const RunContext&) = delete;
    RunContext& operator=(const RunContext&) = delete;

    // --- the command line ---
    CommandOptions options;
    std::vector<std::string> arguments;  // the process arguments without the program name
    DryRunPolicy dryRun;
    bool revert = false;

    // --- the discovery document ---
    std::string inputPath;  // the YAML the document was loaded from
    Record document;
    Record subscriptionMap;  // subscription id -> its information
    Record globalRecord;     // the global configuration record

    // --- the controller ---
    std::string apiBase;         // "https://" + controller address + "/v1/"
    std::string apiEndpointUrl;  // apiBase + "api"
    std::string cid;             // controller login id; never logged
    // Spoke gateway name -> advertised CIDRs; fetched at the first account that passes its
    // guard and kept for the rest of the run.
    std::optional<Record> spokeGwAdvCidr;

    // --- the account and VNet being processed ---
    std::string accountFolder;           // the account folder prepared last; "" before
    std::optional<Record> revertRecord;  // the account's revert record while it runs
    Record vnetOptions;                  // the option record of the VNet being processed
    // The option record of this thread's VNet: its lane's, else vnetOptions.
    Record& currentVnetOptions() {
        VnetLane* lane = currentLane();
        return lane ? lane->vnetOptions : vnetOptions;
    }
    // The revert record this thread's VNet adds to: its lane's own part in a parallel switch,
    // else the account's; null when no account is being processed.
    Record* currentRevertRecord() {
        VnetLane* lane = currentLane();
        if (lane && lane->revertRecord)
            return &*lane->revertRecord;
        return revertRecord ? &*revertRecord : nullptr;
    }
    ResourceLocks resourceLocks;

    // --- logging and outcome ---
    std::string logFile;  // where the log file handler writes
    bool loggingConfigured = false;
    // Every secret the run has read or obtained (passwords, client secrets, tokens, keys); the
    // log's handlers mask them in every line. Shared with the handlers, which may outlive the
    // run in the logger registry.
    std::shared_ptr<SecretSet> secrets = std::make_shared<SecretSet>();
    ExitStatus exitStatus;
    std::vector<AccountSummary> summaries;
    // The status line on a terminal; the driver reports the account, VNet and step to it. Shared
    // with the console handlers, which step around it.
    std::shared_ptr<ProgressDisplay> progress = std::make_shared<ProgressDisplay>();

    // --- transports, credentials, clock ---
    // The transports of the run, one per connection settings, so every client rides one
    // kept-alive connection per host.
    http::TransportPool transports;
    // Replaces the ARM and token transport (tests, emulator runs); null: the pool's.
    std::shared_ptr<http::Transport> azureTransportOverride;
    // One token credential per principal (for a client secret: per cloud, tenant and client;
    // see AzureCredential::getCSC): subscriptions of one principal share its tokens.
    std::map<std::string, std::shared_ptr<azure::TokenCredential>> tokenCredentials;
    std::function<std::chrono::system_clock::time_point()> clock = [] {
        return std::chrono::system_clock::now();
    };

    // Called before anything that changes Azure, the controller or the account folder is sent
    // or written (the transports' guard and the account-folder writer call it): the revert
    // journal makes what undoes the change durable here. Empty: nothing to do.
    std::function<void()> beforeChange;

    // `inner` behind the run's dry-run guard: a request that `isRead` does not accept is
    // refused (and counted) while the policy is active, and preceded by beforeChange() when
    // it is not.
    std::shared_ptr<http::Transport> guarded(std::shared_ptr<http::Transport> inner,
                                             http::RequestClassifier isRead);

    // The run's instance of a service's state, made on first use (services keep their own
    // types; the context needs no knowledge of them).
    // Safe from any thread; the service guards its own state when workers share it.
    template <class Service>
    Service& service() {
        std::lock_guard guard(servicesMutex_);
        auto& slot = services_[std::type_index(typeid(Service))];
        if (!slot)
            slot = std::make_shared<Service>();
        return *std::static_pointer_cast<Service>(slot);
    }

    // A service's per-VNet state: this thread's lane's instance, else the run's (service()).
    template <class Service>
    Service& vnetService() {
        VnetLane* lane = currentLane();
        return lane ? lane->service<Service>() : service<Service>();
    }

  private:
    std::mutex servicesMutex_;
    std::map<std::type_index, std::shared_ptr<void>> services_;
};

// The run installed on this thread; throws dm::Error when none is.
RunContext& currentRun();
// The installed run, or null.
RunContext* currentRunIfAny();

// Installs a run for the current thread for the scope's lifetime (the previous one comes back
// afterwards).
class RunScope : ThreadScope<RunContext> {
  public:
    explicit RunScope(RunContext& run);
};

}  // namespace dm
