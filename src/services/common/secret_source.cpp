#include "services/common/secret_source.hpp"

#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iostream>
#include <sstream>

#include "core/error.hpp"
#include "services/context/run_context.hpp"

namespace dm::secret {
namespace {

// Every secret read joins the run's secrets, so that no log line shows it, whatever echoes it.
std::string known(std::string value) {
    if (RunContext* run = currentRunIfAny())
        run->secrets->add(value);
    return value;
}

}  // namespace

std::optional<std::string> fromEnv(const std::string& name) {
    const char* value = std::getenv(name.c_str());
    if (value == nullptr || *value == '\0')
        return std::nullopt;
    return known(value);
}

std::string fromFile(const std::string& path, const std::string& what) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        throw ConfigError("cannot read " + what + " file " + path + ": " + std::strerror(errno));
    }
    std::ostringstream buffer;
    buffer << in.rdbuf();
    std::string content = buffer.str();
    while (!content.empty() && (content.back() == '\n' || content.back() == '\r')) {
        content.pop_back();
    }
    if (content.empty())
        throw ConfigError(what + " file " + path + " is empty");
    return known(std::move(content));
}

std::optional<std::string> fromTerminal(const std::string& prompt) {
    if (!isatty(STDIN_FILENO))
        return std::nullopt;
    std::cerr << prompt << std::flush;
    termios saved{};
    bool restore = tcgetattr(STDIN_FILENO, &saved) == 0;
    if (restore) {
        termios quiet = saved;
        quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO);
        tcsetattr(STDIN_FILENO, TCSANOW, &quiet);
    }
    std::string line;
    std::getline(std::cin, line);
    if (restore)
        tcsetattr(STDIN_FILENO, TCSANOW, &saved);
    std::cerr << std::endl;
    if (!line.empty() && line.back() == '\r')
        line.pop_back();
    return known(std::move(line));
}

}  // namespace dm::secret
