#include "core/log.hpp"

#include <spdlog/spdlog.h>

#include <algorithm>

namespace dm {

std::shared_ptr<spdlog::logger> namedLogger(const char* name) {
    if (auto existing = spdlog::get(name))
        return existing;
    const auto& sinks = spdlog::default_logger()->sinks();
    auto created = std::make_shared<spdlog::logger>(name, sinks.begin(), sinks.end());
    try {
        spdlog::initialize_logger(created);
    } catch (const spdlog::spdlog_ex&) {
        // Registered meanwhile by someone else: theirs wins.
        if (auto existing = spdlog::get(name))
            return existing;
    }
    return created;
}

}  // namespace dm

namespace dm {
namespace {

thread_local HeldLines* t_held = nullptr;

class HoldingSink : public spdlog::sinks::sink {
  public:
    explicit HoldingSink(std::shared_ptr<spdlog::sinks::sink> inner) : inner_(std::move(inner)) {
        set_level(inner_->level());
    }
    void log(const spdlog::details::log_msg& msg) override {
        if (t_held)
            t_held->hold(inner_, msg);
        else
            inner_->log(msg);
    }
    void flush() override {
        if (!t_held)
            inner_->flush();
    }
    void set_pattern(const std::string& pattern) override { inner_->set_pattern(pattern); }
    void set_formatter(std::unique_ptr<spdlog::formatter> formatter) override {
        inner_->set_formatter(std::move(formatter));
    }

  private:
    std::shared_ptr<spdlog::sinks::sink> inner_;
};

}  // namespace

void HeldLines::hold(const std::shared_ptr<spdlog::sinks::sink>& sink,
                     const spdlog::details::log_msg& msg) {
    lines_.emplace_back(sink, spdlog::details::log_msg_buffer(msg));
}

void HeldLines::release() {
    std::vector<std::shared_ptr<spdlog::sinks::sink>> written;
    for (auto& [sink, msg] : lines_) {
        sink->log(msg);
        if (std::find(written.begin(), written.end(), sink) == written.end())
            written.push_back(sink);
    }
    lines_.clear();
    for (auto& sink : written)
        sink->flush();
}

HoldScope::HoldScope(HeldLines& held) : ThreadScope(t_held, held) {}

std::shared_ptr<spdlog::sinks::sink> holdingSink(std::shared_ptr<spdlog::sinks::sink> inner) {
    return std::make_shared<HoldingSink>(std::move(inner));
}

}  // namespace dm
