#pragma once
// How long the emulated cloud takes to answer. Two profiles:
//   uniform   (the default) the --latency-ms delay on every request; an operation answers
//             InProgress for --lro-polls polls, with Retry-After: 0.
//   realistic every request waits a time drawn from the ranges of kRealisticPaces (plus
//             --latency-ms), and a network operation runs for a drawn time, measured on the
//             clock, whatever the number of polls; while it runs it asks for polls every
//             kRealisticRetryAfterSeconds.
// Every realistic time is multiplied by the time scale, so a run at 0.01 takes a hundredth of
// the time it would against the cloud and its wall time, divided by the scale, projects the real
// one. docs/emulator.md explains the figures and the header sent when scaled.

#include <array>
#include <chrono>
#include <cstdint>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <utility>

#include <nlohmann/json.hpp>

namespace dm::emu {

// What a request (or an operation) is, for the time it takes.
enum class Pace {
    ArmRead,           // ARM GET, operation status polls, Resource Graph queries
    ArmWrite,          // an ARM PUT or DELETE until it is accepted
    NetworkOperation,  // a network write's long-running operation, from accepted to done
    ControllerAttach,  // attach_spoke_to_transit_gateway
    ControllerDetach,  // detach_spoke_from_transit_gateway
    ControllerOther,   // every other controller call, login included
    Token,             // a client-credentials token grant
};

struct PaceRange {
    Pace pace;
    const char* name;
    int minMs;
    int maxMs;
};

// The realistic profile: assumptions from public experience of ARM and of network controllers,
// not measurements; correct them here (and in docs/emulator.md) when better figures are known.
inline constexpr std::array<PaceRange, 7> kRealisticPaces = {{
    {Pace::ArmRead, "arm_read", 30, 100},
    {Pace::ArmWrite, "arm_write", 100, 300},
    {Pace::NetworkOperation, "network_operation", 5'000, 20'000},
    {Pace::ControllerAttach, "controller_attach", 20'000, 40'000},
    {Pace::ControllerDetach, "controller_detach", 10'000, 20'000},
    {Pace::ControllerOther, "controller_other", 200, 1'000},
    {Pace::Token, "token", 50, 150},
}};
// What a running network operation answers as Retry-After.
inline constexpr int kRealisticRetryAfterSeconds = 10;

struct TimingOptions {
    std::string profile = "uniform";  // "uniform" or "realistic"
    double timeScale = 1.0;           // realistic times are multiplied by this; (0, 100]
    uint64_t seed = 1;                // realistic times are drawn from it
};

// Throws dm::Error naming the option when the profile or the scale is not allowed.
void checkTimingOptions(const TimingOptions& options);

// Applies one /admin/settings key ("profile", "time_scale", "seed") to `options`; false for any
// other key. Throws dm::Error naming the key on a bad value.
bool applyTimingSetting(TimingOptions& options, const std::string& key,
                        const nlohmann::ordered_json& value);

// The delays of one emulator. Thread-safe: requests draw their delays outside the model's lock.
class Timing {
  public:
    explicit Timing(TimingOptions options = {});

    // Replaces the options (checked) and starts the draws afresh.
    void configure(const TimingOptions& options);
    TimingOptions options() const;
    bool realistic() const;

    // The delay before answering a request of `kind` (the emulator's counter names: arm_read,
    // arm_write, lro_poll, token, resource_graph, controller); zero under the uniform profile.
    // A request's delay depends on the seed, its method, path and controller action, and how
    // many times the same request came before, so a run repeats whatever the order of threads.
    std::chrono::microseconds requestDelay(const std::string& kind, const std::string& method,
                                           const std::string& path, const std::string& action);
    // How long a network operation on the resource `key` runs; nullopt under the uniform
    // profile, where polls count instead.
    std::optional<std::chrono::microseconds> operationDuration(const std::string& key);
    // The header that asks a client to wait before polling a running operation: Retry-After in
    // seconds at scale 1 or more (rounded up), retry-after-ms below it; Retry-After: 0 under the
    // uniform profile.
    std::pair<std::string, std::string> pollHeader() const;

  private:
    std::chrono::microseconds draw(Pace pace, const std::string& key);

    mutable std::mutex mu_;
    TimingOptions options_;
    std::map<std::string, uint64_t> seen_;  // request key -> times drawn
};

}  // namespace dm::emu
