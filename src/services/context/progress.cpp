#include "services/context/progress.hpp"

#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>

namespace dm {
namespace {

constexpr std::string_view kClear = "\r\033[K";  // to the line's start, then erase it

// One line whatever a name holds: control characters would move the cursor or end the line.
std::string printable(std::string text) {
    for (char& c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte < 0x20 || byte == 0x7f)
            c = '?';
    }
    return text;
}

std::string elapsedText(std::chrono::seconds elapsed) {
    const long long total = std::max<long long>(0, elapsed.count());
    char buffer[32];
    std::snprintf(buffer, sizeof buffer, "%lld:%02lld:%02lld", total / 3600, total / 60 % 60,
                  total % 60);
    return buffer;
}

std::string vnetPart(const ProgressState& s) {
    const std::string of = s.vnetCount ? " of " + std::to_string(s.vnetCount) : "";
    if (s.inFlight.size() == 1) {
        const auto& [vnet, step] = s.inFlight.front();
        std::string part = "VNet " + std::to_string(s.vnetsDone + 1) + of + " " + vnet;
        return step.empty() ? part : part + ": " + step;
    }
    if (s.inFlight.size() > 1) {
        std::string part = std::to_string(s.inFlight.size()) + " VNets in flight (";
        for (size_t i = 0; i < s.inFlight.size(); ++i) {
            part += (i ? ", " : "") + s.inFlight[i].first;
            if (!s.inFlight[i].second.empty())
                part += ": " + s.inFlight[i].second;
        }
        return part + "), " + std::to_string(s.vnetsDone) + of + " done";
    }
    std::string part;
    if (s.vnetCount)
        part = "VNets " + std::to_string(s.vnetsDone) + of + " done";
    if (!s.accountStep.empty())
        part += (part.empty() ? "" : ": ") + s.accountStep;
    return part;
}

bool stderrIsTerminal() {
    return ::isatty(STDERR_FILENO) == 1;
}

std::size_t stderrWidth() {
    struct winsize size {};
    if (::ioctl(STDERR_FILENO, TIOCGWINSZ, &size) != 0)
        return 0;
    return size.ws_col;
}

void writeStderr(std::string_view text) {
    while (!text.empty()) {
        const ssize_t n = ::write(STDERR_FILENO, text.data(), text.size());
        if (n <= 0)
            return;  // a status line is not worth failing or blocking for
        text.remove_prefix(static_cast<size_t>(n));
    }
}

}  // namespace

std::string progressLine(const ProgressState& state, std::chrono::seconds elapsed,
                         std::size_t width) {
    std::vector<std::string> parts;
    if (!state.account.empty()) {
        parts.push_back("account " + state.account + " (" + std::to_string(state.accountNumber) +
                        "/" + std::to_string(state.accountCount) + ")");
    }
    if (std::string vnets = vnetPart(state); !vnets.empty())
        parts.push_back(std::move(vnets));
    parts.push_back(elapsedText(elapsed));
    parts.push_back(std::to_string(state.failures) +
                    (state.failures == 1 ? " failure" : " failures"));
    std::string line;
    for (const auto& part : parts)
        line += (line.empty() ? "" : " | ") + part;
    line = printable(std::move(line));
    // One column short of the width: a line that fills the last column wraps on some terminals,
    // and a wrapped line cannot be cleared in place.
    if (width > 1 && line.size() >= width) {
        size_t cut = width - 1;
        while (cut > 0 && (static_cast<unsigned char>(line[cut]) & 0xC0) == 0x80)
            --cut;  // not inside a UTF-8 character
        line.resize(cut);
    }
    return line;
}

ProgressDisplay::ProgressDisplay()
    : ProgressDisplay(
          Terminal{stderrIsTerminal, stderrWidth, writeStderr},
          [] { return std::chrono::steady_clock::now(); }, true) {}

ProgressDisplay::ProgressDisplay(Terminal terminal, Clock clock, bool tick)
    : terminal_(std::move(terminal)), clock_(std::move(clock)), tick_(tick) {}

ProgressDisplay::~ProgressDisplay() {
    finish();
}

void ProgressDisplay::start(bool allowed, std::function<std::size_t()> failures) {
    std::lock_guard lock(mutex_);
    if (active_ || !allowed || !terminal_.isTerminal())
        return;
    active_ = true;
    started_ = clock_();
    failures_ = std::move(failures);
    redrawLocked();
    if (tick_)
        ticker_ = std::thread([this] { tickLoop(); });
}

void ProgressDisplay::finish() {
    {
        std::lock_guard lock(mutex_);
        if (!active_)
            return;
        clearLocked();
        active_ = false;
    }
    wake_.notify_all();
    if (ticker_.joinable())
        ticker_.join();
}

bool ProgressDisplay::active() const {
    std::lock_guard lock(mutex_);
    return active_;
}

void ProgressDisplay::tickLoop() {
    std::unique_lock lock(mutex_);
    while (active_) {
        wake_.wait_for(lock, std::chrono::seconds(1));
        if (active_)
            redrawLocked();
    }
}

void ProgressDisplay::redrawLocked() {
    if (!active_)
        return;
    state_.failures = failures_ ? failures_() : 0;
    const auto elapsed = std::chrono::duration_cast<std::chrono::seconds>(clock_() - started_);
    std::string text(kClear);
    text += progressLine(state_, elapsed, terminal_.width ? terminal_.width() : 0);
    terminal_.write(text);
    drawn_ = true;
}

void ProgressDisplay::clearLocked() {
    if (drawn_)
        terminal_.write(kClear);
    drawn_ = false;
}

void ProgressDisplay::update(const std::function<void(ProgressState&)>& change) {
    std::lock_guard lock(mutex_);
    change(state_);
    redrawLocked();
}

void ProgressDisplay::beginAccount(const std::string& account, std::size_t number,
                                   std::size_t count) {
    update([&](ProgressState& s) {
        const std::size_t failures = s.failures;
        s = ProgressState{};
        s.account = account;
        s.accountNumber = number;
        s.accountCount = count;
        s.failures = failures;
    });
}

void ProgressDisplay::setVnetCount(std::size_t count) {
    update([&](ProgressState& s) { s.vnetCount = count; });
}

void ProgressDisplay::setAccountStep(const std::string& step) {
    update([&](ProgressState& s) { s.accountStep = step; });
}

void ProgressDisplay::beginVnet(const std::string& vnet) {
    update([&](ProgressState& s) {
        s.accountStep.clear();  // the account's own work before its VNets is over
        s.inFlight.emplace_back(vnet, "");
    });
}

void ProgressDisplay::setStep(const std::string& vnet, const std::string& step) {
    update([&](ProgressState& s) {
        for (auto& [name, current] : s.inFlight) {
            if (name == vnet)
                current = step;
        }
    });
}

void ProgressDisplay::endVnet(const std::string& vnet) {
    update([&](ProgressState& s) {
        auto it = std::find_if(s.inFlight.begin(), s.inFlight.end(),
                               [&](const auto& entry) { return entry.first == vnet; });
        if (it == s.inFlight.end())
            return;
        s.inFlight.erase(it);
        ++s.vnetsDone;
    });
}

void ProgressDisplay::aroundOutput(const std::function<void()>& write) {
    std::lock_guard lock(mutex_);
    clearLocked();
    write();
    redrawLocked();
}

ProgressState ProgressDisplay::state() const {
    std::lock_guard lock(mutex_);
    return state_;
}

}  // namespace dm
