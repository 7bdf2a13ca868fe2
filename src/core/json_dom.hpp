#pragma once
// The bridge from the SIMD parser's compact form to Records, for readers that keep the compact
// form and build Records only from the parts they need. Include only in .cpp files.

#include <simdjson.h>

#include "core/record.hpp"

namespace dm::jsondom {

// The element as the Record nlohmann's parser would build from its text.
Record toRecord(simdjson::dom::element element);

// Parses into `document` (reused parser buffers, one per thread); false when the parser
// declines the text: not JSON, or what it does not take (integers beyond 64 bits).
bool parseInto(simdjson::dom::document& document, const std::string& text,
               simdjson::dom::element& root);

}  // namespace dm::jsondom
