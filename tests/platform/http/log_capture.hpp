#pragma once
// Captures what the "dm.http" logger writes, as "level: message" lines.

#include <spdlog/sinks/ostream_sink.h>
#include <spdlog/spdlog.h>

#include <sstream>

#include "platform/http/log.hpp"

namespace dm::http::testing {

class LogCapture {
  public:
    explicit LogCapture(spdlog::level::level_enum level) {
        spdlog::drop(kLoggerName);
        auto sink = std::make_shared<spdlog::sinks::ostream_sink_st>(stream_);
        sink->set_pattern("%l: %v");
        auto logger = std::make_shared<spdlog::logger>(kLoggerName, sink);
        logger->set_level(level);
        spdlog::register_logger(logger);
    }
    ~LogCapture() { spdlog::drop(kLoggerName); }
    std::string text() const { return stream_.str(); }

  private:
    std::ostringstream stream_;
};

}  // namespace dm::http::testing
