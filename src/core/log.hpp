#pragma once
// The one way every module gets its named logger.

#include <spdlog/logger.h>

#include <memory>

namespace dm {

// The registered logger of that name; when none is registered yet, registers one that writes
// to the default logger's sinks, so a line logged before logging is configured is not lost and
// the logging set-up later gives it its handlers. Looked up on every call so that a logger
// configured later wins. Never throws.
std::shared_ptr<spdlog::logger> namedLogger(const char* name);

}  // namespace dm

#include <spdlog/details/log_msg_buffer.h>
#include <spdlog/sinks/sink.h>

#include <utility>
#include <vector>

#include "core/thread_scope.hpp"

namespace dm {

// The lines one VNet logs while several VNets are in flight, held so that they reach the log as
// one block in the VNet's turn and the log reads as a run of one VNet after another.
class HeldLines {
  public:
    void hold(const std::shared_ptr<spdlog::sinks::sink>& sink,
              const spdlog::details::log_msg& msg);
    // Writes the held lines to their handlers in the order they were logged; then holds none.
    void release();
    bool empty() const { return lines_.empty(); }

  private:
    std::vector<std::pair<std::shared_ptr<spdlog::sinks::sink>, spdlog::details::log_msg_buffer>>
        lines_;
};

// Lines logged on this thread through holding handlers go to `held` for the scope's lifetime.
class HoldScope : ThreadScope<HeldLines> {
  public:
    explicit HoldScope(HeldLines& held);
};

// `inner` behind a handler that hands each line to the lines held on the calling thread, if
// any, and writes it at once otherwise.
std::shared_ptr<spdlog::sinks::sink> holdingSink(std::shared_ptr<spdlog::sinks::sink> inner);

}  // namespace dm
