#pragma once
// Reading JSON text: every reader of the tool goes through here.
//
// A SIMD parser reads the text and Records are built from its compact form, several times
// quicker than nlohmann's own parser on large answers. Whatever the path, the result is the
// Record nlohmann's parser gives for the text: a repeated key keeps its first place and takes
// the last value, and non-negative integers are unsigned. Texts the SIMD parser declines
// (integers beyond 64 bits) are read by nlohmann's parser instead: what it reads, reads here.
// One exception: a text nested deeper than kMaxJsonDepth is not JSON here, whatever the path,
// since a Record that deep could not be copied or printed without overflowing the stack.
//
// - parseJson, parseJsonObject: the whole text as a Record. The default.
// - parseJsonSelecting: a reply of which one list is needed only in part (some entries, some
//   fields of each); the rest of that list is never built.
// - parseJsonListPage, the one fast path that defers work. Use it for large list answers whose
//   items are mostly read for a field or two (a name, an id, one tag) and only a few are needed
//   whole, such as a page of a whole-subscription listing. Its items stay in the parser's
//   compact form: a read looks the field up there, and toRecord() builds the item when a caller
//   needs it whole. It guarantees that every read and every toRecord() gives what the same read
//   of the item in parseJson's Record of the page gives. The price: an item keeps its whole page
//   in memory (the compact form takes several times the text's size), so keep items only as long
//   as the listing is being read, and keep what lasts as Records.

#include <cstddef>
#include <initializer_list>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "core/record.hpp"

namespace dm {

// The deepest nesting of arrays and objects read; the SIMD parser's own limit.
inline constexpr std::size_t kMaxJsonDepth = 1024;

// Whether the text nests arrays and objects deeper than `limit`, counting the brackets outside
// strings. Cheap, and meant for texts about to be parsed: for one that is not JSON the answer
// does not matter.
bool jsonDeeperThan(std::string_view text, std::size_t limit);

// The Record for `text`, or nullopt when the text is not JSON.
std::optional<Record> parseJson(const std::string& text);

// As parseJson, for texts that must hold an object: nullopt when the text is empty, not JSON, or
// JSON of another kind.
std::optional<Record> parseJsonObject(const std::string& text);

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

namespace detail {
struct JsonPage;  // a parsed list page, defined in json.cpp
}

// One entry of a list page read by parseJsonListPage. Copies are cheap and share the page.
class JsonListItem {
  public:
    // Object keys to follow from the entry: {"properties", "routeTable", "id"}.
    using Path = std::initializer_list<std::string_view>;

    JsonListItem(std::shared_ptr<const detail::JsonPage> page, std::size_t index)
        : page_(std::move(page)), index_(index) {}

    // The text reached by following `path`; nullopt when a key is missing, a step is no object,
    // or the value is no text.
    std::optional<std::string> stringAt(Path path) const;
    // As stringAt, viewed where the page holds it: valid while the item or a copy lives. For
    // scans over a whole listing, which would otherwise copy every item's text.
    std::optional<std::string_view> viewAt(Path path) const;
    // As stringAt, for a boolean.
    std::optional<bool> boolAt(Path path) const;
    // The value at `path`, whatever its kind; nullopt when a key is missing or a step is no
    // object. An empty path gives the whole entry.
    std::optional<Record> valueAt(Path path) const;
    // The whole entry.
    Record toRecord() const;

  private:
    std::shared_ptr<const detail::JsonPage> page_;
    std::size_t index_;
};

struct JsonListPage {
    std::vector<JsonListItem> items;  // the entries of the list, in order
    std::optional<std::string> next;  // the next page's link; absent or no text: the last page
};

// A page {"<listKey>": [...], "<nextKey>": "..."} whose list entries stay compact (see above).
// A missing list, or one that is no array, gives no items. Nullopt when the text is not a JSON
// object.
std::optional<JsonListPage> parseJsonListPage(const std::string& text, std::string_view listKey,
                                              std::string_view nextKey);

}  // namespace dm
