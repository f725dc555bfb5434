#include "json/json_validate.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using namespace std::string_literals;

struct Case {
    std::string text;
    bool valid;
    size_t pos;
};

JsonValidity check(const std::string& s) {
    return json_validn(s.data(), static_cast<int64_t>(s.size()));
}

void expect_cases(const std::vector<Case>& cases) {
    for (const Case& c : cases) {
        const JsonValidity r = check(c.text);
        EXPECT_EQ(r.valid, c.valid) << "text: " << c.text;
        EXPECT_EQ(r.pos, c.pos) << "text: " << c.text;
    }
}

std::string nested_arrays(int depth, const std::string& inner) {
    return std::string(depth, '[') + inner + std::string(depth, ']');
}

TEST(JsonValidate, EmptyAndBlankTextsFailAtTheirLength) {
    expect_cases({{"", false, 0}, {"   ", false, 3}, {"\t\r\n", false, 3}});
    EXPECT_FALSE(json_valid(nullptr).valid);
    EXPECT_EQ(json_valid(nullptr).pos, 0u);
    EXPECT_FALSE(json_validn("1", -1).valid);
}

TEST(JsonValidate, SingleValuesPassWithOrWithoutSurroundingWhiteSpace) {
    for (const char* v : {"0", "-0", "1.5e+10", "\"x\"", "true", "false", "null", "[]", "{}",
                          "-12.25E-3", "[1,\"a\",{\"k\":[null]}]", "{\"a\":{\"b\":[]}}"}) {
        EXPECT_TRUE(check(v).valid) << v;
        EXPECT_TRUE(check(" \t\r\n"s + v + "\n ").valid) << v;
    }
}

TEST(JsonValidate, ReportsWhereStructureBreaks) {
    expect_cases({
        {"[1,2", false, 4},
        {"tru", false, 1},
        {"trux", false, 1},
        {"nul", false, 1},
        {"[1,]", false, 3},
        {"01", false, 1},
        {"1 2", false, 2},
        {"{\"a\" 1}", false, 5},
        {"{\"a\":1,}", false, 7},
        {"{\"a\":1", false, 6},
        {"{\"a\"", false, 4},
        {"{1:2}", false, 1},
        {"{\"a\":1 \"b\":2}", false, 7},
        {"[1 2]", false, 3},
        {"[", false, 1},
        {"[1,", false, 3},
        {"]", false, 0},
        {"x", false, 0},
        {"[true false]", false, 6},
        {"{\"a\":1,  ", false, 9},
        {"{\"a\":1, 2}", false, 8},
    });
}

TEST(JsonValidate, NumbersFollowTheGrammarExactly) {
    expect_cases({
        {"-", false, 1},
        {"-x", false, 1},
        {"1.", false, 2},
        {"1.e3", false, 2},
        {"1e", false, 2},
        {"1e+", false, 3},
        {"1E-x", false, 3},
        {".5", false, 0},
        {"+1", false, 0},
        {"-01", false, 2},
        {"1.0e-0", true, 0},
        {"[-0.0e0]", true, 0},
    });
}

TEST(JsonValidate, StringsCheckEscapesAndControlBytes) {
    expect_cases({
        {"\"a\tb\"", false, 2},
        {"\"a\nb\"", false, 2},
        {"\"\\t\\u0009\"", true, 0},
        {"\"\\\n\"", false, 2},
        {"\"\\x\"", false, 2},
        {"\"\\u12G4\"", false, 5},
        {"\"\\u12", false, 5},
        {"\"\\", false, 2},
        {"\"abc", false, 4},
        {"\"\\uD800\"", true, 0},
        {"\"\\/\\\"\\\\\\b\\f\\n\\r\\t\"", true, 0},
        {"\"\x7f\"", true, 0},
        {"\"a\0b\""s, false, 2},
        {"\"0123456789abcdef0123456789\x01\"", false, 27},
    });
}

TEST(JsonValidate, Utf8SequencesAreCheckedAtTheirLeadByte) {
    expect_cases({
        {"\"\xC0\x80\"", false, 1},
        {"\"\xC1\xBF\"", false, 1},
        {"\"\xC2\x80\"", true, 0},
        {"\"\xE0\x82\x80\"", true, 0},  // overlong 3-byte form down to 0x80 passes
        {"\"\xE0\x81\xBF\"", false, 1},
        {"\"\xED\xA0\x80\"", false, 1},  // encoded surrogate
        {"\"\xED\x9F\xBF\"", true, 0},
        {"\"\xEE\x80\x80\"", true, 0},
        {"\"\xF0\x80\x82\x80\"", true, 0},  // overlong 4-byte form down to 0x80 passes
        {"\"\xF0\x80\x81\xBF\"", false, 1},
        {"\"\xF4\x8F\xBF\xBF\"", false, 1},  // U+10FFFF
        {"\"\xF4\x8F\xBF\xBE\"", true, 0},
        {"\"\xF4\x90\x80\x80\"", false, 1},
        {"\"\xF5\x80\x80\x80\"", false, 1},
        {"\"\xF8\x88\x80\x80\x80\"", false, 1},
        {"\"\x80\"", false, 1},
        {"\"\xFF\"", false, 1},
        {"\"ab\xE2\x82\"", false, 3},  // continuation replaced by the quote
        {"\"ab\xE2\x82", false, 3},    // sequence cut by the end of the text
        {"\"\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80\"", true, 0},
    });
}

TEST(JsonValidate, NestingStopsAtLevel1024) {
    EXPECT_TRUE(check(nested_arrays(1024, "")).valid);
    const JsonValidity too_deep = check(nested_arrays(1025, ""));
    EXPECT_FALSE(too_deep.valid);
    EXPECT_EQ(too_deep.pos, 1024u);
    EXPECT_TRUE(check(nested_arrays(1023, "1")).valid);
    const JsonValidity number_too_deep = check(nested_arrays(1024, "1"));
    EXPECT_FALSE(number_too_deep.valid);
    EXPECT_EQ(number_too_deep.pos, 1024u);
    // An object member is refused just after its colon.
    std::string objects;
    for (int i = 0; i < 1024; ++i) objects += "{\"k\":";
    objects += "1" + std::string(1024, '}');
    const JsonValidity member = check(objects);
    EXPECT_FALSE(member.valid);
    EXPECT_EQ(member.pos, 1024u * 5);
}

TEST(JsonValidate, ExtremelyDeepTextFailsWithoutExhaustingTheStack) {
    const std::string deep(1 << 20, '[');
    const JsonValidity r = check(deep);
    EXPECT_FALSE(r.valid);
    EXPECT_EQ(r.pos, 1024u);
}

TEST(JsonValidate, OptionsChangeNothing) {
    for (const char* v : {"[1,2", "{}", "\"\xC0\x80\"", " 1 "}) {
        const JsonValidity a = json_valid(v);
        for (int options : {1, -1, 0x7fffffff}) {
            const JsonValidity b = json_valid_ex(v, options);
            EXPECT_EQ(a.valid, b.valid);
            EXPECT_EQ(a.pos, b.pos);
        }
    }
}

TEST(JsonValidate, ReadsOnlyWithinTheGivenLength) {
    const std::string text = "[1,2]xyz";
    EXPECT_TRUE(json_validn(text.data(), 5).valid);
    const JsonValidity cut = json_validn(text.data(), 4);
    EXPECT_FALSE(cut.valid);
    EXPECT_EQ(cut.pos, 4u);
}

const std::vector<std::string> kValidDocuments = {
    "{\"ifname\":\"wlan0\",\"ip4\":{\"method\":\"manual\",\"addresses\":[\"192.0.2.5/24\"]},"
    "\"wifi\":{\"ssid\":\"caf\xC3\xA9 \\u00e9\",\"psk\":\"p\\\"w\"},\"mtu\":1500,\"dns\":[1.5e3,-0,"
    "true,false,null]}",
    "[ {\"a\" : [ ] } , \"\xF0\x9F\x98\x80\" , -1.25E+2 ]",
    "\"\\u0041\\uD83D\\uDE00\"",
};

// Every proper prefix of a valid document is incomplete, so it must fail inside its length.
TEST(JsonValidate, EveryTruncationOfAValidDocumentFailsWithinItsLength) {
    for (const std::string& doc : kValidDocuments) {
        ASSERT_TRUE(check(doc).valid) << doc;
        for (size_t n = 1; n < doc.size(); ++n) {
            const JsonValidity r = json_validn(doc.data(), static_cast<int64_t>(n));
            EXPECT_FALSE(r.valid) << doc.substr(0, n);
            EXPECT_LE(r.pos, n) << doc.substr(0, n);
        }
    }
}

// A raw control byte or 0xFF is allowed nowhere, so the document breaks at that byte at the
// latest (earlier when it cuts a literal or a UTF-8 sequence).
TEST(JsonValidate, AForbiddenByteAnywhereFailsAtThatByte) {
    for (const std::string& doc : kValidDocuments) {
        for (size_t i = 0; i < doc.size(); ++i) {
            for (char bad : {'\x01', '\xFF'}) {
                std::string broken = doc;
                broken[i] = bad;
                const JsonValidity r = check(broken);
                EXPECT_FALSE(r.valid) << "byte " << i << " of " << doc;
                EXPECT_LE(r.pos, i) << "byte " << i << " of " << doc;
            }
        }
    }
}

// A byte flip may keep the text valid (a digit for a digit); when it does not, the position
// must lie inside the text.
TEST(JsonValidate, FlippedBytesNeverReportPositionsPastTheText) {
    for (const std::string& doc : kValidDocuments) {
        for (size_t i = 0; i < doc.size(); ++i) {
            for (int bit = 0; bit < 8; ++bit) {
                std::string flipped = doc;
                flipped[i] = static_cast<char>(flipped[i] ^ (1 << bit));
                const JsonValidity r = check(flipped);
                EXPECT_LE(r.pos, r.valid ? 0 : flipped.size());
            }
        }
    }
}

}  // namespace
