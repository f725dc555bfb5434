#include "codec/json_writer.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <climits>
#include <cstdio>
#include <functional>
#include <string>
#include <vector>

#include "tests/codec/alloc_failure.h"

namespace {

using Builder = std::function<void(Encoder*)>;

std::string text(const Encoder& enc) {
    return std::string(reinterpret_cast<const char*>(enc.data), enc.size);
}

std::string withNul(const std::string& s) {
    return s + '\0';
}

// The output of a whole JSON text in a created encoder, as size counts it.
std::string writeCreated(const Builder& build, int initialSize = 64) {
    Encoder enc;
    EXPECT_EQ(encoderCreate(&enc, initialSize), 0);
    encodeJsonStart(&enc);
    build(&enc);
    EXPECT_EQ(encodeJsonEnd(&enc), 0);
    std::string out = text(enc);
    encoderFree(&enc);
    return out;
}

void example(Encoder* enc) {
    encodeJsonObjectStart(enc);
    encodeJsonNameStrValue(enc, "event", "nmdevicestate");
    encodeJsonNameIntValue(enc, "nmdevicestate", 100);
    encodeJsonName(enc, "names");
    encodeJsonListStart(enc);
    encodeJsonStrValue(enc, "a");
    encodeJsonStrValue(enc, "b");
    encodeJsonListEnd(enc);
    encodeJsonNameBoolValue(enc, "flag", 1);
    encodeJsonObjectEnd(enc);
}

const char kExample[] =
    R"({"event":"nmdevicestate","nmdevicestate":100,"names":["a","b"],"flag":true})";

TEST(JsonWriter, WritesWholeTextsWithCommasPlacedByOneFlagAtEveryDepth) {
    const std::pair<const char*, Builder> cases[] = {
        {kExample, example},
        {R"([{"a":[]},{},true,false,"",null,{"addr":"192.0.2.1/24","n":null,"d":{},"e":-5}])",
         [](Encoder* e) {
             encodeJsonListStart(e);
             encodeJsonObjectStart(e);
             encodeJsonName(e, "a");
             encodeJsonListStart(e);
             encodeJsonListEnd(e);
             encodeJsonObjectEnd(e);
             encodeJsonObjectStart(e);
             encodeJsonObjectEnd(e);
             encodeJsonBoolValue(e, 5);
             encodeJsonBoolValue(e, 0);
             encodeJsonFormatStrValue(e, "%s", "");
             encodeJsonStrValue(e, nullptr);
             encodeJsonObjectStart(e);
             encodeJsonNameFormatStrValue(e, "addr", "%s/%d", "192.0.2.1", 24);
             encodeJsonNameStrValue(e, "n", nullptr);
             encodeJsonName(e, "d");
             encodeJsonObjectStart(e);
             encodeJsonObjectEnd(e);
             encodeJsonNameIntValue(e, "e", -5);
             encodeJsonObjectEnd(e);
             encodeJsonListEnd(e);
         }},
    };
    for (const auto& [expected, build] : cases) {
        EXPECT_EQ(writeCreated(build), withNul(expected));
        EXPECT_EQ(writeCreated(build, 1000), withNul(expected)) << "without growth";
    }
}

// Strings of 8 bytes and more also take the whole-word path, so each escaped byte is tried
// in several positions of a word.
TEST(JsonWriter, EscapesExactlySevenBytes) {
    const std::pair<std::string, std::string> cases[] = {
        {"a\"b\\\t\n", R"("a\"b\\\t\n")"},
        {"\b\f\r/", R"("\b\f\r/")"},
        {"\x01\x0b\x0e\x1f\x7f", "\"\x01\x0b\x0e\x1f\x7f\""},
        {"caf\xc3\xa9 \xe2\x82\xac \xa2\xdc", "\"caf\xc3\xa9 \xe2\x82\xac \xa2\xdc\""},
        {"0123456\"89abcdef\\", R"("0123456\"89abcdef\\")"},
        {"01234567\r9abcde\b", R"("01234567\r9abcde\b")"},
        {"abcdefghijklmnop\nqrstuvw\f!#[]", R"("abcdefghijklmnop\nqrstuvw\f!#[]")"},
    };
    for (const auto& [input, expected] : cases) {
        EXPECT_EQ(writeCreated([&](Encoder* e) { encodeJsonStrValue(e, input.c_str()); }),
                  withNul(expected));
        EXPECT_EQ(
            writeCreated([&](Encoder* e) { encodeJsonFormatStrValue(e, "%s", input.c_str()); }),
            withNul(expected))
            << "formatted";
    }
}

TEST(JsonWriter, WritesIntegersAsPrintfDoes) {
    std::vector<long long> values = {INT_MIN, INT_MAX};
    for (long long p = 1; p <= INT_MAX; p *= 10) values.insert(values.end(), {p - 1, p, -p - 1});
    for (long long v : values) {
        char expected[32];
        std::snprintf(expected, sizeof expected, "%lld", v);
        EXPECT_EQ(writeCreated([v](Encoder* e) { encodeJsonIntValue(e, static_cast<int>(v)); }),
                  withNul(expected));
    }
}

TEST(JsonWriter, EndAddsANulOnlyWhereTheTextLacksOne) {
    const std::pair<Builder, std::string> cases[] = {
        {[](Encoder*) {}, ""},
        {[](Encoder* e) { encodeStrcpy(e, "id"); }, std::string("id\0", 3)},
        // JSON after an open appended text takes the place of its NUL.
        {[](Encoder* e) { encodeAppend(e, "x="), encodeJsonStart(e), encodeJsonIntValue(e, 1); },
         std::string("x=1\0", 4)},
    };
    for (const auto& [build, expected] : cases) {
        Encoder enc;
        ASSERT_EQ(encoderCreate(&enc, 64), 0);
        build(&enc);
        EXPECT_EQ(encodeJsonEnd(&enc), 0);
        EXPECT_EQ(encodeJsonEnd(&enc), 0) << "a second end adds nothing";
        EXPECT_EQ(text(enc), expected);
        encoderFree(&enc);
    }
}

// Every region too small for the example stops at the first element that does not fit: what
// stays is a prefix of the full text, and the end call reports the failure.
TEST(JsonWriterWrapped, EveryTooSmallRegionKeepsAPrefixAndFails) {
    const std::string full = withNul(kExample);
    for (int regionSize = 0; regionSize <= static_cast<int>(full.size()) + 2; regionSize++) {
        std::vector<unsigned char> region(regionSize + 1);
        Encoder enc;
        encoderWrap(&enc, region.data(), regionSize);
        encodeJsonStart(&enc);
        example(&enc);
        EXPECT_EQ(encodeJsonEnd(&enc), regionSize > static_cast<int>(full.size()) ? 0 : -1);
        EXPECT_LT(enc.size, std::max(regionSize, 1)) << regionSize;
        EXPECT_EQ(text(enc), full.substr(0, enc.size)) << regionSize;
        EXPECT_EQ(region[regionSize], 0) << "nothing written past region " << regionSize;
    }
}

// The room check for the whole string may pass, but each byte is written only while
// size + 3 < capacity, so the tail of a string can be cut; escapes stay whole.
TEST(JsonWriterWrapped, StringsStopMidwayWithWholeEscapes) {
    const struct {
        int regionSize;
        const char* value;
        std::string expected;
        int result;
    } cases[] = {
        {13, "abcdefghi", R"("abcdefghi")", 0},
        {12, "abcdefghi", R"("abcdefgh)", -1},
        {23, "abcdefghijklmnopqrst", R"("abcdefghijklmnopqrs)", -1},
        {14, "\"\"\"\"\"\"", R"("\"\"\"\"\")", -1},
        {15, "\"\"\"\"\"\"", R"("\"\"\"\"\"\"")", 0},
        {11, "abcdefghi", "", -1},
        {4, nullptr, "", -1},
        {5, nullptr, "null", 0},
    };
    for (const auto& c : cases) {
        std::vector<unsigned char> region(c.regionSize + 1, 0);
        Encoder enc;
        encoderWrap(&enc, region.data(), c.regionSize);
        encodeJsonStart(&enc);
        EXPECT_EQ(encodeJsonStrValue(&enc, c.value), c.result) << c.regionSize;
        EXPECT_EQ(text(enc), c.expected) << c.regionSize;
        EXPECT_EQ(region[c.regionSize], 0) << c.regionSize;
    }
}

TEST(JsonWriterGrowth, GrowsByGrowthPlus10MidStringAndKeepsThePartWrittenWhenThatFails) {
    Encoder enc;
    ASSERT_EQ(encoderCreate(&enc, 64), 0);
    encodeJsonStart(&enc);
    ASSERT_EQ(encodeJsonStrValue(&enc, std::string(61, 'v').c_str()), 0);
    EXPECT_EQ(enc.capacity, 64 + 64 + 10);
    encoderFree(&enc);
    ASSERT_EQ(encoderCreate(&enc, 64), 0);
    encodeJsonStart(&enc);
    encodeJsonListStart(&enc);
    {
        HeapFailure heap;
        EXPECT_EQ(encodeJsonStrValue(&enc, std::string(40, '"').c_str()), -1);
    }
    std::string expected = "[\"";
    for (int i = 0; i < 30; i++) expected += "\\\"";
    EXPECT_EQ(text(enc), expected);
    EXPECT_EQ(encodeJsonEnd(&enc), -1);

    encoderFree(&enc);
}

}  // namespace
