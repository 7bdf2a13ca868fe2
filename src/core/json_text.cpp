#include "core/json_text.hpp"

#include "core/json_dom.hpp"

namespace dm {

namespace jsondom {

namespace dom = simdjson::dom;

Record toRecord(dom::element element) {
    switch (element.type()) {
        case dom::element_type::OBJECT: {
            Record out = Record::object();
            for (dom::key_value_pair field : dom::object(element)) {
                // operator[]: a repeated key keeps its first place and takes the last value.
                out[std::string(field.key)] = toRecord(field.value);
            }
            return out;
        }
        case dom::element_type::ARRAY: {
            Record out = Record::array();
            auto& items = out.get_ref<Record::array_t&>();
            dom::array array(element);
            items.reserve(array.size());
            for (dom::element item : array)
                items.push_back(toRecord(item));
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

bool parseInto(dom::document& document, const std::string& text, dom::element& root) {
    thread_local dom::parser parser;
    return parser.parse_into_document(document, text.data(), text.size()).get(root) ==
           simdjson::SUCCESS;
}

std::optional<Record> parseFallback(const std::string& text) {
    Record json = Record::parse(text, nullptr, false);
    if (json.is_discarded())
        return std::nullopt;
    return json;
}

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

}  // namespace jsondom

namespace {

namespace dom = simdjson::dom;

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
    const auto field = jsondom::lastField(entry, selection.where->first);
    return !field || (field->is_string() && std::string_view(*field) == selection.where->second);
}

Record selectedEntry(const ListSelection& selection, dom::element entry) {
    if (!entry.is_object() || selection.keys.empty())
        return jsondom::toRecord(entry);
    Record out = Record::object();
    for (dom::key_value_pair field : dom::object(entry)) {
        if (isKept(selection, field.key))
            out[std::string(field.key)] = jsondom::toRecord(field.value);
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

// The same reduction on a Record, for texts the fast parser declines.
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

}  // namespace

std::optional<Record> parseJsonSelecting(const std::string& text, const ListSelection& selection) {
    thread_local dom::document document;
    dom::element root;
    if (!jsondom::parseInto(document, text, root)) {
        std::optional<Record> parsed = jsondom::parseFallback(text);
        if (parsed)
            selectInPlace(selection, *parsed);
        return parsed;
    }
    if (!root.is_object())
        return jsondom::toRecord(root);
    Record out = Record::object();
    for (dom::key_value_pair field : dom::object(root)) {
        // A repeated list key: the last one wins, as every other repeated key.
        if (field.key == selection.listKey && field.value.is_array())
            out[std::string(field.key)] = selectedList(selection, dom::array(field.value));
        else
            out[std::string(field.key)] = jsondom::toRecord(field.value);
    }
    return out;
}

std::optional<Record> parseJson(const std::string& text) {
    // The Record is built before returning, so one document per thread serves every call.
    thread_local simdjson::dom::document document;
    simdjson::dom::element root;
    if (jsondom::parseInto(document, text, root))
        return jsondom::toRecord(root);
    return jsondom::parseFallback(text);
}

}  // namespace dm
