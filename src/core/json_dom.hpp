#pragma once
// The bridge from the SIMD parser's compact form to Records, for readers that keep the compact
// form and build Records only from the parts they need. Include only in .cpp files.

#include <simdjson.h>

#include <optional>
#include <string>
#include <string_view>

#include "core/record.hpp"

namespace dm::jsondom {

// The element as the Record nlohmann's parser would build from its text.
Record toRecord(simdjson::dom::element element);

// Parses into `document` (reused parser buffers, one per thread); false when the parser
// declines the text: not JSON, or what it does not take (integers beyond 64 bits).
bool parseInto(simdjson::dom::document& document, const std::string& text,
               simdjson::dom::element& root);

// nlohmann's own parse, for the texts parseInto declines; nullopt when the text is not JSON.
std::optional<Record> parseFallback(const std::string& text);

// The value of the last field named `key` of an object (the one a full parse keeps); nullopt
// when there is none or `element` is no object.
std::optional<simdjson::dom::element> lastField(simdjson::dom::element element,
                                                std::string_view key);

}  // namespace dm::jsondom
