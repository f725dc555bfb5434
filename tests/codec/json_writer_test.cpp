#include "codec/json_writer.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <climits>
#include <cstdio>
#include <cstring>
#include <functional>
#include <random>
#include <string>
#include <vector>

#include "tests/codec/alloc_failure.h"

namespace {

using Builder = std::function<void(Encoder*)>;

std::string text(const Encoder& enc) {
    return std::string(reinterpret_cast<const char*>(enc.data), enc.size);
}

std::string withNul(const std::string& s) {
    return s + std::string(1, '\0');
}

// Runs a whole JSON text in a created encoder; the output as size counts it.
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

TEST(JsonWriter, WritesTheEventExampleByteForByte) {
    EXPECT_EQ(writeCreated(example), withNul(kExample));
    EXPECT_EQ(writeCreated(example, 1000), withNul(kExample));
}

TEST(JsonWriter, PlacesCommasWithOneFlagAtEveryDepth) {
    struct Case {
        const char* expected;
        Builder build;
    };
    const Case cases[] = {
        {"{}",
         [](Encoder* e) {
             encodeJsonObjectStart(e);
             encodeJsonObjectEnd(e);
         }},
        {"[{},{}]",
         [](Encoder* e) {
             encodeJsonListStart(e);
             for (int i = 0; i < 2; i++) {
                 encodeJsonObjectStart(e);
                 encodeJsonObjectEnd(e);
             }
             encodeJsonListEnd(e);
         }},
        {R"({"a":[{"b":1},{"c":[]}],"d":{},"e":-5})",
         [](Encoder* e) {
             encodeJsonObjectStart(e);
             encodeJsonName(e, "a");
             encodeJsonListStart(e);
             encodeJsonObjectStart(e);
             encodeJsonNameIntValue(e, "b", 1);
             encodeJsonObjectEnd(e);
             encodeJsonObjectStart(e);
             encodeJsonName(e, "c");
             encodeJsonListStart(e);
             encodeJsonListEnd(e);
             encodeJsonObjectEnd(e);
             encodeJsonListEnd(e);
             encodeJsonName(e, "d");
             encodeJsonObjectStart(e);
             encodeJsonObjectEnd(e);
             encodeJsonNameIntValue(e, "e", -5);
             encodeJsonObjectEnd(e);
         }},
        {R"({"name":null,"wifi":null})",
         [](Encoder* e) {
             encodeJsonObjectStart(e);
             encodeJsonNameStrValue(e, "name", nullptr);
             encodeJsonName(e, "wifi");
             encodeJsonStrValue(e, nullptr);
             encodeJsonObjectEnd(e);
         }},
        {R"([true,false,0,"",null])",
         [](Encoder* e) {
             encodeJsonListStart(e);
             encodeJsonBoolValue(e, 5);
             encodeJsonBoolValue(e, 0);
             encodeJsonIntValue(e, 0);
             encodeJsonStrValue(e, "");
             encodeJsonStrValue(e, nullptr);
             encodeJsonListEnd(e);
         }},
        // No structure is checked: a bare value list is written as asked.
        {R"("x",1,true)",
         [](Encoder* e) {
             encodeJsonStrValue(e, "x");
             encodeJsonIntValue(e, 1);
             encodeJsonBoolValue(e, 1);
         }},
        {R"({"addr":"192.0.2.1/24","empty":""})",
         [](Encoder* e) {
             encodeJsonObjectStart(e);
             encodeJsonNameFormatStrValue(e, "addr", "%s/%d", "192.0.2.1", 24);
             encodeJsonName(e, "empty");
             encodeJsonFormatStrValue(e, "%s", "");
             encodeJsonObjectEnd(e);
         }},
    };
    for (const Case& c : cases) EXPECT_EQ(writeCreated(c.build), withNul(c.expected));
}

TEST(JsonWriter, EscapesExactlySevenBytes) {
    struct Case {
        std::string input;
        std::string expected;
    };
    const Case cases[] = {
        {"a\"b\\\t\n", R"("a\"b\\\t\n")"},
        {"\b\f\r", R"("\b\f\r")"},
        {"", R"("")"},
        {"/", R"("/")"},
        {"\x01\x0b\x1f\x7f", "\"\x01\x0b\x1f\x7f\""},
        {"caf\xc3\xa9 \xe2\x82\xac", "\"caf\xc3\xa9 \xe2\x82\xac\""},
        {"\"\"\"", R"("\"\"\"")"},
        {"tail\\", R"("tail\\")"},
    };
    for (const Case& c : cases) {
        std::string out = writeCreated([&](Encoder* e) { encodeJsonStrValue(e, c.input.c_str()); });
        EXPECT_EQ(out, withNul(c.expected)) << c.input;
        out = writeCreated([&](Encoder* e) { encodeJsonFormatStrValue(e, "%s", c.input.c_str()); });
        EXPECT_EQ(out, withNul(c.expected)) << "formatted " << c.input;
    }
}

TEST(JsonWriter, WritesIntegersAsPrintfDoes) {
    std::vector<int> values = {INT_MIN, INT_MIN + 1, INT_MAX, 0, -1, 1};
    for (long long p = 1; p <= INT_MAX; p *= 10) {
        for (long long v : {p - 1, p, p + 1, -p, -p + 1, -p - 1}) {
            if (v >= INT_MIN && v <= INT_MAX) values.push_back(static_cast<int>(v));
        }
    }
    for (int v : values) {
        char expected[32];
        std::snprintf(expected, sizeof expected, "%d", v);
        EXPECT_EQ(writeCreated([v](Encoder* e) { encodeJsonIntValue(e, v); }), withNul(expected));
    }
}

TEST(JsonWriter, LeavesTheNulOfANumberJustPastTheContent) {
    unsigned char region[32];
    std::memset(region, 'x', sizeof region);
    Encoder enc;
    encoderWrap(&enc, region, sizeof region);
    encodeJsonStart(&enc);
    ASSERT_EQ(encodeJsonIntValue(&enc, -42), 0);
    EXPECT_EQ(text(enc), "-42");
    EXPECT_EQ(region[3], '\0');
    ASSERT_EQ(encodeJsonBoolValue(&enc, 1), 0);
    EXPECT_EQ(text(enc), "-42,true");
    EXPECT_EQ(region[8], '\0');
    ASSERT_EQ(encodeJsonEnd(&enc), 0);
    EXPECT_EQ(enc.size, 9) << "the NUL at the end is counted";
}

TEST(JsonWriter, EndAddsANulOnlyWhereTheTextLacksOne) {
    struct Case {
        const char* what;
        Builder build;
        std::string expected;
    };
    const Case cases[] = {
        {"empty encoder", [](Encoder*) {}, ""},
        {"text already ends with NUL", [](Encoder* e) { encodeStrcpy(e, "id"); },
         std::string("id\0", 3)},
        {"binary fields before the text",
         [](Encoder* e) {
             encodeInt16(e, 0x0102);
             encodeJsonStart(e);
             encodeJsonObjectStart(e);
             encodeJsonObjectEnd(e);
         },
         std::string("\x02\x01{}\0", 5)},
        {"appended text continued in place of its NUL",
         [](Encoder* e) {
             encodeAppend(e, "x=");
             encodeJsonStart(e);
             encodeJsonObjectStart(e);
             encodeJsonObjectEnd(e);
         },
         std::string("x={}\0", 5)},
        {"appended text closed before the JSON",
         [](Encoder* e) {
             encodeAppend(e, "x=");
             encodeAppendDone(e);
             encodeJsonStart(e);
             encodeJsonIntValue(e, 1);
         },
         std::string("x=\0"
                     "1\0",
                     5)},
    };
    for (const Case& c : cases) {
        Encoder enc;
        ASSERT_EQ(encoderCreate(&enc, 64), 0);
        c.build(&enc);
        EXPECT_EQ(encodeJsonEnd(&enc), 0) << c.what;
        EXPECT_EQ(encodeJsonEnd(&enc), 0) << c.what << ": a second end adds nothing";
        EXPECT_EQ(text(enc), c.expected) << c.what;
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
        int result = encodeJsonEnd(&enc);
        bool fits = regionSize > static_cast<int>(full.size());
        EXPECT_EQ(result, fits ? 0 : -1) << regionSize;
        EXPECT_LT(enc.size, std::max(regionSize, 1)) << regionSize;
        EXPECT_EQ(text(enc), full.substr(0, enc.size)) << regionSize;
        EXPECT_EQ(region[regionSize], 0) << "nothing written past region " << regionSize;
    }
}

TEST(JsonWriterWrapped, StringsStopMidwayWithWholeEscapes) {
    struct Case {
        const char* what;
        int regionSize;
        const char* value;
        std::string expected;
        int result;
    };
    const Case cases[] = {
        {"fits with one byte more than the content needs", 13, "abcdefghi", R"("abcdefghi")", 0},
        // The room check for the whole string passes, but each byte wants size + 3 < capacity.
        {"the per-byte check cuts the tail", 12, "abcdefghi", R"("abcdefgh)", -1},
        {"escapes use up the region", 14, "\"\"\"\"\"\"", R"("\"\"\"\"\")", -1},
        {"escapes just fit", 15, "\"\"\"\"\"\"", R"("\"\"\"\"\"\"")", 0},
        {"no room for the quotes", 11, "abcdefghi", "", -1},
        {"null needs 4 bytes and one spare", 4, nullptr, "", -1},
        {"null fits", 5, nullptr, "null", 0},
    };
    for (const Case& c : cases) {
        std::vector<unsigned char> region(c.regionSize + 1, 0);
        Encoder enc;
        encoderWrap(&enc, region.data(), c.regionSize);
        encodeJsonStart(&enc);
        EXPECT_EQ(encodeJsonStrValue(&enc, c.value), c.result) << c.what;
        EXPECT_EQ(text(enc), c.expected) << c.what;
        EXPECT_EQ(encoderFailed(&enc), c.result) << c.what;
        EXPECT_EQ(region[c.regionSize], 0) << c.what;
    }
}

TEST(JsonWriterWrapped, PairOperationsReportAFailureOfEitherHalf) {
    unsigned char region[22];
    Encoder enc;
    encoderWrap(&enc, region, sizeof region);
    encodeJsonStart(&enc);
    encodeJsonObjectStart(&enc);
    EXPECT_EQ(encodeJsonNameIntValue(&enc, "mtu", 1500), 0);
    EXPECT_EQ(encodeJsonNameIntValue(&enc, "speed", 10), -1);
    EXPECT_EQ(text(enc), R"({"mtu":1500,"speed":)") << "the name stays";
    EXPECT_EQ(encodeJsonNameBoolValue(&enc, "c", 1), -1);
    EXPECT_EQ(encodeJsonObjectEnd(&enc), -1);
    EXPECT_EQ(encodeJsonEnd(&enc), -1);
    EXPECT_EQ(text(enc), R"({"mtu":1500,"speed":)");
}

TEST(JsonWriterGrowth, AStringEndingNearTheCapacityGrowsByGrowthPlus10) {
    Encoder enc;
    ASSERT_EQ(encoderCreate(&enc, 64), 0);
    encodeJsonStart(&enc);
    std::string value(61, 'v');
    ASSERT_EQ(encodeJsonStrValue(&enc, value.c_str()), 0);
    EXPECT_EQ(enc.capacity, 64 + 64 + 10);
    EXPECT_EQ(text(enc), "\"" + value + "\"");
    encoderFree(&enc);
}

TEST(JsonWriterGrowth, FailedGrowthMidStringKeepsThePartWritten) {
    Encoder enc;
    ASSERT_EQ(encoderCreate(&enc, 64), 0);
    encodeJsonStart(&enc);
    const std::string quotes(40, '"');
    std::string expected = "\"";
    for (int i = 0; i < 30; i++) expected += "\\\"";
    {
        HeapFailure heap;
        EXPECT_EQ(encodeJsonStrValue(&enc, quotes.c_str()), -1);
    }
    EXPECT_EQ(text(enc), expected);
    EXPECT_EQ(enc.capacity, 64);
    EXPECT_EQ(encodeJsonEnd(&enc), -1);
    encoderFree(&enc);
}

TEST(JsonWriterGrowth, FormattedValueWithoutAHeapBlockWritesNothing) {
    Encoder enc;
    ASSERT_EQ(encoderCreate(&enc, 64), 0);
    encodeJsonStart(&enc);
    encodeJsonListStart(&enc);
    encodeJsonIntValue(&enc, 1);
    {
        HeapFailure heap;
        EXPECT_EQ(encodeJsonFormatStrValue(&enc, "%d", 2), -1);
    }
    EXPECT_EQ(text(enc), "[1") << "no comma either";
    EXPECT_EQ(encoderFailed(&enc), -1);
    EXPECT_EQ(enc.jsonFirst, 0);
    encoderFree(&enc);
}

// The string writer copies runs of plain bytes at once; this model writes byte by byte as the
// algorithm states it, and both must leave the same bytes, size, capacity and failure.
struct Model {
    std::vector<unsigned char> data;
    int64_t size = 0;
    int64_t capacity;
    int64_t growth;
    bool wrapped;
    bool failed = false;

    int room(int64_t n) {
        if (failed) return -1;
        if (size + n < capacity) return 0;
        if (wrapped) {
            failed = true;
            return -1;
        }
        capacity += growth + n;
        data.resize(capacity);
        return 0;
    }
    void put(unsigned char byte) { data[size++] = byte; }

    // A value after an earlier element: comma first, then the string.
    int strValue(const std::string& value) {
        if (room(1) == 0) put(',');
        if (room(value.size() + 2) != 0) return -1;
        put('"');
        for (unsigned char byte : value) {
            if (size + 3 >= capacity && room(10) != 0) return -1;
            const char* escapes = "\"\"\\\\\bb\tt\nn\ff\rr";
            const char* hit = nullptr;
            for (const char* p = escapes; *p; p += 2) {
                if (static_cast<unsigned char>(*p) == byte) hit = p;
            }
            if (hit) {
                put('\\');
                put(hit[1]);
            } else {
                put(byte);
            }
        }
        put('"');
        return 0;
    }
};

// Writes value after prefill bytes in a fresh encoder and in the model; true when both agree.
::testing::AssertionResult sameAsModel(const std::string& value, bool wrapped, int capacity,
                                       int prefill) {
    std::vector<unsigned char> region(wrapped ? capacity : 0);
    Encoder enc;
    if (wrapped) {
        encoderWrap(&enc, region.data(), capacity);
    } else if (encoderCreate(&enc, capacity) != 0) {
        return ::testing::AssertionFailure() << "no encoder";
    }
    Model model{std::vector<unsigned char>(enc.capacity), 0, enc.capacity, enc.growth, wrapped};
    if (encodeSkip(&enc, prefill) == 0) model.size = prefill;
    model.failed = enc.failed;
    int64_t start = model.size;

    int result = encodeJsonStrValue(&enc, value.c_str());
    int expected = model.strValue(value);
    bool same = result == expected && enc.size == model.size && enc.capacity == model.capacity &&
                (enc.failed != 0) == model.failed &&
                std::equal(enc.data + start, enc.data + enc.size, model.data.begin() + start);
    encoderFree(&enc);
    if (same) return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << (wrapped ? "wrapped " : "created ") << capacity
                                         << " after " << prefill << ": " << value;
}

TEST(JsonWriterModel, RandomStringsMatchTheByteByByteAlgorithm) {
    std::mt19937 random(20261205);
    // Dense escapes, and long plain runs with bytes next to the escaped ones (0x0b, 0x0e,
    // 0x21, 0x23, 0x5b, 0x5d, and 0xa2 and 0xdc, a quote and a backslash with the top bit set).
    const std::string dense = "abc/\"\\\b\t\n\f\r\x01\x7f\xc3\xa9";
    const std::string sparse = std::string("abcdefghijklmnopqrstuvwxyz0123456789.:/\x0b\x0e!#[]") +
                               "\xa2\xdc\xff\x80" + "\"";
    for (int round = 0; round < 3000; round++) {
        bool wrapped = random() % 2;
        int capacity = wrapped ? random() % 160 : 64 + random() % 64;
        int prefill = random() % (capacity > 0 ? capacity : 1);
        const std::string& alphabet = round % 2 ? dense : sparse;
        std::string value(random() % 120, ' ');
        for (char& c : value) c = alphabet[random() % alphabet.size()];
        ASSERT_TRUE(sameAsModel(value, wrapped, capacity, prefill)) << round;
    }
}

// Plain runs with at most one escape, in every region from too small to roomy: covers each
// place where the per-byte limit can cut a run.
TEST(JsonWriterModel, EveryCutOfAPlainRunMatchesTheAlgorithm) {
    for (int length = 0; length <= 24; length++) {
        for (int quoteAt = -1; quoteAt < length; quoteAt++) {
            std::string value(length, 'p');
            if (quoteAt >= 0) value[quoteAt] = '"';
            for (int capacity = length; capacity <= length + 12; capacity++) {
                for (int prefill : {0, 1, 5}) {
                    ASSERT_TRUE(sameAsModel(value, true, capacity + prefill, prefill));
                }
            }
            ASSERT_TRUE(sameAsModel(value, false, 64, 64 - length - 4));
        }
    }
}

}  // namespace
