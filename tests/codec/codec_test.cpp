// The message buffer, and the JSON writer on it fed random byte strings: its text must always be
// valid JSON that reads back, in a growing encoder and, up to a clean failure, in a wrapped one.
#include <glib.h>
#include <gtest/gtest.h>

#include <functional>
#include <iterator>
#include <random>
#include <string>
#include <vector>

#include "codec/codec.h"

// The test links with --wrap=malloc and --wrap=realloc, so the codec's heap calls come here:
// while heapFails is set they fail. libc and libstdc++ keep the real allocator.
static bool heapFails = false;
extern "C" void* __real_malloc(size_t size);
extern "C" void* __real_realloc(void* block, size_t size);
extern "C" void* __wrap_malloc(size_t size) {
    return heapFails ? nullptr : __real_malloc(size);
}
extern "C" void* __wrap_realloc(void* block, size_t size) {
    return heapFails ? nullptr : __real_realloc(block, size);
}

namespace {

using Bytes = std::vector<unsigned char>;

Bytes contents(Encoder& enc) {
    return Bytes(encoderPtr(&enc) - encoderSize(&enc), encoderPtr(&enc));
}

// value written with the given byte order gives bytes, which read back as value.
template <typename T>
void expectOrdered(int32_t order, int (*write)(Encoder*, T), T (*read)(Decoder*), T value,
                   const Bytes& bytes) {
    unsigned char region[16];
    Encoder enc;
    encoderWrap(&enc, region, sizeof region);
    enc.byteOrder = order;
    ASSERT_EQ(write(&enc, value), 0);
    EXPECT_EQ(contents(enc), bytes) << +value;
    Decoder dec;
    decoderWrap(&dec, region, enc.size);
    dec.byteOrder = order;
    EXPECT_EQ(read(&dec), value);
    EXPECT_EQ(decoderRemaining(&dec), 0) << +value;
}

// Integers follow the byte order, floats stay in host order, and decoding mirrors encoding.
TEST(Encoder, ByteOrderTable) {
    expectOrdered<int16_t>(0, encodeInt16, decodeInt16, 0x1234, {0x34, 0x12});
    expectOrdered<uint16_t>(1, encodeUint16, decodeUint16, 0x1234, {0x12, 0x34});
    expectOrdered<int32_t>(0, encodeInt32, decodeInt32, -2, {0xfe, 0xff, 0xff, 0xff});
    expectOrdered<uint32_t>(7, encodeUint32, decodeUint32, 0x01020304, {1, 2, 3, 4});
    expectOrdered<int64_t>(0, encodeInt64, decodeInt64, 0x0102030405060708,
                           {8, 7, 6, 5, 4, 3, 2, 1});
    expectOrdered<uint64_t>(-1, encodeUint64, decodeUint64, 0x0102030405060708,
                            {1, 2, 3, 4, 5, 6, 7, 8});
    expectOrdered<int8_t>(1, encodeInt8, decodeInt8, -128, {0x80});
    expectOrdered<uint8_t>(1, encodeUint8, decodeUint8, 200, {200});
    expectOrdered<char>(1, encodeChar, decodeChar, 'q', {'q'});
    expectOrdered<int>(1, encodeBool, decodeBool, 1, {1});
    expectOrdered<float>(1, encodeFloat, decodeFloat, 1.0f, {0, 0, 0x80, 0x3f});
    expectOrdered<double>(1, encodeDouble, decodeDouble, 1.0, {0, 0, 0, 0, 0, 0, 0xf0, 0x3f});
    // Texts are read in place; an unterminated one is null and leaves the cursor.
    Decoder dec;
    decoderWrap(&dec, "ab\0cd", 5);
    EXPECT_STREQ(decodeCString(&dec), "ab");
    EXPECT_EQ(decodeCString(&dec), nullptr);
    decodeSkip(&dec, 1);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(decodePtr(&dec)), decoderRemaining(&dec)),
              "d");
}

// A write that does not fit fails the encoder and writes nothing; a failed encoder refuses every
// write until reset; an appended text ends at any other write.
TEST(Encoder, FailureIsStickyUntilResetAndAnyWriteClosesAnAppendedText) {
    const std::pair<std::string, std::function<int(Encoder*)>> writes[] = {
        {"append", [](Encoder* e) { return encodeAppend(e, "x"); }},
        {"strcpy", [](Encoder* e) { return encodeStrcpy(e, ""); }},
        {"printf", [](Encoder* e) { return encodePrintf(e, "%d", 1); }},
        {"resize", [](Encoder* e) { return encoderResize(e, 0); }},
        {"length slot", [](Encoder* e) { return encodeLenBufStart(e); }},
    };
    for (const auto& [name, write] : writes) {
        unsigned char region[24] = {};
        Encoder enc;
        encoderWrap(&enc, region, sizeof region);
        ASSERT_EQ(encodeAppend(&enc, "%s", "ab"), 0);
        ASSERT_EQ(write(&enc), 0) << name;
        ASSERT_EQ(encodeAppend(&enc, "c"), 0);
        EXPECT_EQ(std::string(reinterpret_cast<char*>(region), 3),
                  name == "append" ? "abx" : std::string("ab", 3));
        encodeAppendDone(&enc);
        const int32_t size = enc.size;
        EXPECT_EQ(encodeSkip(&enc, 24 - size), -1);
        EXPECT_EQ(encoderFailed(&enc), -1);
        EXPECT_EQ(write(&enc), -1) << name;
        EXPECT_EQ(enc.size, size) << name;
        encoderReset(&enc);
        EXPECT_EQ(write(&enc), 0) << name << " after reset";
    }
}

// A failed growth keeps the old block (content, capacity, and encoderFree releases it); counts
// past 32 bits are refused, not wrapped around.
TEST(Encoder, GrowsAsNeededAndAFailedGrowthKeepsTheOldBlock) {
    Encoder enc;
    ASSERT_EQ(encoderCreate(&enc, 0), 0);
    const Bytes payload(300, 'p');
    for (unsigned n = 1; n < 300; n += 37) ASSERT_EQ(encodeMemcpy(&enc, payload.data(), n), 0);
    EXPECT_EQ(contents(enc), Bytes(1341, 'p'));
    const int32_t capacity = enc.capacity;
    heapFails = true;
    EXPECT_EQ(encodeSkip(&enc, encoderRemaining(&enc)), -1);
    Encoder none;
    EXPECT_EQ(encoderCreate(&none, 64), -1);
    heapFails = false;
    encoderFree(&none);
    EXPECT_EQ(contents(enc), Bytes(1341, 'p'));
    EXPECT_EQ(enc.capacity, capacity);
    for (unsigned n : {0x7fffff00u, 0xffffffffu}) {
        encoderReset(&enc);
        EXPECT_EQ(encodeSkip(&enc, n), -1) << n;
    }
    encoderFree(&enc);
}

TEST(Encoder, LengthSlotsHoldTheBytesWrittenSinceTheirStart) {
    unsigned char region[16] = {};
    Encoder enc;
    encoderWrap(&enc, region, 13);
    encodeLenBufStart(&enc), encodeSkip(&enc, 1);
    encodeLenBufStart(&enc), encodeMemcpy(&enc, "abc", 3);  // replaces the first slot
    ASSERT_EQ(encodeLenBufEnd(&enc), 0);
    // A start that does not fit leaves no slot to fill past the region's end.
    EXPECT_EQ(encodeLenBufStart(&enc) + encodeLenBufEnd(&enc), -2);
    EXPECT_EQ(Bytes(region, region + 16),
              (Bytes{0, 0, 0, 0, 0, 3, 0, 0, 0, 'a', 'b', 'c', 0, 0, 0, 0}));
}

std::string unescaped(JsonValue v) {
    std::string s(json_string_length(v) + 1, '\0');
    s.resize(json_string_copy(v, s.data(), s.size()));
    return s;
}

// Half the strings are random bytes, half pieces of UTF-8 (control characters, quote and
// backslash included) and of what strict UTF-8 forbids (overlong forms, a surrogate, a code
// point above U+10FFFF); never a NUL, which would end the C string.
std::string random_string(std::mt19937& rng) {
    // clang-format off
    const char* const kPieces[] = {"a", "\x01", "\t\n", "\x1f\"", "\\/<\x7f", "\xC3\xA9", "\xE2\x82\xAC",
                                   "\xF0\x9F\x98\x80", "\xF4\x8F\xBF\xBE", "\xE0\x80\xAF", "\xF0\x80\xBE\x99",
                                   "\xED\xA0\x80", "\xF4\x90\x80\x80"};
    // clang-format on
    std::string s;
    const size_t length = rng() % 40;
    const bool bytes = rng() % 2 == 0;
    while (s.size() < length)
        s += bytes ? std::string(1, 1 + rng() % 255) : kPieces[rng() % std::size(kPieces)];
    return s;
}

void writeDocument(Encoder* enc, const std::string& s, int n) {
    encodeJsonStart(enc);
    encodeJsonObjectStart(enc);
    encodeJsonNameStrValue(enc, "s", s.c_str());
    encodeJsonName(enc, "l");
    encodeJsonListStart(enc);
    encodeJsonFormatStrValue(enc, "%s", s.c_str());
    encodeJsonIntValue(enc, n);
    encodeJsonBoolValue(enc, n & 1);
    encodeJsonStrValue(enc, nullptr);
    encodeJsonObjectStart(enc);
    encodeJsonObjectEnd(enc);
    encodeJsonListEnd(enc);
    encodeJsonNameBoolValue(enc, "b", 1);
    encodeJsonNameIntValue(enc, "n", n);
    encodeJsonNameFormatStrValue(enc, "f", "%d", n);
    encodeJsonObjectEnd(enc);
}

// GLib's check is the strict one a peer's reader applies: no overlong form, no surrogate. A
// string reads back as written when it passes it and has no U+10FFFF, which our reader refuses.
bool strictUtf8(const std::string& s) {
    return g_utf8_validate(s.data(), static_cast<gssize>(s.size()), nullptr);
}

TEST(JsonWriter, AnyStringGivesValidJsonThatReadsBack) {
    std::mt19937 rng(20240611);
    for (int i = 0; i < 4000; ++i) {
        const std::string s = random_string(rng);
        const int n = i == 0 ? INT32_MIN : static_cast<int>(rng()) >> (rng() % 32);
        Encoder enc;
        ASSERT_EQ(encoderCreate(&enc, 0), 0);
        encodeAppend(&enc, "%s", "");  // JSON text takes the place of an open text's NUL
        writeDocument(&enc, s, n);
        ASSERT_EQ(encodeJsonEnd(&enc) + encodeJsonEnd(&enc), 0);  // one NUL, not two
        const std::string doc = std::string(reinterpret_cast<char*>(enc.data), enc.size);
        encoderFree(&enc);
        ASSERT_TRUE(json_validn(doc.data(), static_cast<int64_t>(doc.size()) - 1).valid) << doc;
        ASSERT_TRUE(strictUtf8(doc.substr(0, doc.size() - 1))) << testing::PrintToString(doc);
        const std::string back = unescaped(json_get(doc.c_str(), "s"));
        EXPECT_EQ(unescaped(json_get(doc.c_str(), "l.0")), back);
        const bool replaced = back.find("\xEF\xBF\xBD") != std::string::npos;
        EXPECT_TRUE(strictUtf8(s) && s.find("\xF4\x8F\xBF\xBF") == s.npos ? back == s : replaced)
            << testing::PrintToString(s);
        EXPECT_EQ(json_int(json_get(doc.c_str(), "n")), n);

        // A wrapped region either holds the same text or ends up failed, with nothing past it.
        std::vector<unsigned char> region(doc.size() + 8, '#');
        const int regionSize = static_cast<int>(rng() % (doc.size() + 2));
        encoderWrap(&enc, region.data(), regionSize);
        writeDocument(&enc, s, n);
        const int result = encodeJsonEnd(&enc);
        EXPECT_EQ(result, regionSize > static_cast<int>(doc.size()) ? 0 : -1) << regionSize;
        EXPECT_EQ(std::string(reinterpret_cast<char*>(enc.data), enc.size),
                  doc.substr(0, result == 0 ? doc.size() : enc.size));
        EXPECT_EQ(region[regionSize], '#') << regionSize;
    }
}

}  // namespace
