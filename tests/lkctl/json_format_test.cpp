#include "lkctl/json_format.h"

#include <gtest/gtest.h>

namespace {

struct FormatCase {
    const char* text;
    const char* compact;  // null: the text is not JSON
};

const FormatCase FORMAT_CASES[] = {
    {"{\"a\": [1, -2.5e3, true, null], \"b\" : {}}", "{\"a\":[1,-2.5e3,true,null],\"b\":{}}"},
    {" \"esc\\\"aped \\u00e9\" ", "\"esc\\\"aped \\u00e9\""},
    {"[]", "[]"},
    {"0", "0"},
    {"{\"a\":1,}", nullptr},
    {"[1 2]", nullptr},
    {"01", nullptr},
    {"\"unterminated", nullptr},
    {"\"bad \\x escape\"", nullptr},
    {"{\"a\":1} trailing", nullptr},
    {"tru", nullptr},
    {"", nullptr},
};

class JsonFormat : public testing::TestWithParam<FormatCase> {};

TEST_P(JsonFormat, CompactsValidTextAndRefusesInvalidText) {
    std::string out;
    bool ok = jsonFormat(GetParam().text, 0, &out);
    ASSERT_EQ(ok, GetParam().compact != nullptr) << GetParam().text;
    if (ok) {
        EXPECT_EQ(out, GetParam().compact);
    }
}

INSTANTIATE_TEST_SUITE_P(Cases, JsonFormat, testing::ValuesIn(FORMAT_CASES));

TEST(JsonFormat, PrettyPrintsOneMemberPerLine) {
    std::string out;
    ASSERT_TRUE(jsonFormat("{\"a\":[1,2],\"b\":{}}", 2, &out));
    EXPECT_EQ(out, "{\n  \"a\": [\n    1,\n    2\n  ],\n  \"b\": {}\n}");
}

TEST(JsonFormat, RefusesNestingDeeperThanItsCap) {
    std::string deep(1000, '[');
    deep += std::string(1000, ']');
    std::string out;
    EXPECT_FALSE(jsonFormat(deep, 0, &out));
}

// The program's one escaper: control bytes escaped, bytes that are not UTF-8 replaced.
TEST(JsonQuote, GivesOneValidJsonString) {
    EXPECT_EQ(jsonQuote("a\"b\\c\n\x01\xFF\xC3\xA9"),
              "\"a\\\"b\\\\c\\n\\u0001\xEF\xBF\xBD\xC3\xA9\"");
}

}  // namespace
