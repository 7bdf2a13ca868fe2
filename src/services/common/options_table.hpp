#pragma once
// The options of the document's "switch_traffic" section: their kinds, defaults, the record
// key they are stored under and whether a VNet entry may override them.

#include <optional>
#include <string>
#include <vector>

#include "core/record.hpp"
#include "services/common/config_check.hpp"

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

// What the texts of an option stand for, which decides the rule they follow beyond their type.
enum class Holds {
    Anything,
    Names,         // names of Azure or controller objects: no control characters
    GatewayNames,  // controller gateway names (config::checkGatewayName)
    Cidrs,         // CIDRs: a text of CIDRs separated by ",", or a list of CIDRs
};

struct Option {
    std::string yamlKey;
    std::string recordKey;
    Kind kind;
    std::optional<Record> defaultValue;  // nullopt: the key is required in "switch_traffic"
    bool perVnet;                        // a VNet entry may set its own value
    bool inRecord;                       // readGlobalConfigOption adds it to the record
    Holds holds = Holds::Anything;       // the texts it holds: map keys, values, list items
};

const std::vector<Option>& all();

// The option under its YAML key, or null.
const Option* byYamlKey(const std::string& key);

// Checks `value` (found at `path`) against the option's kind and the rule of the texts it
// holds, adding one problem for each key, list item or text that breaks them.
void check(const Option& option, const Record& value, const std::string& path,
           config::Problems& problems);
// The same, throwing a ConfigError (config::DocumentProblems) with every problem found.
void check(const Option& option, const Record& value, const std::string& path);

// The value as stored in a record: a list given for a text-or-list option becomes its texts
// joined with ","; every other value is kept.
Record normalise(const Option& option, const Record& value);

}  // namespace dm::options
