#pragma once
// The status line of a run: on a terminal, one line on standard error that says where the run
// stands (account, VNet, step, elapsed time, failures so far), redrawn in place and cleared at
// the end. It is never part of the log: the log's console handlers only step around it
// (aroundOutput), so a log line written to the same terminal is never mixed with it.

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <functional>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <utility>
#include <vector>

namespace dm {

// What the line shows. The VNets in flight are kept as a list so that a run working on several
// VNets at once can show each of them.
struct ProgressState {
    std::string account;            // the subscription being processed; "" before the first
    std::size_t accountNumber = 0;  // 1-based
    std::size_t accountCount = 0;
    std::size_t vnetCount = 0;  // VNets of the account that the run works on; 0 while unknown
    std::size_t vnetsDone = 0;
    std::vector<std::pair<std::string, std::string>> inFlight;  // VNet name, its step
    std::string accountStep;  // what the account does outside any VNet
    std::size_t failures = 0;
};

// The line for `state` after `elapsed`, cut to `width` columns (0: not cut). Control characters
// of names are shown as '?', so the line stays one line.
std::string progressLine(const ProgressState& state, std::chrono::seconds elapsed,
                         std::size_t width);

class ProgressDisplay {
  public:
    // Where the line goes; replaced in tests.
    struct Terminal {
        std::function<bool()> isTerminal;             // whether standard error is a terminal
        std::function<std::size_t()> width;           // its columns; 0 when unknown
        std::function<void(std::string_view)> write;  // writes to standard error at once
    };
    using Clock = std::function<std::chrono::steady_clock::time_point()>;

    // Standard error of the process, and a redraw each second so the elapsed time moves.
    ProgressDisplay();
    // `tick`: whether a thread redraws the line each second between two reports.
    ProgressDisplay(Terminal terminal, Clock clock, bool tick);
    ~ProgressDisplay();
    ProgressDisplay(const ProgressDisplay&) = delete;
    ProgressDisplay& operator=(const ProgressDisplay&) = delete;

    // Shows the line from now on when `allowed` and standard error is a terminal; `failures`
    // counts the failures so far. Nothing is drawn before start() or after finish().
    void start(bool allowed, std::function<std::size_t()> failures);
    // Clears the line for good (the end of the run).
    void finish();
    bool active() const;

    // --- what the driver reports ---
    void beginAccount(const std::string& account, std::size_t number, std::size_t count);
    void setVnetCount(std::size_t count);
    void setAccountStep(const std::string& step);
    void beginVnet(const std::string& vnet);
    void setStep(const std::string& vnet, const std::string& step);
    void endVnet(const std::string& vnet);

    // Runs `write` (which writes a line to the terminal) with the status line cleared first
    // and drawn again after.
    void aroundOutput(const std::function<void()>& write);

    ProgressState state() const;

  private:
    void redrawLocked();
    void clearLocked();
    void update(const std::function<void(ProgressState&)>& change);
    void tickLoop();

    Terminal terminal_;
    Clock clock_;
    bool tick_;
    mutable std::mutex mutex_;
    std::condition_variable wake_;
    std::thread ticker_;
    bool active_ = false;
    bool drawn_ = false;
    std::chrono::steady_clock::time_point started_{};
    std::function<std::size_t()> failures_;
    ProgressState state_;
};

}  // namespace dm
