#pragma once
// Fast reading of ARM answers. A whole-subscription list page is mostly read for a few fields of
// each item (a name to match, an id, the tags), so list items stay in the parser's compact form
// and become a Record only when a caller needs the whole item. Not part of the client interface.

#include <initializer_list>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "core/record.hpp"

namespace dm::azure::detail {

using JsonPath = std::initializer_list<std::string_view>;

// One object of a parsed list page. Reads are answered from the page's compact form; the page
// stays in memory while an item of it is alive.
class LazyRecord {
  public:
    virtual ~LazyRecord() = default;
    // The string reached by following the object keys of `path`; nullopt when a key is missing,
    // a step is not an object, or the value is not a string.
    virtual std::optional<std::string> stringAt(JsonPath path) const = 0;
    // As stringAt, for a boolean.
    virtual std::optional<bool> boolAt(JsonPath path) const = 0;
    // The value at `path` as a Record; nullopt when a key is missing or a step is not an object.
    virtual std::optional<Record> valueAt(JsonPath path) const = 0;
    // The whole item, exactly as a full parse of its text gives it.
    virtual Record toRecord() const = 0;
};

// An item of a list page: still compact, or already a Record (pages the fast parser declines).
using ListItem = std::variant<Record, std::shared_ptr<const LazyRecord>>;

struct ListPage {
    std::vector<ListItem> items;        // the "value" array, in order
    std::optional<std::string> nextLink;  // absent or not a string: the last page
};

// The body as a JSON object, or nullopt when it is empty, not JSON, or not an object. Gives the
// same Record as nlohmann's parser (duplicate keys: the last value at the first key's place;
// non-negative integers unsigned).
std::optional<Record> parseObject(const std::string& body);

// A list page {"value": [...], "nextLink": "..."}, or nullopt when the body is not a JSON object.
std::optional<ListPage> parseListPage(const std::string& body);

// The item as a Record, built now if it is still compact.
Record toRecord(ListItem item);

}  // namespace dm::azure::detail
