#pragma once
// The in-process cloud emulator: one in-memory model of the Azure endpoints the tool uses
// (Entra token, ARM network and locks, Resource Graph) and of the controller API, served over
// HTTPS on one loopback port from a background thread. The dm-cloud-emulator program wraps it;
// component tests create it directly. docs/emulator.md describes the topology format, the
// admin API and the fault kinds.

#include <memory>
#include <string>

#include <nlohmann/json.hpp>

#include "timing_profile.hpp"

namespace dm::emu {

using Json = nlohmann::ordered_json;

struct EmulatorOptions {
    Json topology = Json::object();  // the format of docs/emulator.md; empty: an empty cloud
    std::string host = "127.0.0.1";  // loopback only
    int port = 0;                    // 0 picks a free port
    int pageSize = 50;               // items per list page before a nextLink
    int lroPolls = 1;                // polls a long-running operation answers InProgress
    int latencyMs = 0;               // added before every non-admin request
    int requestLogSize = 1000;       // requests the request log keeps; 0: none
    std::string stateDir;            // CA and key files; empty: a temp dir removed by stop()
    TimingOptions timing;            // uniform (latencyMs, lroPolls) or realistic delays
};

class Emulator {
  public:
    explicit Emulator(EmulatorOptions options = {});
    ~Emulator();  // stops the server when it still runs
    Emulator(const Emulator&) = delete;
    Emulator& operator=(const Emulator&) = delete;

    // Loads the topology, makes the TLS material and starts serving; throws dm::Error when the
    // topology is invalid, the state dir cannot be written or the port cannot be bound.
    void start();
    // Stops serving and closes open connections; harmless when not started.
    void stop();
    bool running() const;

    int port() const;                       // 0 before start()
    std::string baseUrl() const;            // "https://127.0.0.1:PORT"
    std::string armUrl() const;             // ARM endpoint, the same as baseUrl()
    std::string loginUrl() const;           // authority host for tokens, the same as baseUrl()
    std::string controllerAddress() const;  // "127.0.0.1:PORT"
    std::string adminUrl() const;           // baseUrl() + "/admin"
    std::string caFile() const;             // PEM of the CA that signed the server certificate
    std::string stateDir() const;
    // The ready-file record: base_url, arm_url, login_url, controller_address, admin_url,
    // ca_file, pid.
    Json readyInfo() const;

    // Replaces the whole state (cloud, principals, tokens, controller) with the topology;
    // throws dm::Error naming the bad key, leaving the old state in place.
    void loadTopology(const Json& topology);
    // The state in topology format (loadable again), after completing pending operations,
    // plus the controller's dump under "controller".
    Json dump() const;
    // The resource with that id as an ARM GET would return it once pending operations have
    // completed (as they would have in a real cloud by then), or null when absent.
    Json resource(const std::string& id) const;

    // Ordered log of state-changing requests (ARM writes accepted, controller writes).
    Json writeLog() const;
    void clearWriteLog();
    // The last requests answered (admin ones aside), secrets masked: {"capacity", "dropped",
    // "requests"}.
    Json requestLog() const;
    void clearRequestLog();
    // Fixed controller answers (docs/emulator.md); add returns the rule as stored and throws
    // dm::Error when it is malformed. A topology load replaces them with its own.
    Json addControllerOverride(const Json& rule);
    void clearControllerOverrides();
    Json controllerOverrides() const;
    // Request counts by kind, token grants and TLS connections.
    Json counters() const;
    void resetCounters();

    // Adds a fault rule (docs/emulator.md) and returns it with its "id"; throws dm::Error when
    // the rule is malformed.
    Json injectFault(const Json& fault);
    void clearFaults();
    Json faults() const;  // the rules with the times each one has still to fire

    // Settings: "page_size", "lro_polls", "latency_ms", "conflicts" ("off", "409", "429"),
    // "profile" ("uniform", "realistic"), "time_scale", "seed", "request_log_size".
    Json settings() const;
    // Changes the settings present in `changes`; throws dm::Error on a bad value.
    void updateSettings(const Json& changes);
    void setLatencyMs(int ms);
    void setPageSize(int size);
    void setLroPolls(int polls);

    // True once POST /admin/shutdown was received; the program then calls stop().
    bool shutdownRequested() const;

  private:
    void startServer();
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

}  // namespace dm::emu
