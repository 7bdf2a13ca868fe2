// The logging configuration (a record, so the driver can adjust handler levels before applying
// it) and its application to spdlog.

#include <spdlog/pattern_formatter.h>
#include <spdlog/sinks/basic_file_sink.h>
#include <spdlog/sinks/stdout_sinks.h>
#include <spdlog/spdlog.h>

#include <cctype>
#include <filesystem>
#include <map>

#include "core/error.hpp"
#include "core/log.hpp"
#include "core/text.hpp"
#include "services/common/common.hpp"
#include "services/common/config_check.hpp"
#include "services/context/run_context.hpp"

namespace dm {

namespace {

const std::vector<std::string>& loggerNames() {
    static const std::vector<std::string> names = {"dm",
                                                   "dm.arm.cutoverlib",
                                                   "dm.arm.commonlib",
                                                   "dm.arm.terraform",
                                                   "dm.arm.telvane",
                                                   "dm.arm.res.VWanMgmt",
                                                   "dm.arm.lib.subnet_groups",
                                                   "dm.aws",
                                                   "dm.http",
                                                   "dm.azure"};
    return names;
}

std::string upper(std::string s) {
    for (char& c : s)
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return s;
}

constexpr const char* kConsolePattern = "%v";
constexpr const char* kFilePattern = "%Y-%m-%d %H:%M:%S.%e %-8l %n: %v";

spdlog::level::level_enum parseLevel(const Record& value, const std::string& where) {
    if (value.is_number_integer()) {
        // Numeric levels as in the common logging convention: 10 debug ... 50 critical.
        int n = value.get<int>();
        if (n <= 0)
            return spdlog::level::trace;
        if (n <= 10)
            return spdlog::level::debug;
        if (n <= 20)
            return spdlog::level::info;
        if (n <= 30)
            return spdlog::level::warn;
        if (n <= 40)
            return spdlog::level::err;
        return spdlog::level::critical;
    }
    static const std::map<std::string, spdlog::level::level_enum> names = {
        {"notset", spdlog::level::trace},     {"debug", spdlog::level::debug},
        {"info", spdlog::level::info},        {"warning", spdlog::level::warn},
        {"warn", spdlog::level::warn},        {"error", spdlog::level::err},
        {"critical", spdlog::level::critical}};
    if (value.is_string()) {
        auto it = names.find(text::toLower(value.get<std::string>()));
        if (it != names.end())
            return it->second;
    }
    throw ConfigError("logging configuration: " + where + ": unknown level " + value.dump());
}

// The message with the run's secrets masked and its control characters escaped: a secret that an
// answer echoes never reaches the console or the file, and a name or an answer that holds a
// newline or an escape sequence cannot add a line that reads like the tool's own, nor drive the
// terminal. Masking comes first, so a secret is found as it was written.
class EscapedMessage : public spdlog::custom_flag_formatter {
  public:
    explicit EscapedMessage(std::shared_ptr<const SecretSet> secrets)
        : secrets_(std::move(secrets)) {}

    void format(const spdlog::details::log_msg& msg, const std::tm&,
                spdlog::memory_buf_t& dest) override {
        std::string_view text(msg.payload.data(), msg.payload.size());
        std::string masked;
        if (secrets_ && !secrets_->empty()) {
            masked = secrets_->mask(text);
            text = masked;
        }
        if (!text::hasControl(text)) {
            dest.append(text.data(), text.data() + text.size());
            return;
        }
        const std::string escaped = text::escapeControl(text);
        dest.append(escaped.data(), escaped.data() + escaped.size());
    }
    std::unique_ptr<custom_flag_formatter> clone() const override {
        return std::make_unique<EscapedMessage>(secrets_);
    }

  private:
    std::shared_ptr<const SecretSet> secrets_;
};

// A formatter for `pattern` whose message flag (%v) masks secrets and escapes control
// characters.
std::unique_ptr<spdlog::formatter> escapingFormatter(std::string pattern,
                                                     std::shared_ptr<const SecretSet> secrets) {
    for (auto at = pattern.find("%v"); at != std::string::npos; at = pattern.find("%v", at))
        pattern.replace(at, 2, "%*");
    auto formatter = std::make_unique<spdlog::pattern_formatter>();
    formatter->add_flag<EscapedMessage>('*', std::move(secrets)).set_pattern(pattern);
    return formatter;
}

// A console handler that steps around the run's status line: the line is cleared before a log
// line reaches the terminal and drawn again after it (standard output and standard error may be
// one terminal). The status line itself never passes through here.
class ProgressAwareSink : public spdlog::sinks::sink {
  public:
    ProgressAwareSink(spdlog::sink_ptr inner, std::shared_ptr<ProgressDisplay> progress)
        : inner_(std::move(inner)), progress_(std::move(progress)) {
        set_level(inner_->level());
    }
    void log(const spdlog::details::log_msg& msg) override {
        progress_->aroundOutput([&] { inner_->log(msg); });
    }
    void flush() override { inner_->flush(); }
    void set_pattern(const std::string& pattern) override { inner_->set_pattern(pattern); }
    void set_formatter(std::unique_ptr<spdlog::formatter> formatter) override {
        inner_->set_formatter(std::move(formatter));
    }

  private:
    spdlog::sink_ptr inner_;
    std::shared_ptr<ProgressDisplay> progress_;
};

spdlog::sink_ptr makeSink(const std::string& name, const Record& handler, const Record& formatters,
                          std::shared_ptr<const SecretSet> secrets,
                          std::shared_ptr<ProgressDisplay> progress) {
    std::string kind = handler.value("class", "console");
    spdlog::sink_ptr sink;
    if (kind == "console") {
        if (handler.value("stream", "stdout") == "stderr") {
            sink = std::make_shared<spdlog::sinks::stderr_sink_mt>();
        } else {
            sink = std::make_shared<spdlog::sinks::stdout_sink_mt>();
        }
    } else if (kind == "file") {
        std::string file = handler.value("filename", "");
        if (file.empty())
            throw ConfigError("logging configuration: " + name + ": no filename");
        std::error_code ec;
        auto parent = std::filesystem::path(file).parent_path();
        if (!parent.empty())
            std::filesystem::create_directories(parent, ec);
        try {
            sink = std::make_shared<spdlog::sinks::basic_file_sink_mt>(
                file, handler.value("mode", "a") == "w");
        } catch (const spdlog::spdlog_ex& e) {
            throw ConfigError(file + ": cannot open log file: " + e.what());
        }
    } else {
        throw ConfigError("logging configuration: " + name + ": unknown handler class \"" + kind +
                          "\"");
    }
    std::string pattern = kind == "console" ? kConsolePattern : kFilePattern;
    if (auto formatter = lookup(handler, "formatter"); formatter && formatter->is_string()) {
        if (auto f = lookup(formatters, formatter->get<std::string>())) {
            pattern = f->value("format", pattern);
        }
    }
    sink->set_formatter(escapingFormatter(pattern, std::move(secrets)));
    sink->set_level(handler.contains("level") ? parseLevel(handler["level"], name)
                                              : spdlog::level::trace);
    if (kind == "console" && progress)
        return std::make_shared<ProgressAwareSink>(sink, std::move(progress));
    return sink;
}

void configureLogger(const std::string& name, std::vector<spdlog::sink_ptr> sinks,
                     spdlog::level::level_enum level) {
    auto logger = spdlog::get(name);
    if (logger) {
        // Replace in place: modules may hold the pointer they got earlier.
        logger->sinks() = std::move(sinks);
    } else {
        logger = std::make_shared<spdlog::logger>(name, sinks.begin(), sinks.end());
        spdlog::register_logger(logger);
    }
    logger->set_level(level);
    logger->flush_on(spdlog::level::trace);
}

}  // namespace

LogLocation Common::initLogLocation(const Record& doc) {
    Record log;
    if (const Record* found = config::find(doc, "log", "")) {
        config::expectMap(*found, "log");
        log = *found;
    }
    LogLocation location;
    location.log_folder = config::optString(log, "folder", "log").value_or("logs");
    std::string fileName =
        config::optString(log, "file_name", "log").value_or("dm.arm.switch_traffic.log");
    location.log_file = (std::filesystem::path(location.log_folder) / fileName).string();
    std::string consoleLevel = config::optString(log, "console_level", "log").value_or("INFO");
    std::string fileLevel = config::optString(log, "file_level", "log").value_or("DEBUG");

    Record& cfg = location.logging_config;
    cfg["version"] = 1;
    cfg["formatters"]["bare"]["format"] = kConsolePattern;
    cfg["formatters"]["detailed"]["format"] = kFilePattern;
    cfg["handlers"]["consoleHandler"] = {{"class", "console"},
                                         {"stream", "stdout"},
                                         {"formatter", "bare"},
                                         {"level", upper(consoleLevel)}};
    cfg["handlers"]["logConsoleHandler"] = {{"class", "file"},
                                            {"filename", location.log_file},
                                            {"mode", "a"},
                                            {"formatter", "detailed"},
                                            {"level", upper(fileLevel)}};
    for (const std::string& name : loggerNames()) {
        cfg["loggers"][name] = {
            {"level", "DEBUG"},
            {"handlers", Record::array({"consoleHandler", "logConsoleHandler"})}};
    }
    return location;
}

void applyLoggingConfig(const Record& config) {
    Record formatters = config.value("formatters", Record::object());
    std::map<std::string, spdlog::sink_ptr> sinks;
    const Record handlers = config.value("handlers", Record::object());
    RunContext& run = currentRun();
    for (const auto& [name, handler] : handlers.items()) {
        // Behind a holding handler: a VNet in flight beside others holds its lines for its turn.
        sinks[name] = holdingSink(makeSink(name, handler, formatters, run.secrets, run.progress));
    }
    auto counter = holdingSink(run.exitStatus.sink());

    std::vector<std::string> configured;
    const Record loggers = config.value("loggers", Record::object());
    for (const auto& [name, logger] : loggers.items()) {
        std::vector<spdlog::sink_ptr> own;
        const Record names = logger.value("handlers", Record::array());
        for (const Record& handler : names) {
            auto it = sinks.find(handler.get<std::string>());
            if (it == sinks.end()) {
                throw ConfigError("logging configuration: logger " + name + ": unknown handler " +
                                  handler.dump());
            }
            own.push_back(it->second);
        }
        own.push_back(counter);
        auto level =
            logger.contains("level") ? parseLevel(logger["level"], name) : spdlog::level::debug;
        configureLogger(name, std::move(own), level);
        configured.push_back(name);
    }

    // Loggers that modules registered themselves get the same handlers, so no line is lost.
    std::vector<spdlog::sink_ptr> all;
    for (const auto& [name, sink] : sinks)
        all.push_back(sink);
    all.push_back(counter);
    spdlog::apply_all([&](std::shared_ptr<spdlog::logger> logger) {
        const std::string& name = logger->name();
        if (name.empty())
            return;
        for (const auto& c : configured) {
            if (c == name)
                return;
        }
        logger->sinks() = all;
        logger->set_level(spdlog::level::debug);
        logger->flush_on(spdlog::level::trace);
    });
}

void Common::logCommandOptions(const std::string& commandLine) {
    auto logger = spdlog::get(LOGGER);
    if (logger)
        logger->info(commandLine);
}

void Common::logSubscription(const std::string& subId) {
    auto logger = spdlog::get(LOGGER);
    if (logger)
        logger->info("Processing subscription " + subId);
}

}  // namespace dm
