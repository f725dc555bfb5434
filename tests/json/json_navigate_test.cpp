#include "json/json_navigate.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

namespace {

std::string raw_text(JsonValue v) {
    return json_exists(v) ? std::string(json_raw(v), json_raw_length(v)) : "<absent>";
}

const char* const kDoc = "{\"a\":1,\"b\":[2,3]}";

TEST(JsonNavigate, ParseFindsTheTopLevelValue) {
    EXPECT_FALSE(json_exists(json_parse(nullptr)));
    EXPECT_FALSE(json_exists(json_parse("")));
    EXPECT_FALSE(json_exists(json_parsen("[1]", 0)));
    const char* spaced = "   true";
    const JsonValue t = json_parse(spaced);
    EXPECT_EQ(json_type(t), JSON_TYPE_TRUE);
    EXPECT_EQ(t.len, 4u);
    EXPECT_EQ(json_raw(t), spaced + 3);
    const char* text = "[1] x";
    const JsonValue whole = json_parse(text);
    EXPECT_EQ(json_raw(whole), text);
    EXPECT_EQ(json_raw_length(whole), 5u) << "a leading bracket covers the whole text";
}

TEST(JsonNavigate, TypesComeFromTheFirstByte) {
    const std::vector<std::pair<const char*, JsonType>> cases = {
        {"null", JSON_TYPE_NULL},  {"false", JSON_TYPE_FALSE},  {"-1", JSON_TYPE_NUMBER},
        {"7", JSON_TYPE_NUMBER},   {"\"s\"", JSON_TYPE_STRING}, {"true", JSON_TYPE_TRUE},
        {" [1]", JSON_TYPE_ARRAY}, {" {}", JSON_TYPE_OBJECT},
    };
    for (const auto& [text, type] : cases) EXPECT_EQ(json_type(json_parse(text)), type) << text;
    const JsonValue null = json_parse("null");
    EXPECT_TRUE(json_exists(null)) << "null exists although its type equals absent";
    EXPECT_EQ(json_type(JsonValue{}), JSON_TYPE_NULL);
    EXPECT_FALSE(json_exists(JsonValue{}));
}

TEST(JsonNavigate, LocatorRecordsNumberAndStringFlags) {
    EXPECT_EQ(json_parse("-1.5e3").info, JSON_INFO_NEGATIVE | JSON_INFO_POINT | JSON_INFO_EXPONENT);
    EXPECT_EQ(json_parse("2E1").info, JSON_INFO_EXPONENT);
    EXPECT_EQ(json_parse("12").info, 0);
    EXPECT_EQ(json_parse("\"a\\nb\"").info, JSON_INFO_ESCAPED);
    EXPECT_EQ(json_parse("\"ab\"").info, 0);
    EXPECT_EQ(json_parse("-1.5e3,").len, 6u);
    EXPECT_EQ(json_parse("\"a\\\"b\" x").len, 6u) << "an escaped quote does not close";
    EXPECT_EQ(json_parse("\"a\\\\\" x").len, 5u) << "an escaped backslash does";
    EXPECT_EQ(json_parse("\"open").len, 5u) << "an unclosed string runs to the end";
    EXPECT_EQ(json_parse("tr").len, 2u) << "literals stop at the end of the text";
    EXPECT_EQ(json_parse("fals").len, 4u);
}

TEST(JsonNavigate, FirstAndNextWalkNamesAndValuesInOrder) {
    std::vector<std::string> seen;
    for (JsonValue v = json_first(json_parse(kDoc)); json_exists(v); v = json_next(v)) {
        seen.push_back(raw_text(v));
    }
    EXPECT_EQ(seen, (std::vector<std::string>{"\"a\"", "1", "\"b\"", "[2,3]"}));
    EXPECT_FALSE(json_exists(json_first(json_parse("5"))));
    EXPECT_FALSE(json_exists(json_first(json_parse("[]"))));
    EXPECT_FALSE(json_exists(json_first(json_parse("{ }"))));
    EXPECT_FALSE(json_exists(json_next(JsonValue{})));
}

TEST(JsonNavigate, ContainersAreMeasuredOnlyWhenNeeded) {
    const JsonValue b = json_getn(kDoc, std::strlen(kDoc), "b");
    EXPECT_EQ(b.len, 0u);
    EXPECT_EQ(json_raw_length(b), 5u);
    EXPECT_EQ(json_ensure(b).len, 5u);
    EXPECT_EQ(b.len, 0u) << "the record handed in stays unmeasured";
    EXPECT_EQ(json_raw_length(json_parse(" [{]] x")), 4u) << "bracket kinds are not matched";
    EXPECT_EQ(json_raw_length(json_parse(" [\"]\"] x")), 5u) << "strings are stepped over";
    const char* open = " [1,[2";
    EXPECT_EQ(json_raw_length(json_parse(open)), 5u) << "unclosed: up to the end";
    EXPECT_EQ(json_raw_length(json_parse(" [")), 1u);
}

TEST(JsonNavigate, ArraysCountAndIndexTheirMembers) {
    EXPECT_EQ(json_array_count(json_parse("[]")), 0u);
    EXPECT_EQ(json_array_count(json_parse("[1,[2,3],{\"x\":4}]")), 3u);
    EXPECT_EQ(json_array_count(json_parse("[1 2 3]")), 3u) << "commas are not required";
    EXPECT_EQ(json_array_count(json_parse("{\"a\":1}")), 0u);
    EXPECT_EQ(json_array_count(json_parse("\"[1]\"")), 0u);
    const JsonValue arr = json_parse("[10,20]");
    EXPECT_EQ(raw_text(json_array_get(arr, 1)), "20");
    EXPECT_FALSE(json_exists(json_array_get(arr, 2)));
    EXPECT_FALSE(json_exists(json_array_get(json_parse("{\"0\":1}"), 0)));
}

TEST(JsonNavigate, ObjectMembersAreFoundByUnescapedName) {
    const JsonValue obj = json_parse("{\"a\":1,\"a\":2,\"a\\u0062\":3,\"\":4,\"n\":{\"a\":5}}");
    EXPECT_EQ(raw_text(json_object_get(obj, "a")), "1") << "the first duplicate wins";
    EXPECT_EQ(raw_text(json_object_get(obj, "ab")), "3");
    EXPECT_EQ(raw_text(json_object_get(obj, "")), "4");
    EXPECT_EQ(raw_text(json_object_get(obj, nullptr)), "4");
    EXPECT_EQ(raw_text(json_object_getn(obj, "abc", 2)), "3");
    EXPECT_FALSE(json_exists(json_object_get(obj, "x")));
    EXPECT_FALSE(json_exists(json_object_get(json_parse("[\"a\",1]"), "a")));
    EXPECT_FALSE(json_exists(json_object_get(obj, "5"))) << "values are not taken for names";
}

struct PathCase {
    const char* text;
    const char* path;
    const char* expected;  // raw text, or null when absent
};

TEST(JsonNavigate, PathQueriesSelectMembersAndIndices) {
    const std::vector<PathCase> cases = {
        {kDoc, "b.1", "3"},
        {kDoc, "b", "[2,3]"},
        {kDoc, "a", "1"},
        {kDoc, "a.x", nullptr},
        {kDoc, "c", nullptr},
        {kDoc, "b.x", nullptr},
        {kDoc, "b.1x", nullptr},
        {kDoc, "b.", nullptr},
        {kDoc, "b.2", nullptr},
        {"[5]", "0", "5"},
        {"[5]", "+0", "5"},
        {"[5]", " 0", "5"},
        {"[5]", "-1", nullptr},
        {"[5]", "99999999999999999999", nullptr},
        {"{\"\":7}", "", "7"},
        {"{\"a\":{\"\":8}}", "a.", "8"},
        {"{\"a\\u0062\":{\"c\":9}}", "ab.c", "9"},
        {"{\"x.y\":1}", "x.y", nullptr},
        {"{\"ip4\":{\"addresses\":[\"a\",{\"p\":\"192.0.2.1\"}]}}", "ip4.addresses.1.p",
         "\"192.0.2.1\""},
        {"7", "", nullptr},
        {"  {\"a\":2}", "a", "2"},
    };
    for (const PathCase& c : cases) {
        const JsonValue v = json_get(c.text, c.path);
        EXPECT_EQ(raw_text(v), c.expected ? c.expected : "<absent>") << c.text << " @ " << c.path;
    }
    EXPECT_FALSE(json_exists(json_get(kDoc, nullptr)));
    EXPECT_FALSE(json_exists(json_getn(kDoc, 0, "a")));
    EXPECT_FALSE(json_exists(json_get(nullptr, "a")));
}

TEST(JsonNavigate, RawComparisonOrdersByBytesThenLength) {
    const JsonValue t = json_parse("true");
    EXPECT_EQ(json_raw_comparen(t, "tr", 2), 1);
    EXPECT_EQ(json_raw_comparen(t, "true", 4), 0);
    EXPECT_EQ(json_raw_comparen(t, "truex", 5), -1);
    EXPECT_LT(json_raw_compare(t, "tz"), 0);
    EXPECT_EQ(json_raw_compare(json_parse("[1, 2] "), "[1, 2] "), 0);
    EXPECT_EQ(json_raw_comparen(JsonValue{}, "", 0), 0);
    EXPECT_EQ(json_raw_comparen(JsonValue{}, "a", 1), -1);
}

// The lenient walkers must stay inside the text whatever it holds; the text here is cut out of
// a larger buffer so that a read past its end would see a closing bracket.
TEST(JsonNavigate, MalformedTextNeverLeadsPastTheEnd) {
    const std::string buffer = "{\"a\":[1,{\"b\":\"x\\\"]}]}";
    for (size_t n = 1; n <= buffer.size(); ++n) {
        const std::string cut = buffer.substr(0, n) + "]]]]";
        const JsonValue top = json_parsen(cut.data(), n);
        const JsonValue a = json_getn(cut.data(), n, "a");
        for (const JsonValue& v : {top, a, json_getn(cut.data(), n, "a.1.b")}) {
            if (!json_exists(v)) continue;
            EXPECT_LE(json_raw(v) + json_raw_length(v), cut.data() + n) << n;
        }
        EXPECT_LE(json_array_count(a), 2u);
    }
}

}  // namespace
