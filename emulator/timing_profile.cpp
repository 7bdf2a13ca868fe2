#include "timing_profile.hpp"

#include <cmath>
#include <sstream>

#include "core/error.hpp"

namespace dm::emu {
namespace {

constexpr double kMaxTimeScale = 100.0;

const PaceRange& rangeOf(Pace pace) {
    for (const auto& row : kRealisticPaces) {
        if (row.pace == pace) {
            return row;
        }
    }
    throw dm::Error("timing: no range for a pace");  // every Pace has a row
}

// FNV-1a, then splitmix64's finaliser: a well-spread number from the seed and a text.
uint64_t mix(uint64_t seed, const std::string& text, uint64_t nth) {
    uint64_t h = 1469598103934665603ULL;
    for (unsigned char c : text) {
        h = (h ^ c) * 1099511628211ULL;
    }
    uint64_t z = h ^ (seed * 0x9E3779B97F4A7C15ULL) ^ (nth * 0xBF58476D1CE4E5B9ULL);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
    return z ^ (z >> 31);
}

std::chrono::microseconds scaled(double ms, double scale) {
    return std::chrono::microseconds(std::llround(ms * 1000.0 * scale));
}

std::string numberText(double value) {
    std::ostringstream out;
    out << value;
    return out.str();
}

}  // namespace

void checkTimingOptions(const TimingOptions& options) {
    if (options.profile != "uniform" && options.profile != "realistic") {
        throw dm::Error("--profile must be uniform or realistic, got " + options.profile);
    }
    if (!(options.timeScale > 0.0 && options.timeScale <= kMaxTimeScale)) {
        throw dm::Error("--time-scale must be > 0 and <= 100, got " +
                        numberText(options.timeScale));
    }
}

bool applyTimingSetting(TimingOptions& options, const std::string& key,
                        const nlohmann::ordered_json& value) {
    if (key == "profile") {
        const std::string name = value.is_string() ? value.get<std::string>() : "";
        if (name != "uniform" && name != "realistic") {
            throw dm::Error("settings: \"profile\" must be \"uniform\" or \"realistic\"");
        }
        options.profile = name;
    } else if (key == "time_scale") {
        const double scale = value.is_number() ? value.get<double>() : 0.0;
        if (!(scale > 0.0 && scale <= kMaxTimeScale)) {
            throw dm::Error("settings: \"time_scale\" must be a number > 0 and <= 100");
        }
        options.timeScale = scale;
    } else if (key == "seed") {
        if (!value.is_number_unsigned()) {
            throw dm::Error("settings: \"seed\" must be an integer >= 0");
        }
        options.seed = value.get<uint64_t>();
    } else {
        return false;
    }
    return true;
}

Timing::Timing(TimingOptions options) {
    configure(options);
}

void Timing::configure(const TimingOptions& options) {
    checkTimingOptions(options);
    std::lock_guard<std::mutex> lock(mu_);
    options_ = options;
    seen_.clear();
}

TimingOptions Timing::options() const {
    std::lock_guard<std::mutex> lock(mu_);
    return options_;
}

bool Timing::realistic() const {
    std::lock_guard<std::mutex> lock(mu_);
    return options_.profile == "realistic";
}

std::chrono::microseconds Timing::draw(Pace pace, const std::string& key) {
    std::lock_guard<std::mutex> lock(mu_);
    if (options_.profile != "realistic") {
        return std::chrono::microseconds(0);
    }
    const PaceRange& range = rangeOf(pace);
    const uint64_t nth = seen_[key]++;
    const uint64_t span = static_cast<uint64_t>(range.maxMs - range.minMs) + 1;
    const double ms = range.minMs + static_cast<double>(mix(options_.seed, key, nth) % span);
    return scaled(ms, options_.timeScale);
}

std::chrono::microseconds Timing::requestDelay(const std::string& kind, const std::string& method,
                                               const std::string& path, const std::string& action) {
    Pace pace = Pace::ArmRead;
    if (kind == "arm_write") {
        pace = Pace::ArmWrite;
    } else if (kind == "token") {
        pace = Pace::Token;
    } else if (kind == "controller") {
        pace = action == "attach_spoke_to_transit_gateway"     ? Pace::ControllerAttach
               : action == "detach_spoke_from_transit_gateway" ? Pace::ControllerDetach
                                                               : Pace::ControllerOther;
    } else if (kind != "arm_read" && kind != "lro_poll" && kind != "resource_graph") {
        return std::chrono::microseconds(0);  // admin calls are never slowed down
    }
    return draw(pace, method + " " + path + " " + action);
}

std::optional<std::chrono::microseconds> Timing::operationDuration(const std::string& key) {
    if (!realistic()) {
        return std::nullopt;
    }
    return draw(Pace::NetworkOperation, "operation " + key);
}

std::pair<std::string, std::string> Timing::pollHeader() const {
    std::lock_guard<std::mutex> lock(mu_);
    if (options_.profile != "realistic") {
        return {"Retry-After", "0"};
    }
    const double seconds = kRealisticRetryAfterSeconds * options_.timeScale;
    if (options_.timeScale < 1.0) {
        // A Retry-After in whole seconds cannot say 0.1 s; clients that know retry-after-ms
        // (the Azure SDKs, this tool) read it first.
        return {"retry-after-ms", std::to_string(std::llround(seconds * 1000.0))};
    }
    return {"Retry-After", std::to_string(static_cast<long long>(std::ceil(seconds)))};
}

}  // namespace dm::emu
