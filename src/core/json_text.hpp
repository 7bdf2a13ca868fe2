#pragma once
// Reading JSON text fast: a SIMD parser reads the text and the Record is built from its compact
// form, which is several times quicker than nlohmann's own parser on large answers.

#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "core/record.hpp"

namespace dm {

// The Record that nlohmann's parser gives for `text` (a repeated key keeps its first place and
// the last value; non-negative integers are unsigned), or nullopt when the text is not JSON.
std::optional<Record> parseJson(const std::string& text);

// What a reader needs of the list under `listKey` of a top-level object. Large list replies are
// read for one entry, or a field or two of each, so the rest is never built.
struct ListSelection {
    std::string_view listKey;
    // Object entries keep only these fields (those they have); empty keeps every field.
    std::vector<std::string_view> keys;
    // Object entries whose field `first` holds anything but the text `second` are dropped;
    // entries without that field, and entries that are not objects, stay for the reader to see.
    std::optional<std::pair<std::string_view, std::string_view>> where;
};

// parseJson, with the list that `selection` names reduced as it says; the rest of the text is
// read whole. Gives what parseJson and then the same reduction would give.
std::optional<Record> parseJsonSelecting(const std::string& text, const ListSelection& selection);

}  // namespace dm
