// The JSON reader over the public conformance corpus, then where its rules are ours: where
// validation stops, path queries over text that may not be valid, conversions, json_escapen's
// contract. The fuzz runs check bounds and cut copies.
#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

#include "json/json.h"

namespace {

using namespace std::string_literals;
namespace fs = std::filesystem;

bool printable_ascii(const std::string& text) {
    for (unsigned char c : text) {
        if ((c < 0x20 && c != '\t' && c != '\n' && c != '\r') || c >= 0x7F) return false;
    }
    return true;
}

// y_ files pass and n_ files fail; an i_ file passes exactly when it is printable ASCII: number
// ranges and escaped surrogate pairs are not checked, 500 levels are within the limit, and only
// UTF-8 without a byte-order mark is taken.
bool expected_verdict(const std::string& name, const std::string& text) {
    // U+10FFFF is rejected inside strings: the highest code point taken is U+10FFFE.
    if (name == "y_string_nonCharacterInUTF-8_U+10FFFF.json") return false;
    return name.starts_with("i_") ? printable_ascii(text) : name.starts_with("y_");
}

std::string unescaped(JsonValue v) {
    std::string text(json_string_length(v) + 1, '\0');
    text.resize(json_string_copy(v, text.data(), text.size()));
    return text;
}

// Unescaped, escaped again and unescaped once more, each string gives the same bytes. Not so
// for U+10FFFF: \uDBFF\uDFFF unescapes to it, but the escaper takes it for four stray bytes.
void expect_strings_round_trip(JsonValue v, const std::string& name) {
    if (json_type(v) == JSON_TYPE_STRING) {
        const std::string text = unescaped(v);
        if (text.find("\xF4\x8F\xBF\xBF") != std::string::npos) return;
        std::string escaped(text.size() * JSON_ESCAPE_MAX_UNIT + 3, '\0');
        escaped.resize(json_escapen(text.data(), text.size(), escaped.data(), escaped.size()));
        ASSERT_TRUE(json_validn(escaped.data(), static_cast<int64_t>(escaped.size())).valid);
        EXPECT_EQ(unescaped(json_parsen(escaped.data(), escaped.size())), text) << name;
    }
    for (JsonValue m = json_first(v); json_exists(m); m = json_next(m)) {
        expect_strings_round_trip(m, name);
    }
}

TEST(JsonConformance, EveryCorpusFileGetsThePromisedVerdict) {
    const fs::path dir = LK_JSON_CONFORMANCE_DIR;
    if (!fs::is_directory(dir)) GTEST_SKIP() << "conformance corpus not found at " << dir;
    int checked = 0;
    for (const auto& entry : fs::directory_iterator(dir)) {
        const std::string name = entry.path().filename().string();
        if (entry.path().extension() != ".json") continue;
        std::ifstream in(entry.path(), std::ios::binary);
        const std::string text{std::istreambuf_iterator<char>(in), {}};
        const bool valid = json_validn(text.data(), static_cast<int64_t>(text.size())).valid;
        EXPECT_EQ(valid, expected_verdict(name, text)) << name;
        if (valid) expect_strings_round_trip(json_parsen(text.data(), text.size()), name);
        ++checked;
    }
    EXPECT_GT(checked, 300);
}

std::string repeat(const std::string& s, int n) {
    std::string r;
    while (n-- > 0) r += s;
    return r;
}

using Stop = std::tuple<std::string, bool, size_t>;  // text, valid, where validation stopped

class JsonValidate : public testing::TestWithParam<Stop> {};

TEST_P(JsonValidate, StopsWhereTheTextBreaks) {
    const auto& [text, valid, pos] = GetParam();
    const JsonValidity r = json_validn(text.data(), static_cast<int64_t>(text.size()));
    EXPECT_EQ(r.valid, valid);
    EXPECT_EQ(r.pos, pos);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, JsonValidate,
    testing::Values(Stop{"   ", false, 3}, Stop{"[1,2", false, 4}, Stop{"trux", false, 1},
                    Stop{"1 2", false, 2}, Stop{"{\"a\" 1}", false, 5}, Stop{"1.e3", false, 2},
                    Stop{"\"\\u12G4\"", false, 5}, Stop{"\"a\0b\""s, false, 2},
                    Stop{"\"0123456789abcdef0123456789\x01\"", false, 27},
                    Stop{"\"0123456789abcdef\xE0\x82\x80\"", true, 0},  // overlong forms pass
                    Stop{"\"\xF0\x80\x82\x80\"", true, 0}, Stop{"\"\xE0\x81\xBF\"", false, 1},
                    Stop{"\"ab\xE2\x82", false, 3},
                    Stop{repeat("[", 1024) + repeat("]", 1024), true, 0},
                    Stop{repeat("[", 1025) + repeat("]", 1025), false, 1024},
                    Stop{repeat("[", 1024) + "1" + repeat("]", 1024), false, 1024},
                    Stop{repeat("{\"k\":", 1024) + "1" + repeat("}", 1024), false, 5120}));

std::string raw_text(JsonValue v) {
    return json_exists(v) ? std::string(json_raw(v), json_raw_length(v)) : "-";
}

const char kDoc[] = "{\"a\":1,\"b\":[2,3]}";
using Path = std::tuple<const char*, const char*, const char*>;  // text, path, found or "-"

class JsonPath : public testing::TestWithParam<Path> {};

TEST_P(JsonPath, SelectsMembersAndIndices) {
    const auto& [text, path, found] = GetParam();
    EXPECT_EQ(raw_text(json_get(text, path)), found);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, JsonPath,
    testing::Values(Path{kDoc, "b.1", "3"}, Path{kDoc, "b", "[2,3]"}, Path{kDoc, "a.x", "-"},
                    Path{kDoc, "b.1x", "-"}, Path{kDoc, "b.2", "-"}, Path{kDoc, nullptr, "-"},
                    Path{"[5]", "+0", "5"}, Path{"[5]", "99999999999999999999", "-"},
                    Path{"{\"a\":1,\"a\":2}", "a", "1"},  // the first duplicate wins
                    Path{"{\"a\":{\"\":8}}", "a.", "8"}, Path{"{\"a\\u0062\":[9]}", "ab.0", "9"},
                    Path{"{\"x.y\":1}", "x.y", "-"}, Path{"[\"a\",1]", "a", "-"},
                    Path{"{\"a\":\"b\",\"b\":5}", "b", "5"},    // values are not names
                    Path{"[1 [2] {\"x\":[3]}]", "2.x.0", "3"},  // commas are not required
                    Path{" [\"]\" , [{]] x", "1", "[{]]"},      // bracket kinds are not matched
                    Path{" [1,[2", "1", "[2"}));                // unclosed: up to the end

TEST(JsonReader, EntryPointsWalkLocateAndTakeNullText) {
    EXPECT_FALSE(json_valid(nullptr).valid);
    EXPECT_FALSE(json_validn("1", -1).valid);
    EXPECT_EQ(json_valid_ex(" [1", 7).pos, 3u) << "options change nothing";
    std::string seen;
    for (JsonValue v = json_first(json_parse(kDoc)); json_exists(v); v = json_next(v)) {
        seen += raw_text(v) + " ";
    }
    EXPECT_EQ(seen, "\"a\" 1 \"b\" [2,3] ");
    EXPECT_EQ(json_parse(" -1.5e3,").info,
              JSON_INFO_NEGATIVE | JSON_INFO_POINT | JSON_INFO_EXPONENT);
    EXPECT_EQ(json_parse("\"a\\\"b\" x").info, JSON_INFO_ESCAPED);
    EXPECT_EQ(raw_text(json_array_get(json_get(kDoc, "b"), 1)), "3");
    EXPECT_EQ(raw_text(json_object_getn(json_parse(kDoc), "bx", 1)), "[2,3]");
    EXPECT_EQ(raw_text(json_object_get(json_parse(kDoc), "a")), "1");
    EXPECT_EQ(json_array_count(json_get(kDoc, "b")), 2u);
    EXPECT_EQ(json_raw_compare(json_parse("true"), "truex"), -1);
}

// Anything but a proper surrogate pair gives one U+FFFD, unknown escapes vanish, non-hex digits
// count as 0, a short \u ends the text, an unclosed string loses its last byte, and a value that
// is not a string gives its raw text (absent: nothing).
TEST(JsonValue, UnescapingFollowsTheDocumentedRules) {
    // clang-format off
    const std::pair<const char*, std::string> cases[] = {
        {"\"\\ud840\\udc00\"", "\xF0\xA0\x80\x80"}, {"\"\\uD800\\u0041\"", "\xEF\xBF\xBD"},
        {"\"\\uDC00\\uD800\"", "\xEF\xBF\xBD"}, {"\"\\uD800x\"", "\xEF\xBF\xBDx"}, {"\"a\\xb\"", "ab"},
        {"\"\\uzz41\"", "A"}, {"\"ab\\u12\"", "ab"}, {"\"ab\\", "ab"}, {"-12.5e3", "-12.5e3"},
        {"\"a\\u0000b\"", "a\0b"s}};
    // clang-format on
    for (const auto& [json, text] : cases) {
        EXPECT_EQ(json_string_length(json_parse(json)), text.size()) << json;
        EXPECT_EQ(unescaped(json_parse(json)), text) << json;
    }
    // Comparisons see the unescaped text too, byte by byte; the other text ends at a NUL.
    EXPECT_LT(json_string_comparen(json_parse("\"a\\u0062\""), "ac", 2), 0);
    EXPECT_GT(json_string_comparen(json_parse("\"a\\u0062\""), "a\0zz", 4), 0);
    EXPECT_GT(json_string_compare(json_parse("\"\\u00e9\""), "\x7F"), 0);
    EXPECT_EQ(json_string_copy(JsonValue{}, nullptr, 0), 0u);
}

// Text, then its double, int64, int, uint64 and bool (true, a number other than 0, or a string
// reading 1, t, T, true, TRUE or True).
using Numbers = std::tuple<const char*, double, int64_t, int32_t, uint64_t, bool>;

class JsonNumbers : public testing::TestWithParam<Numbers> {};

TEST_P(JsonNumbers, ConvertWithSaturation) {
    const auto& [json, d, i64, i32, u64, b] = GetParam();
    const JsonValue v = json_parse(json);
    EXPECT_TRUE(std::isnan(d) ? std::isnan(json_double(v)) : json_double(v) == d);
    EXPECT_EQ(json_int64(v), i64);
    EXPECT_EQ(json_int(v), i32);
    EXPECT_EQ(json_uint64(v), u64);
    EXPECT_EQ(json_bool(v), b);
}

const std::string kLongDigits = "\"" + std::string(600, '7') + "\"";

INSTANTIATE_TEST_SUITE_P(
    Cases, JsonNumbers,
    testing::Values(
        Numbers{"-5", -5, -5, -5, 0, true}, Numbers{"true", 1, 1, 1, 1, true},
        Numbers{"[1]", 0, 0, 0, 0, false}, Numbers{"\"12abc\"", 0, 0, 0, 0, false},
        Numbers{"-1.9", -1.9, -1, -1, 0, true}, Numbers{"-0.0", 0, 0, 0, 0, false},
        Numbers{"\"\\u0074\"", 0, 0, 0, 0, true}, Numbers{"\"True\"", 0, 0, 0, 0, true},
        Numbers{"\"tRue\"", 0, 0, 0, 0, false},
        Numbers{"3e9", 3e9, 3000000000, INT32_MAX, 3000000000, true},
        Numbers{"18446744073709551616", 0x1p64, INT64_MAX, INT32_MAX, UINT64_MAX, true},
        Numbers{"-9223372036854775809", -0x1p63, INT64_MIN, INT32_MIN, 0, true},
        Numbers{"1000000000000000000000000000000000000000", 1e39, INT64_MAX, INT32_MAX, UINT64_MAX,
                true},
        Numbers{kLongDigits.c_str(), 0, 0, 0, 0, false},  // too long to convert
        Numbers{"\"nan\"", NAN, 0, 0, 0,
                false}));  // NaN reads as 0 for integers        // NaN reads as 0 for integers

TEST(JsonEscapen, EscapesMarkupTooAndStoresWhileTwoBytesRemain) {
    const std::string source = "a\t<>&\"\\/\x7F\x1F\xC3\xA9\xFF";
    const std::string full =
        "\"a\\t\\u003c\\u003e\\u0026\\\"\\\\/\x7F\\u001f\xC3\xA9\xEF\xBF\xBD\"";
    for (size_t size = 0; size <= full.size() + 1; ++size) {
        std::string out(size + 1, '#');
        EXPECT_EQ(json_escapen(source.data(), source.size(), out.data(), size), full.size());
        EXPECT_EQ(out.back(), '#') << "written past " << size;
        EXPECT_EQ(std::string(out.c_str()), size > 0 ? full.substr(0, size - 1) : "#") << size;
    }
    char two[2];
    EXPECT_EQ(json_escape(nullptr, two, sizeof two), 2u);
    EXPECT_EQ(std::string(two), "\"");
}

}  // namespace
