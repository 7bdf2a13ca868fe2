#pragma once
// Typed reads of the discovery document with one-line errors that name the file, the key path
// and what was expected: "<file>: <path>: expected <what>, found <what was there>".

#include <optional>
#include <string>

#include "core/record.hpp"

namespace dm::config {

// How a value reads in an error: "the string \"yes\"", "a list", "null"...
std::string describe(const Record& value);

// The path of a key under `parent` ("a.b" or "b" at the top).
std::string child(const std::string& parent, const std::string& key);
// The path of a list element ("account_info[0]").
std::string element(const std::string& parent, std::size_t index);

// The file that errors name: the run's discovery YAML, or "<discovery YAML>".
std::string fileName();

[[noreturn]] void failMissing(const std::string& path, const std::string& expected);
[[noreturn]] void failType(const std::string& path, const std::string& expected,
                           const Record& found);

// The value of `key`, or null when `map` lacks it (or is null itself). A `map` that is neither
// a map nor null is a type error at `mapPath`.
const Record* find(const Record& map, const std::string& key, const std::string& mapPath);

// Typed reads; absent or null gives nullopt, any other type is a ConfigError at the path.
std::optional<bool> optBool(const Record& map, const std::string& key, const std::string& mapPath);
std::optional<std::string> optString(const Record& map, const std::string& key,
                                     const std::string& mapPath);

// Required reads: absent (or null) is a ConfigError "missing".
const Record& require(const Record& map, const std::string& key, const std::string& mapPath,
                      const std::string& expected);
std::string requireString(const Record& map, const std::string& key, const std::string& mapPath);
// The value under `key`, null included, for reads after the document was validated; a missing
// key (or a `map` that is no map) is a ConfigError "<file>: missing key '<prefix><key>'".
const Record& requireKey(const Record& map, const std::string& key, const std::string& prefix);

// Checks a value found at `path` against a kind; throws a type error otherwise.
void expectBool(const Record& value, const std::string& path);
void expectString(const Record& value, const std::string& path);
void expectNumber(const Record& value, const std::string& path);
void expectMap(const Record& value, const std::string& path);
void expectList(const Record& value, const std::string& path);
void expectStringList(const Record& value, const std::string& path);

}  // namespace dm::config
