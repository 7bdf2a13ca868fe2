// Every way of reading JSON must give what nlohmann's parser gives, whichever parser reads the
// text: the full parse, the selecting parse and the reads of a compact list page.
#include <gtest/gtest.h>

#include "core/json.hpp"

namespace dm {
namespace {

const ListSelection kByName{"results", {"name", "id"}, std::pair{"name", "b"}};

// A 128-bit integer makes the fast parser decline, so the same text goes the fallback way.
std::string declined(const std::string& objectText) {
    return R"({"big": 123456789012345678901234567890, )" + objectText.substr(1);
}

Record withoutBig(Record record) {
    record.erase("big");
    return record;
}

Record slowParse(const std::string& text) {
    return Record::parse(text);
}

TEST(JsonTest, ObjectsReadAsAFullParseReadsThem) {
    const std::vector<std::string> bodies = {
        R"({"a": 1, "b": -2, "c": 1.5, "d": 1e3, "e": 18446744073709551615, "f": -0})",
        R"({"s": "tab\t quote\" slash\/ \u00e9 \ud83d\ude00", "n": null, "t": true, "f": false})",
        R"({"nested": {"list": [1, "two", {"three": [3]}, [], {}], "z": {"y": {"x": "w"}}}})",
        // A repeated key keeps its first place and the last value, as nlohmann does.
        R"({"k": 1, "other": 2, "k": 3})",
        R"({"id": "/subscriptions/s/resourceGroups/rg", "tags": {"b": "2", "a": "1"}})",
    };
    for (const auto& body : bodies) {
        auto fast = parseJsonObject(body);
        ASSERT_TRUE(fast) << body;
        EXPECT_EQ(fast->dump(), slowParse(body).dump()) << body;
        EXPECT_EQ(*fast, slowParse(body)) << body;
        EXPECT_EQ(*parseJson(body), *fast) << body;
    }
    // Integer kinds as nlohmann makes them: non-negative ones unsigned.
    auto numbers = parseJsonObject(R"({"u": 5, "i": -5, "d": 5.0})");
    EXPECT_TRUE((*numbers)["u"].is_number_unsigned());
    EXPECT_TRUE((*numbers)["i"].is_number_integer());
    EXPECT_TRUE((*numbers)["d"].is_number_float());
}

// A body with the reader's padding spare behind it is read in place; one with less is copied.
// Either way the result is the full parse's (and the sanitizer build sees any read past the end).
TEST(JsonTest, TextsAreReadInPlaceOnlyWithTheSpareBehindThem) {
    const std::string body = R"({"value": [{"name": "a"}, {"name": "b"}], "nextLink": "n"})";
    for (std::size_t spare : {0, 63, 64, 65, 4096}) {
        std::string text;
        text.reserve(body.size() + spare);
        text = body;
        EXPECT_EQ(*parseJson(text), slowParse(body)) << spare;
        auto page = parseJsonListPage(text, "value", "nextLink");
        ASSERT_TRUE(page) << spare;
        EXPECT_EQ(page->items.size(), 2u);
        EXPECT_EQ(page->items[1].toRecord(), slowParse(R"({"name": "b"})"));
    }
}

TEST(JsonTest, TextsTheFastParserDeclinesFallBackOrFail) {
    // Beyond 64 bits: the full parser reads a double.
    auto big = parseJsonObject(R"({"n": 123456789012345678901234567890})");
    ASSERT_TRUE(big);
    EXPECT_TRUE((*big)["n"].is_number_float());
    EXPECT_EQ(*parseJson("[1, 2]"), slowParse("[1, 2]"));
    for (const std::string text :
         {"", "[1, 2]", "\"text\"", "{\"a\": }", "<html>Bad gateway</html>", "{\"a\": \"\xff\"}"}) {
        EXPECT_FALSE(parseJsonObject(text)) << text;
    }
    EXPECT_FALSE(parseJson("{\"a\": \"\xff\"}"));  // not UTF-8
    EXPECT_FALSE(parseJsonListPage("{\"value\": [}", "value", "nextLink"));
    EXPECT_FALSE(parseJsonListPage("[]", "value", "nextLink"));
    EXPECT_FALSE(parseJsonListPage("", "value", "nextLink"));
}

TEST(JsonTest, TextsNestedBeyondTheLimitAreNotJsonEitherWay) {
    auto nested = [](std::size_t depth) {
        return R"({"a": )" + std::string(depth, '[') + std::string(depth, ']') + "}";
    };
    // A Record this deep would overflow the stack when copied, whichever parser read it.
    for (const std::string& text : {nested(kMaxJsonDepth), nested(100'000)}) {
        for (const std::string& way : {text, declined(text)}) {
            EXPECT_FALSE(parseJson(way)) << way.size();
            EXPECT_FALSE(parseJsonSelecting(way, kByName)) << way.size();
            EXPECT_FALSE(parseJsonListPage(way, "a", "next")) << way.size();
        }
    }
    const std::string deep = nested(kMaxJsonDepth - 2);
    ASSERT_TRUE(parseJson(deep));
    EXPECT_EQ(withoutBig(*parseJson(declined(deep))), *parseJson(deep));
    // Brackets inside strings, escaped quotes included, are text.
    EXPECT_FALSE(jsonDeeperThan(R"({"a": "[[\"[[{{"})", 1));
    EXPECT_TRUE(jsonDeeperThan(R"({"a": "]", "b": [{}]})", 2));
}

TEST(JsonTest, SelectionKeepsMatchingEntriesAndTheirChosenFields) {
    const std::string text = R"({"return": true, "results": [
        {"name": "a", "id": 1, "extra": [1, 2]},
        {"name": "b", "id": 2, "extra": {"deep": true}},
        {"id": 3, "extra": null},
        {"name": 7, "id": 4},
        "not an object",
        {"name": "a", "id": 5, "name": "b"}
    ], "other": {"kept": [1, 2, 3]}})";
    const Record expected = Record::parse(R"({"return": true, "results": [
        {"name": "b", "id": 2},
        {"id": 3},
        "not an object",
        {"name": "b", "id": 5}
    ], "other": {"kept": [1, 2, 3]}})");

    const auto fast = parseJsonSelecting(text, kByName);
    const auto slow = parseJsonSelecting(declined(text), kByName);
    ASSERT_TRUE(fast && slow);
    EXPECT_EQ(*fast, expected);
    EXPECT_EQ(withoutBig(*slow), expected);
    // The order of the reply's own keys is kept too.
    EXPECT_EQ(fast->begin().key(), "return");
}

TEST(JsonTest, SelectionLeavesWhatItDoesNotNameAsAFullParse) {
    const ListSelection allFields{"results", {}, std::nullopt};
    for (const std::string text : {
             R"({"results": [{"a": 1, "b": [true, null]}, 2, "x"], "n": -1.5})",
             R"({"results": {"not": "a list"}})",
             R"({"results": [], "results": [{"a": 1}]})",
             R"({"results": [{"a": 1}], "results": 3})",
             R"({"return": false, "reason": "refused"})",
         }) {
        SCOPED_TRACE(text);
        const auto fast = parseJsonSelecting(text, allFields);
        const auto slow = parseJsonSelecting(declined(text), allFields);
        ASSERT_TRUE(fast && slow);
        EXPECT_EQ(*fast, *parseJson(text));
        EXPECT_EQ(withoutBig(*slow), *parseJson(text));
    }
    EXPECT_EQ(*parseJsonSelecting("[1, 2]", kByName), Record::parse("[1, 2]"));
    EXPECT_FALSE(parseJsonSelecting(R"({"results": [)", kByName));
    EXPECT_FALSE(parseJsonSelecting("", kByName));
}

TEST(JsonTest, ListPagesKeepOrderAndNextLink) {
    for (const bool compact : {true, false}) {
        SCOPED_TRACE(compact ? "compact" : "declined");
        auto read = [&](const std::string& text) {
            return parseJsonListPage(compact ? text : declined(text), "value", "nextLink");
        };
        auto page = read(
            R"({"value": [{"name": "a"}, 7, {"name": "b"}], "nextLink": "https://x/next?page=2"})");
        ASSERT_TRUE(page);
        ASSERT_EQ(page->items.size(), 3u);
        EXPECT_EQ(page->items[0].toRecord(), slowParse(R"({"name": "a"})"));
        EXPECT_EQ(page->items[1].toRecord(), Record(7));
        EXPECT_EQ(page->items[2].toRecord(), slowParse(R"({"name": "b"})"));
        EXPECT_EQ(page->next, "https://x/next?page=2");

        auto last = read(R"({"value": [], "nextLink": null})");
        ASSERT_TRUE(last);
        EXPECT_TRUE(last->items.empty());
        EXPECT_FALSE(last->next);
        for (const std::string other : {R"({"other": 1})", R"({"value": {"a": 1}})"}) {
            auto noList = read(other);
            ASSERT_TRUE(noList) << other;
            EXPECT_TRUE(noList->items.empty()) << other;
        }
        // Repeated keys: the last list and the last link, as a full parse keeps them.
        auto repeated =
            read(R"({"value": [1], "nextLink": "a", "value": [2, 3], "nextLink": "b"})");
        ASSERT_TRUE(repeated);
        ASSERT_EQ(repeated->items.size(), 2u);
        EXPECT_EQ(repeated->items[0].toRecord(), Record(2));
        EXPECT_EQ(repeated->next, "b");
    }
    // An item declined for its own sake reads whole through the fallback.
    const std::string wide = R"({"n": 123456789012345678901234567890})";
    auto slow = parseJsonListPage(R"({"value": [)" + wide + R"(], "nextLink": "https://x/2"})",
                                  "value", "nextLink");
    ASSERT_TRUE(slow);
    EXPECT_EQ(slow->next, "https://x/2");
    ASSERT_EQ(slow->items.size(), 1u);
    EXPECT_EQ(slow->items[0].toRecord(), slowParse(wide));
}

// The value a full parse holds at `path`, or nullptr.
const Record* at(const Record& record, JsonListItem::Path path) {
    const Record* value = &record;
    for (std::string_view key : path) {
        if (!value->is_object() || !value->contains(key))
            return nullptr;
        value = &(*value)[std::string(key)];
    }
    return value;
}

// Each read of a list item answers what the same read of the fully parsed item gives, for
// fields present, missing, null, of another kind, repeated, or under a non-object.
TEST(JsonTest, ListItemReadsAnswerAsTheFullParse) {
    const std::string page = R"({"value": [
        {"id": "/x", "name": "x", "tags": {"vnet": "v", "n": 1, "vnet": "w"},
         "properties": {"flag": true, "off": false, "text": "t", "nothing": null,
                        "ref": {"id": "/r", "other": 2}, "list": [1, {"a": "b"}]}},
        {"name": 5, "tags": "no", "properties": {"ref": null, "flag": "true"}},
        {"properties": [1, 2]},
        "no object",
        null
    ]})";
    const Record full = slowParse(page)["value"];
    for (const bool compact : {true, false}) {
        auto parsed = parseJsonListPage(compact ? page : declined(page), "value", "nextLink");
        ASSERT_TRUE(parsed);
        ASSERT_EQ(parsed->items.size(), full.size());
        for (std::size_t i = 0; i < full.size(); ++i) {
            const JsonListItem& item = parsed->items[i];
            EXPECT_EQ(item.toRecord(), full[i]);
            auto check = [&](JsonListItem::Path path) {
                const Record* expected = at(full[i], path);
                std::string where = std::to_string(i) + (compact ? " compact:" : " declined:");
                for (auto key : path)
                    where += " " + std::string(key);
                SCOPED_TRACE(where);
                EXPECT_EQ(item.valueAt(path), expected ? std::optional(*expected) : std::nullopt);
                EXPECT_EQ(item.stringAt(path), expected && expected->is_string()
                                                   ? std::optional(expected->get<std::string>())
                                                   : std::nullopt);
                EXPECT_EQ(item.viewAt(path), item.stringAt(path));
                EXPECT_EQ(item.boolAt(path), expected && expected->is_boolean()
                                                 ? std::optional(expected->get<bool>())
                                                 : std::nullopt);
            };
            check({});
            check({"name"});
            check({"tags", "vnet"});
            check({"tags", "n"});
            check({"properties", "flag"});
            check({"properties", "nothing"});
            check({"properties", "ref", "id"});
            check({"properties", "ref", "id", "deeper"});
            check({"absent", "id"});
        }
    }
}

TEST(JsonTest, ListItemsKeepTheirPageAlive) {
    std::vector<JsonListItem> kept;
    {
        auto page = parseJsonListPage(R"({"value": [{"name": "a"}, {"name": "b"}]})", "value", "");
        ASSERT_TRUE(page);
        kept.push_back(page->items[1]);
        // The next parse on this thread must not reuse the page's memory either.
        parseJsonListPage(R"({"value": [{"name": "c"}]})", "value", "");
        parseJson(R"({"name": "d"})");
    }
    EXPECT_EQ(kept[0].stringAt({"name"}), "b");
}

}  // namespace
}  // namespace dm
