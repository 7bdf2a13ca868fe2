#pragma once
// Small text helpers for names and ids.

#include <string>
#include <string_view>
#include <vector>

namespace dm::text {

std::string toLower(std::string_view s);
bool startsWith(std::string_view s, std::string_view prefix);
bool endsWith(std::string_view s, std::string_view suffix);
bool iequals(std::string_view a, std::string_view b);
// Splits at every occurrence of `sep`; empty fields are kept ("a//b" gives a, "", b).
std::vector<std::string> split(std::string_view s, char sep);
std::string join(const std::vector<std::string>& parts, std::string_view sep);
std::string trim(std::string_view s);
// The text with its control characters shown escaped, so that it cannot break or forge a line:
// "\n", "\r", "\t", other C0 characters and DEL as "\xHH", and C1 characters (UTF-8 C2 80 to
// C2 9F) as "\u00HH". Everything else, the backslash included, is kept as it is.
std::string escapeControl(std::string_view s);
// True when escapeControl would change `s`.
bool hasControl(std::string_view s);
// A name that can become one file or folder name and one log line: not "." or "..", without
// "/", "\\" or control characters.
bool isSafePathName(std::string_view name);

}  // namespace dm::text
