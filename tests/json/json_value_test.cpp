#include "json/json_value.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <string>
#include <vector>

namespace {

using namespace std::string_literals;

// Texts are literals, so the values found stay valid.
JsonValue first_value(const char* text) {
    return json_parse(text);
}

// Copies into a buffer with guard bytes around the destination and checks them afterwards.
struct Copied {
    std::string text;  // what the destination holds up to its NUL
    size_t result;
};

Copied copy_guarded(JsonValue v, size_t size) {
    std::vector<char> buf(size + 16, '#');
    const size_t result = json_string_copy(v, buf.data() + 8, size);
    for (size_t i = 0; i < 8; ++i) EXPECT_EQ(buf[i], '#') << "written before the destination";
    for (size_t i = size + 8; i < buf.size(); ++i) EXPECT_EQ(buf[i], '#') << "written past it";
    if (size == 0) return {"<untouched>", result};
    return {std::string(buf.data() + 8, strnlen(buf.data() + 8, size)), result};
}

TEST(JsonValue, StringCopyCutsButReportsTheFullLength) {
    const JsonValue hello = first_value("\"hello\"");
    EXPECT_EQ(copy_guarded(hello, 4).text, "hel");
    EXPECT_EQ(copy_guarded(hello, 4).result, 5u);
    EXPECT_EQ(copy_guarded(hello, 0).result, 5u);
    EXPECT_EQ(copy_guarded(hello, 6).text, "hello");
    EXPECT_EQ(copy_guarded(first_value("12.5"), 16).text, "12.5");
    EXPECT_EQ(copy_guarded(first_value("12.5"), 16).result, 4u);
    EXPECT_EQ(copy_guarded(first_value(" [1, 2] "), 3).text, "[1");
    EXPECT_EQ(copy_guarded(first_value(" [1, 2] "), 3).result, 6u);
    EXPECT_EQ(copy_guarded(JsonValue{}, 4).text, "");
    EXPECT_EQ(copy_guarded(JsonValue{}, 4).result, 0u);
}

struct Unescape {
    const char* json;
    std::string produced;
};

TEST(JsonValue, EscapesAreUndoneByTheDocumentedRules) {
    const std::vector<Unescape> cases = {
        {"\"a\\u00e9b\"",
         "a\xC3\xA9"
         "b"},
        {"\"\\uD83D\\uDE00\"", "\xF0\x9F\x98\x80"},
        {"\"\\ud840\\udc00\"", "\xF0\xA0\x80\x80"},
        {"\"\\uD800\\u0041\"", "\xEF\xBF\xBD"},
        {"\"\\uDC00\"", "\xEF\xBF\xBD"},
        {"\"\\uDC00\\uD800\"", "\xEF\xBF\xBD"},
        {"\"\\uD800x\"", "\xEF\xBF\xBDx"},
        {"\"\\uD800\\u00\"", "\xEF\xBF\xBD"},  // no partner, then a short \u ends the text
        {"\"a\\xb\"", "ab"},
        {"\"\\\"\\\\\\/\\b\\f\\n\\r\\t\"", "\"\\/\b\f\n\r\t"},
        {"\"\\u0041\\u07FF\\uFFFF\"", "A\xDF\xBF\xEF\xBF\xBF"},
        {"\"\\uzz41\"", "A"},   // non-hex digits count as 0
        {"\"ab\\u12\"", "ab"},  // a short \u ends the text
        {"\"ab\\", "ab"},       // unclosed: the body loses its last byte
        {"\"a\\u0000b\"", "a\0b"s},
    };
    for (const Unescape& c : cases) {
        const JsonValue v = first_value(c.json);
        ASSERT_TRUE(json_string_is_escaped(v)) << c.json;
        EXPECT_EQ(json_string_length(v), c.produced.size()) << c.json;
        std::vector<char> out(c.produced.size() + 1, '#');
        EXPECT_EQ(json_string_copy(v, out.data(), out.size()), c.produced.size());
        EXPECT_EQ(std::string(out.data(), c.produced.size()), c.produced) << c.json;
        EXPECT_EQ(out.back(), '\0');
    }
}

TEST(JsonValue, EscapedCopyStopsOneByteShortOfTheDestination) {
    const JsonValue v = first_value("\"\\u00e9\\u00e9\"");
    for (size_t size = 0; size <= 5; ++size) {
        const Copied c = copy_guarded(v, size);
        EXPECT_EQ(c.result, 4u);
        if (size > 0) {
            EXPECT_EQ(c.text, std::string("\xC3\xA9\xC3\xA9").substr(0, size - 1));
        }
    }
    EXPECT_EQ(copy_guarded(first_value("\"a\\u0000b\""), 8).text, "a") << "NUL ends it early";
}

TEST(JsonValue, NonStringsHaveTheirRawLength) {
    EXPECT_EQ(json_string_length(first_value("-12.5e3")), 7u);
    EXPECT_EQ(json_string_length(first_value(" {\"a\":[]} ")), 8u);
    EXPECT_EQ(json_string_length(JsonValue{}), 0u);
    EXPECT_EQ(json_string_length(first_value("\"plain\"")), 5u);
}

struct Compare {
    const char* json;
    const char* other;
    size_t n;
    int sign;
};

TEST(JsonValue, StringComparisonUsesTheUnescapedText) {
    const std::vector<Compare> cases = {
        {"\"a\\\"b\"", "a\"b", 3, 0},
        {"\"a\\u0062\"", "ab.c", 2, 0},
        {"\"ab\\/\"", "ab.c", 2, 1},
        {"\"a\\u0062\"", "abc", 3, -1},
        {"\"a\\u0062\"", "aa", 2, 1},
        {"\"a\\u0062\"", "ac", 2, -1},
        {"\"a\\u0062\"", "a\0zz", 4, 1},  // other ends at its NUL
        {"\"\\u00e9\"", "\xC3\xA9", 2, 0},
        {"\"\\u00e9\"", "\x7F", 1, 1},  // bytes compare unsigned
        {"\"ab\"", "ab", 2, 0},
        {"\"ab\"", "abc", 3, -1},
        {"\"abc\"", "abd", 2, 1},
        {"\"abc\"", "abd", 3, -1},
        {"\"\"", "", 0, 0},
        {"\"\\n\"", nullptr, 0, 1},
        {"12", "12", 2, 0},
        {"true", "tr", 2, 1},
    };
    auto sign = [](int v) { return (v > 0) - (v < 0); };
    for (const Compare& c : cases) {
        EXPECT_EQ(sign(json_string_comparen(first_value(c.json), c.other, c.n)), c.sign)
            << c.json << " vs " << (c.other ? c.other : "null") << " n=" << c.n;
    }
    EXPECT_EQ(json_string_compare(first_value("\"x\\ty\""), "x\ty"), 0);
    EXPECT_EQ(json_string_compare(first_value("\"\""), nullptr), 0);
    EXPECT_EQ(json_string_compare(JsonValue{}, nullptr), 0);
    EXPECT_EQ(json_string_compare(JsonValue{}, "a"), -1);
}

struct Numbers {
    const char* json;
    double d;
    int64_t i64;
    int32_t i32;
    uint64_t u64;
};

TEST(JsonValue, NumbersConvertWithSaturation) {
    const std::string digits600 = "\"" + std::string(600, '7') + "\"";
    const std::vector<Numbers> cases = {
        {"-5", -5, -5, -5, 0},
        {"18446744073709551615", 18446744073709551615.0, INT64_MAX, INT32_MAX, UINT64_MAX},
        {"18446744073709551616", 18446744073709551616.0, INT64_MAX, INT32_MAX, UINT64_MAX},
        {"1e3", 1000, 1000, 1000, 1000},
        {"\"7\"", 7, 7, 7, 7},
        {"true", 1, 1, 1, 1},
        {"false", 0, 0, 0, 0},
        {"null", 0, 0, 0, 0},
        {"[1]", 0, 0, 0, 0},
        {"9223372036854775808", 9223372036854775808.0, INT64_MAX, INT32_MAX,
         9223372036854775808ull},
        {"-9223372036854775809", -9223372036854775808.0, INT64_MIN, INT32_MIN, 0},
        {"-1e300", -1e300, INT64_MIN, INT32_MIN, 0},
        {"1e300", 1e300, INT64_MAX, INT32_MAX, UINT64_MAX},
        {"-1.9", -1.9, -1, -1, 0},
        {"3000000000", 3e9, 3000000000, INT32_MAX, 3000000000},
        {"\"0x10\"", 16, 16, 16, 16},
        {"\"12abc\"", 0, 0, 0, 0},
        {"\"\"", 0, 0, 0, 0},
        {"\" 42\"", 42, 42, 42, 42},
        {"0.5", 0.5, 0, 0, 0},
        {"1-2", 0, 0, 0, 0},
        {"12345678901234567890.5", 12345678901234567890.5, INT64_MAX, INT32_MAX,
         12345678901234567168ull},
    };
    for (const Numbers& c : cases) {
        const JsonValue v = first_value(c.json);
        EXPECT_DOUBLE_EQ(json_double(v), c.d) << c.json;
        EXPECT_EQ(json_int64(v), c.i64) << c.json;
        EXPECT_EQ(json_int(v), c.i32) << c.json;
        EXPECT_EQ(json_uint64(v), c.u64) << c.json;
    }
    const JsonValue long_digits = json_parsen(digits600.data(), digits600.size());
    EXPECT_EQ(json_uint64(long_digits), 0u);
    EXPECT_EQ(json_int64(long_digits), 0);
    EXPECT_EQ(json_double(JsonValue{}), 0.0);
}

// strtod reads "nan" as NaN, which no saturation rule covers: the integer conversions give 0.
TEST(JsonValue, NotANumberReadsAsZeroForIntegers) {
    const JsonValue nan = first_value("\"nan\"");
    EXPECT_TRUE(std::isnan(json_double(nan)));
    EXPECT_EQ(json_int64(nan), 0);
    EXPECT_EQ(json_int(nan), 0);
    EXPECT_EQ(json_uint64(nan), 0u);
    EXPECT_TRUE(json_bool(first_value("\"nan\"")) == false) << "strings use the word list";
}

TEST(JsonValue, BooleansAcceptTrueNumbersAndFixedWords) {
    const std::vector<std::pair<const char*, bool>> cases = {
        {"true", true},        {"false", false},   {"null", false},      {"\"True\"", true},
        {"\"1\"", true},       {"\"t\"", true},    {"\"T\"", true},      {"\"TRUE\"", true},
        {"\"true\"", true},    {"\"yes\"", false}, {"\"TRUE \"", false}, {"\"tRue\"", false},
        {"\"\\u0074\"", true}, {"0", false},       {"0.5", true},        {"-0.0", false},
        {"[1]", false},        {"{}", false},
    };
    for (const auto& [json, expected] : cases) {
        EXPECT_EQ(json_bool(first_value(json)), expected) << json;
    }
    EXPECT_FALSE(json_bool(JsonValue{}));
}

struct Escape {
    std::string source;
    std::string escaped;
};

TEST(JsonValue, EscapingQuotesControlAndMarkupBytes) {
    const std::vector<Escape> cases = {
        {"a\t<", "\"a\\t\\u003c\""},
        {"\xFF", "\"\xEF\xBF\xBD\""},
        {"", "\"\""},
        {"\"\\/\b\f\n\r\t\x7F", "\"\\\"\\\\/\\b\\f\\n\\r\\t\x7F\""},
        {"<>&\x01\x1F", "\"\\u003c\\u003e\\u0026\\u0001\\u001f\""},
        {"\0"s, "\"\\u0000\""},
        {"\xC3\xA9\xF4\x8F\xBF\xBE", "\"\xC3\xA9\xF4\x8F\xBF\xBE\""},
        {"\xF4\x8F\xBF\xBF", "\"\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD\""},
        {"\xE0\x82\x80", "\"\xE0\x82\x80\""},  // same overlong rule as the validator
        {"\xC0\x80", "\"\xEF\xBF\xBD\xEF\xBF\xBD\""},
        {"\xED\xA0\x80", "\"\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD\""},
        {"a\xE2\x82", "\"a\xEF\xBF\xBD\xEF\xBF\xBD\""},  // cut sequence
    };
    for (const Escape& c : cases) {
        std::vector<char> out(c.escaped.size() + 1, '#');
        EXPECT_EQ(json_escapen(c.source.data(), c.source.size(), out.data(), out.size()),
                  c.escaped.size());
        EXPECT_EQ(std::string(out.data(), c.escaped.size()), c.escaped);
        EXPECT_EQ(out.back(), '\0');
    }
}

TEST(JsonValue, EscapingIntoASmallDestinationCutsAndCounts) {
    const std::string src = "a\t<";
    for (size_t size = 0; size <= 12; ++size) {
        std::vector<char> buf(size + 16, '#');
        EXPECT_EQ(json_escapen(src.data(), src.size(), buf.data() + 8, size), 11u);
        for (size_t i = 0; i < 8; ++i) EXPECT_EQ(buf[i], '#');
        for (size_t i = size + 8; i < buf.size(); ++i) EXPECT_EQ(buf[i], '#') << size;
        if (size == 0) continue;
        const std::string full = "\"a\\t\\u003c\"";
        const std::string stored(buf.data() + 8);
        EXPECT_EQ(stored, full.substr(0, size - 1)) << size;
    }
    char four[4];
    EXPECT_EQ(json_escapen(src.data(), src.size(), four, 4), 11u);
    EXPECT_EQ(std::string(four), "\"a\\");
    char two[2];
    EXPECT_EQ(json_escape(nullptr, two, 2), 2u);
    EXPECT_EQ(std::string(two), "\"");
    char three[3];
    EXPECT_EQ(json_escape(nullptr, three, 3), 2u);
    EXPECT_EQ(std::string(three), "\"\"");
}

// Escaped text is valid JSON whose string reads back as the source, for well-formed UTF-8.
TEST(JsonValue, EscapedTextRoundTrips) {
    const std::string src = "caf\xC3\xA9 <b>\"x\"</b>\\ \x01\t\xF0\x9F\x98\x80/";
    char out[128];
    const size_t n = json_escapen(src.data(), src.size(), out, sizeof out);
    ASSERT_LT(n, sizeof out);
    char back[64];
    EXPECT_EQ(json_string_copy(json_parsen(out, n), back, sizeof back), src.size());
    EXPECT_EQ(std::string(back), src);
}

}  // namespace
