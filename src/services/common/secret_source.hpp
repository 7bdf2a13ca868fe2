#pragma once
// Reading secrets (passwords, client secrets) from the sources the discovery YAML names. The
// secret itself never appears in an error text, and every secret read joins the installed run's
// secrets (RunContext::secrets), which the log masks.

#include <optional>
#include <string>

namespace dm::secret {

// The environment variable's value, or nullopt when it is unset or empty.
std::optional<std::string> fromEnv(const std::string& name);

// The file's content without its trailing line break; throws ConfigError (naming the path and
// `what`) when the file cannot be read or is empty.
std::string fromFile(const std::string& path, const std::string& what);

// Reads one line from the terminal with echo off, after writing `prompt` to stderr; nullopt
// when standard input is no terminal.
std::optional<std::string> fromTerminal(const std::string& prompt);

}  // namespace dm::secret
