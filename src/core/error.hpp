#pragma once
// One base type for every failure the tool raises; its message is the failure's own text.

#include <stdexcept>
#include <string>

namespace dm {

class Error : public std::runtime_error {
  public:
    explicit Error(const std::string& message) : std::runtime_error(message) {}
};

// Bad input from a file or the command line: the message names the file, key and value.
class ConfigError : public Error {
  public:
    using Error::Error;
};

}  // namespace dm
