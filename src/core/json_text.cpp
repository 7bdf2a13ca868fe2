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

}  // namespace jsondom

std::optional<Record> parseJson(const std::string& text) {
    // The Record is built before returning, so one document per thread serves every call.
    thread_local simdjson::dom::document document;
    simdjson::dom::element root;
    if (jsondom::parseInto(document, text, root))
        return jsondom::toRecord(root);
    Record json = Record::parse(text, nullptr, false);
    if (json.is_discarded())
        return std::nullopt;
    return json;
}

}  // namespace dm
