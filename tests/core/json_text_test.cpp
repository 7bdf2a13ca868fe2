// A selected parse must give what a full parse and the same reduction give, whichever parser
// reads the text.
#include <gtest/gtest.h>

#include "core/json_text.hpp"

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

TEST(JsonTextTest, SelectionKeepsMatchingEntriesAndTheirChosenFields) {
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

TEST(JsonTextTest, SelectionLeavesWhatItDoesNotNameAsAFullParse) {
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

}  // namespace
}  // namespace dm
