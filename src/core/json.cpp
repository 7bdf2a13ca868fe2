#include "core/json.hpp"

#include <simdjson.h>

#include <cstdint>
#include <cstring>
#include <memory>

namespace dm {

namespace dom = simdjson::dom;

namespace detail {

// One parsed list page; its items refer into it.
struct JsonPage {
    dom::document document;
    bool compact = true;
    std::vector<dom::element> elements;  // the entries, when compact
    std::vector<Record> records;         // the entries of a page the SIMD parser declined
};

}  // namespace detail

namespace {

// The element as the Record nlohmann's parser would build from its text.
Record buildRecord(dom::element element) {
    switch (element.type()) {
        case dom::element_type::OBJECT: {
            Record out = Record::object();
            for (dom::key_value_pair field : dom::object(element)) {
                // operator[]: a repeated key keeps its first place and takes the last value.
                out[std::string(field.key)] = buildRecord(field.value);
            }
            return out;
        }
        case dom::element_type::ARRAY: {
            Record out = Record::array();
            auto& items = out.get_ref<Record::array_t&>();
            dom::array array(element);
            items.reserve(array.size());
            for (dom::element item : array)
                items.push_back(buildRecord(item));
            return out;
        }
        case dom::element_type::STRING:
            return Record(std::string(std::string_view(element)));
        case dom::element_type::INT64: {
            const auto value = int64_t(element);
            if (value >= 0)
                return Record(static_cast<std::uint64_t>(value));
            return Record(value);
        }
        case dom::element_type::UINT64:
            return Record(uint64_t(element));
        case dom::element_type::DOUBLE:
            return Record(double(element));
        case dom::element_type::BOOL:
            return Record(bool(element));
        case dom::element_type::NULL_VALUE:
            break;
    }
    return Record(nullptr);
}

// Parses into `document` with the thread's parser (its buffers are reused); false when the
// parser declines the text: not JSON, or what it does not take (integers beyond 64 bits).
bool parseInto(dom::document& document, const std::string& text, dom::element& root) {
    // The parser keeps buffers for the largest text it has read (four bytes per byte of it);
    // after a rare large one (a hub VNet with a thousand peerings) they are let go.
    constexpr std::size_t kKeptCapacity = 256 * 1024;
    thread_local dom::parser parser;
    // A text with the padding spare behind it (a response body) is read in place, not copied.
    const bool copy = text.capacity() - text.size() < simdjson::SIMDJSON_PADDING;
    const bool parsed =
        parser
            .parse_into_document(document, reinterpret_cast<const uint8_t*>(text.data()),
                                 text.size(), copy)
            .get(root) == simdjson::SUCCESS;
    if (parser.capacity() > kKeptCapacity)
        parser = dom::parser();
    return parsed;
}

static_assert(kMaxJsonDepth == simdjson::DEFAULT_MAX_DEPTH);

// A parsed document holds buffers sized for the worst case of its text (a tape word per byte,
// 5/3 of it for strings): about ten times the text. A page that is kept gets buffers of what its
// tape and strings use, typically a sixth of that. The tape's layout: each word is a type
// character in the top byte and a payload below it; the first word's payload is the length of
// the tape (its last word closes the root); a string's payload is its offset in the string buffer,
// where a 32-bit length, the bytes and a NUL follow; a number's value takes the next word.
void shrinkToFit(dom::document& document) {
    constexpr uint64_t kPayload = (uint64_t{1} << 56) - 1;
    const uint64_t* tape = document.tape.get();
    const std::size_t words = static_cast<std::size_t>(tape[0] & kPayload);
    std::size_t stringBytes = 0;
    for (std::size_t i = 0; i < words; ++i) {
        const auto type = static_cast<char>(tape[i] >> 56);
        if (type == '"') {
            const std::size_t offset = static_cast<std::size_t>(tape[i] & kPayload);
            uint32_t length = 0;
            std::memcpy(&length, document.string_buf.get() + offset, sizeof length);
            stringBytes = offset + sizeof length + length + 1;
        } else if (type == 'l' || type == 'u' || type == 'd') {
            ++i;
        }
    }
    auto newTape = std::make_unique_for_overwrite<uint64_t[]>(words);
    std::memcpy(newTape.get(), tape, words * sizeof(uint64_t));
    auto newStrings = std::make_unique_for_overwrite<uint8_t[]>(stringBytes);
    std::memcpy(newStrings.get(), document.string_buf.get(), stringBytes);
    document.tape = std::move(newTape);
    document.string_buf = std::move(newStrings);
}

// nlohmann's own parse, for the texts parseInto declines; nullopt when the text is not JSON.
// nlohmann's parser takes any depth, so the SIMD parser's limit is applied here too.
std::optional<Record> parseFallback(const std::string& text) {
    if (jsonDeeperThan(text, kMaxJsonDepth))
        return std::nullopt;
    Record json = Record::parse(text, nullptr, false);
    if (json.is_discarded())
        return std::nullopt;
    return json;
}

// The value of the last field named `key` of an object (the one a full parse keeps); nullopt
// when there is none or `element` is no object.
std::optional<dom::element> lastField(dom::element element, std::string_view key) {
    if (element.type() != dom::element_type::OBJECT)
        return std::nullopt;
    std::optional<dom::element> found;
    for (dom::key_value_pair field : dom::object(element)) {
        if (field.key == key)
            found = field.value;
    }
    return found;
}

// --- selecting parse ---

bool isKept(const ListSelection& selection, std::string_view key) {
    if (selection.keys.empty())
        return true;
    for (std::string_view kept : selection.keys) {
        if (kept == key)
            return true;
    }
    return false;
}

// Whether an object entry stays; the last of repeated fields decides, as in a full parse.
bool matchesWhere(const ListSelection& selection, dom::element entry) {
    if (!selection.where)
        return true;
    const auto field = lastField(entry, selection.where->first);
    return !field || (field->is_string() && std::string_view(*field) == selection.where->second);
}

Record selectedEntry(const ListSelection& selection, dom::element entry) {
    if (!entry.is_object() || selection.keys.empty())
        return buildRecord(entry);
    Record out = Record::object();
    for (dom::key_value_pair field : dom::object(entry)) {
        if (isKept(selection, field.key))
            out[std::string(field.key)] = buildRecord(field.value);
    }
    return out;
}

Record selectedList(const ListSelection& selection, dom::array list) {
    Record out = Record::array();
    for (dom::element entry : list) {
        if (entry.is_object() && !matchesWhere(selection, entry))
            continue;
        out.push_back(selectedEntry(selection, entry));
    }
    return out;
}

// The same reduction on a Record, for texts the SIMD parser declines.
void selectInPlace(const ListSelection& selection, Record& root) {
    if (!root.is_object())
        return;
    auto list = root.find(selection.listKey);
    if (list == root.end() || !list->is_array())
        return;
    Record kept = Record::array();
    for (Record& entry : *list) {
        if (entry.is_object()) {
            if (selection.where) {
                auto field = entry.find(selection.where->first);
                if (field != entry.end() &&
                    !(field->is_string() &&
                      field->get_ref<const std::string&>() == selection.where->second)) {
                    continue;
                }
            }
            if (!selection.keys.empty()) {
                Record reduced = Record::object();
                for (auto& [key, value] : entry.items()) {
                    if (isKept(selection, key))
                        reduced[key] = std::move(value);
                }
                entry = std::move(reduced);
            }
        }
        kept.push_back(std::move(entry));
    }
    *list = std::move(kept);
}

// --- list pages ---

std::optional<dom::element> follow(dom::element element, JsonListItem::Path path) {
    std::optional<dom::element> at = element;
    for (std::string_view key : path) {
        at = lastField(*at, key);
        if (!at)
            return std::nullopt;
    }
    return at;
}

const Record* follow(const Record& record, JsonListItem::Path path) {
    const Record* at = &record;
    for (std::string_view key : path) {
        if (!at->is_object())
            return nullptr;
        auto it = at->find(key);
        if (it == at->end())
            return nullptr;
        at = &*it;
    }
    return at;
}

}  // namespace

bool jsonDeeperThan(std::string_view text, std::size_t limit) {
    std::size_t depth = 0;
    bool inString = false;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (inString) {
            if (c == '\\')
                ++i;
            else if (c == '"')
                inString = false;
        } else if (c == '"') {
            inString = true;
        } else if (c == '[' || c == '{') {
            if (++depth > limit)
                return true;
        } else if ((c == ']' || c == '}') && depth > 0) {
            --depth;
        }
    }
    return false;
}

std::optional<Record> parseJson(const std::string& text) {
    // The Record is built before returning, so one document per thread serves every call.
    thread_local dom::document document;
    dom::element root;
    if (parseInto(document, text, root))
        return buildRecord(root);
    return parseFallback(text);
}

std::optional<Record> parseJsonObject(const std::string& text) {
    if (text.empty())
        return std::nullopt;
    auto json = parseJson(text);
    if (!json || !json->is_object())
        return std::nullopt;
    return json;
}

std::optional<Record> parseJsonSelecting(const std::string& text, const ListSelection& selection) {
    thread_local dom::document document;
    dom::element root;
    if (!parseInto(document, text, root)) {
        std::optional<Record> parsed = parseFallback(text);
        if (parsed)
            selectInPlace(selection, *parsed);
        return parsed;
    }
    if (!root.is_object())
        return buildRecord(root);
    Record out = Record::object();
    for (dom::key_value_pair field : dom::object(root)) {
        // A repeated list key: the last one wins, as every other repeated key.
        if (field.key == selection.listKey && field.value.is_array())
            out[std::string(field.key)] = selectedList(selection, dom::array(field.value));
        else
            out[std::string(field.key)] = buildRecord(field.value);
    }
    return out;
}

std::optional<std::string> JsonListItem::stringAt(Path path) const {
    auto view = viewAt(path);
    if (!view)
        return std::nullopt;
    return std::string(*view);
}

std::optional<std::string_view> JsonListItem::viewAt(Path path) const {
    if (page_->compact) {
        auto at = follow(page_->elements[index_], path);
        if (!at || at->type() != dom::element_type::STRING)
            return std::nullopt;
        return std::string_view(*at);
    }
    const Record* at = follow(page_->records[index_], path);
    if (!at || !at->is_string())
        return std::nullopt;
    return std::string_view(at->get_ref<const std::string&>());
}

std::optional<bool> JsonListItem::boolAt(Path path) const {
    if (page_->compact) {
        auto at = follow(page_->elements[index_], path);
        if (!at || at->type() != dom::element_type::BOOL)
            return std::nullopt;
        return bool(*at);
    }
    const Record* at = follow(page_->records[index_], path);
    if (!at || !at->is_boolean())
        return std::nullopt;
    return at->get<bool>();
}

std::optional<Record> JsonListItem::valueAt(Path path) const {
    if (page_->compact) {
        auto at = follow(page_->elements[index_], path);
        if (!at)
            return std::nullopt;
        return buildRecord(*at);
    }
    const Record* at = follow(page_->records[index_], path);
    if (!at)
        return std::nullopt;
    return *at;
}

Record JsonListItem::toRecord() const {
    return *valueAt({});
}

std::optional<JsonListPage> parseJsonListPage(const std::string& text, std::string_view listKey,
                                              std::string_view nextKey) {
    // A document of its own, so that the page outlives the next parse.
    auto page = std::make_shared<detail::JsonPage>();
    JsonListPage out;
    dom::element root;
    if (!parseInto(page->document, text, root)) {
        auto json = parseFallback(text);
        if (!json || !json->is_object())
            return std::nullopt;
        page->compact = false;
        if (auto list = json->find(listKey); list != json->end() && list->is_array())
            page->records = std::move(list->get_ref<Record::array_t&>());
        if (auto next = json->find(nextKey); next != json->end() && next->is_string())
            out.next = next->get<std::string>();
    } else {
        if (root.type() != dom::element_type::OBJECT)
            return std::nullopt;
        // Elements refer to the document and a tape index, which the shrink keeps.
        // Buffers of a larger text are mapped on their own (the program's mmap threshold): their
        // unused part never becomes resident, and a copy would only double the used part at the
        // moment the page is read. Those of a small text come from the heap, to be shrunk.
        constexpr std::size_t kShrinkBelow = 8 * 1024;
        if (text.size() < kShrinkBelow)
            shrinkToFit(page->document);
        if (auto list = lastField(root, listKey);
            list && list->type() == dom::element_type::ARRAY) {
            const dom::array entries(*list);
            page->elements.reserve(entries.size());
            for (dom::element entry : entries)
                page->elements.push_back(entry);
        }
        if (auto next = lastField(root, nextKey); next && next->type() == dom::element_type::STRING)
            out.next = std::string(std::string_view(*next));
    }
    const std::size_t count = page->compact ? page->elements.size() : page->records.size();
    out.items.reserve(count);
    const std::shared_ptr<const detail::JsonPage> shared = std::move(page);
    for (std::size_t i = 0; i < count; ++i)
        out.items.emplace_back(shared, i);
    return out;
}

}  // namespace dm
