#pragma once
// Captures what named spdlog loggers write, one line per message ("%l: %v" by default), and
// gives the loggers back their sinks and levels afterwards.

#include <spdlog/sinks/ostream_sink.h>
#include <spdlog/spdlog.h>

#include <sstream>
#include <string>
#include <vector>

namespace dm::testing {

class LogCapture {
  public:
    // Logger names that are not registered yet are created for the capture and dropped after.
    explicit LogCapture(std::vector<std::string> names,
                        spdlog::level::level_enum level = spdlog::level::debug,
                        const std::string& pattern = "%l: %v") {
        sink_ = std::make_shared<spdlog::sinks::ostream_sink_mt>(stream_);
        sink_->set_pattern(pattern);
        for (const auto& name : names) {
            Saved saved{name, spdlog::get(name), {}, spdlog::level::info, false};
            if (saved.logger) {
                saved.sinks = saved.logger->sinks();
                saved.level = saved.logger->level();
            } else {
                saved.logger = std::make_shared<spdlog::logger>(name);
                spdlog::register_logger(saved.logger);
                saved.created = true;
            }
            saved.logger->sinks().push_back(sink_);
            saved.logger->set_level(level);
            saved_.push_back(std::move(saved));
        }
    }
    LogCapture(const LogCapture&) = delete;
    LogCapture& operator=(const LogCapture&) = delete;

    ~LogCapture() {
        for (auto& saved : saved_) {
            if (saved.created) {
                spdlog::drop(saved.name);
            } else {
                saved.logger->sinks() = saved.sinks;
                saved.logger->set_level(saved.level);
            }
        }
    }

    std::string text() const { return stream_.str(); }
    std::vector<std::string> lines() const {
        std::vector<std::string> out;
        std::istringstream in(stream_.str());
        for (std::string line; std::getline(in, line);)
            out.push_back(line);
        return out;
    }
    bool contains(const std::string& fragment) const {
        return stream_.str().find(fragment) != std::string::npos;
    }

  private:
    struct Saved {
        std::string name;
        std::shared_ptr<spdlog::logger> logger;
        std::vector<spdlog::sink_ptr> sinks;
        spdlog::level::level_enum level;
        bool created;
    };
    std::ostringstream stream_;
    std::shared_ptr<spdlog::sinks::ostream_sink_mt> sink_;
    std::vector<Saved> saved_;
};

}  // namespace dm::testing
