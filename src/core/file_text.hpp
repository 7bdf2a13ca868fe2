#pragma once
// Reading a small file (a key, a token, a credentials file) whole.

#include <optional>
#include <string>

namespace dm {

// The file's bytes; nullopt when it cannot be opened or read.
std::optional<std::string> readFileText(const std::string& path);

}  // namespace dm
