#include "platform/azure/fast_json.hpp"

#include "core/json_dom.hpp"
#include "core/json_text.hpp"

#include <utility>

namespace dm::azure::detail {

namespace {

namespace dom = simdjson::dom;

std::optional<dom::element> follow(dom::element element, JsonPath path) {
    std::optional<dom::element> at = element;
    for (std::string_view key : path) {
        at = jsondom::lastField(*at, key);
        if (!at)
            return std::nullopt;
    }
    return at;
}

// One parsed page; items refer into it.
struct Page {
    dom::document document;
};

class PageItem final : public LazyRecord {
  public:
    PageItem(std::shared_ptr<const Page> page, dom::element element)
        : page_(std::move(page)), element_(element) {}

    std::optional<std::string> stringAt(JsonPath path) const override {
        auto at = follow(element_, path);
        if (!at || at->type() != dom::element_type::STRING)
            return std::nullopt;
        return std::string(std::string_view(*at));
    }

    std::optional<bool> boolAt(JsonPath path) const override {
        auto at = follow(element_, path);
        if (!at || at->type() != dom::element_type::BOOL)
            return std::nullopt;
        return bool(*at);
    }

    std::optional<Record> valueAt(JsonPath path) const override {
        auto at = follow(element_, path);
        if (!at)
            return std::nullopt;
        return jsondom::toRecord(*at);
    }

    Record toRecord() const override { return jsondom::toRecord(element_); }

  private:
    std::shared_ptr<const Page> page_;
    dom::element element_;
};

// Parses into a document of its own, so that pages can outlive the next parse; null when the
// fast parser declines the text.
std::shared_ptr<Page> parsePage(const std::string& body, dom::element& root) {
    auto page = std::make_shared<Page>();
    if (!jsondom::parseInto(page->document, body, root))
        return nullptr;
    return page;
}

}  // namespace

std::optional<Record> parseObject(const std::string& body) {
    if (body.empty())
        return std::nullopt;
    auto json = parseJson(body);
    if (!json || !json->is_object())
        return std::nullopt;
    return json;
}

std::optional<ListPage> parseListPage(const std::string& body) {
    if (body.empty())
        return std::nullopt;
    dom::element root;
    std::shared_ptr<const Page> page = parsePage(body, root);
    ListPage out;
    if (!page) {
        auto json = jsondom::parseFallback(body);
        if (!json || !json->is_object())
            return std::nullopt;
        if (auto value = json->find("value"); value != json->end() && value->is_array()) {
            for (auto& item : *value)
                out.items.emplace_back(std::move(item));
        }
        if (auto next = json->find("nextLink"); next != json->end() && next->is_string())
            out.nextLink = next->get<std::string>();
        return out;
    }
    if (root.type() != dom::element_type::OBJECT)
        return std::nullopt;
    if (auto value = jsondom::lastField(root, "value");
        value && value->type() == dom::element_type::ARRAY) {
        for (dom::element item : dom::array(*value)) {
            if (item.type() == dom::element_type::OBJECT) {
                out.items.emplace_back(std::make_shared<PageItem>(page, item));
            } else {
                out.items.emplace_back(jsondom::toRecord(item));
            }
        }
    }
    if (auto next = jsondom::lastField(root, "nextLink");
        next && next->type() == dom::element_type::STRING)
        out.nextLink = std::string(std::string_view(*next));
    return out;
}

Record toRecord(ListItem item) {
    if (auto* record = std::get_if<Record>(&item))
        return std::move(*record);
    return std::get<std::shared_ptr<const LazyRecord>>(item)->toRecord();
}

}  // namespace dm::azure::detail
