#pragma once
// The options of the document's "switch_traffic" section: their kinds, defaults, the record
// key they are stored under and whether a VNet entry may override them.

#include <optional>
#include <string>
#include <vector>

#include "core/record.hpp"

namespace dm::options {

enum class Kind {
    Bool,
    String,          // a text, required to be a string
    NullableString,  // a text or null
    Number,
    StringList,
    StringMap,         // map of text to text
    TextOrStringList,  // a text, or a list of texts joined with ","
    ListMap,           // null, or a map of text to a list of texts
};

struct Option {
    std::string yamlKey;
    std::string recordKey;
    Kind kind;
    std::optional<Record> defaultValue;  // nullopt: the key is required in "switch_traffic"
    bool perVnet;                        // a VNet entry may set its own value
    bool inRecord;                       // readGlobalConfigOption adds it to the record
};

const std::vector<Option>& all();

// The option under its YAML key, or null.
const Option* byYamlKey(const std::string& key);

// Checks `value` (found at `path`) against the option's kind; a ConfigError otherwise.
void check(const Option& option, const Record& value, const std::string& path);

// The value as stored in a record: a list given for a text-or-list option becomes its texts
// joined with ","; every other value is kept.
Record normalise(const Option& option, const Record& value);

}  // namespace dm::options
