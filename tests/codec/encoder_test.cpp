#include "codec/encoder.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <functional>
#include <limits>
#include <string>
#include <vector>

#include "tests/codec/alloc_failure.h"

namespace {

using Bytes = std::vector<unsigned char>;

Bytes contents(const Encoder& enc) {
    return Bytes(enc.data, enc.data + enc.size);
}

std::string text(const Encoder& enc) {
    return std::string(reinterpret_cast<const char*>(enc.data), enc.size);
}

// A created encoder released at the end of the test.
struct CreatedEncoder : Encoder {
    explicit CreatedEncoder(int initialSize) { EXPECT_EQ(encoderCreate(this, initialSize), 0); }
    ~CreatedEncoder() { encoderFree(this); }
};

TEST(EncoderCreate, CapacityAndGrowthAreTheInitialSizeButAtLeast64) {
    struct Case {
        int initialSize;
        int32_t expected;
    };
    for (Case c : {Case{-5, 64}, {0, 64}, {1, 64}, {63, 64}, {64, 64}, {65, 65}, {1000, 1000}}) {
        CreatedEncoder enc(c.initialSize);
        EXPECT_EQ(enc.capacity, c.expected) << c.initialSize;
        EXPECT_EQ(enc.growth, c.expected) << c.initialSize;
        EXPECT_EQ(enc.size, 0);
        EXPECT_EQ(enc.wrapped, 0);
        EXPECT_EQ(enc.failed, 0);
        EXPECT_EQ(enc.lenSlot, -1);
        EXPECT_EQ(encoderRemaining(&enc), c.expected);
    }
}

// Each step writes n bytes; the capacity after it follows capacity + growth + n whenever
// size + n reaches the capacity, and never doubles.
TEST(EncoderGrowth, IsLinearAndTriggeredWhenSizePlusNReachesCapacity) {
    struct Step {
        unsigned n;
        int32_t capacityAfter;
    };
    struct Case {
        const char* what;
        int initialSize;
        std::vector<Step> steps;
    };
    const Case cases[] = {
        {"63 bytes fit a 64-byte block", 64, {{63, 64}}},
        {"the 64th byte grows by growth + 1", 64, {{63, 64}, {1, 129}}},
        {"a write that exactly fills grows", 64, {{64, 192}}},
        {"growth adds the request too", 64, {{10, 64}, {100, 228}}},
        {"repeated growth stays linear", 64, {{63, 64}, {1, 129}, {64, 129}, {1, 194}}},
        {"growth uses the initial size", 100, {{99, 100}, {300, 500}}},
        {"empty writes never grow", 64, {{63, 64}, {0, 64}}},
    };
    for (const Case& c : cases) {
        CreatedEncoder enc(c.initialSize);
        std::vector<unsigned char> payload(1000, 0xab);
        int32_t expectedSize = 0;
        for (const Step& step : c.steps) {
            ASSERT_EQ(encodeMemcpy(&enc, payload.data(), step.n), 0) << c.what;
            expectedSize += static_cast<int32_t>(step.n);
            EXPECT_EQ(enc.capacity, step.capacityAfter) << c.what;
            EXPECT_EQ(enc.size, expectedSize) << c.what;
            EXPECT_LT(enc.size, enc.capacity) << c.what;
        }
        EXPECT_EQ(contents(enc), Bytes(expectedSize, 0xab)) << c.what;
    }
}

TEST(EncoderWrapped, RegionOfNBytesHoldsAtMostNMinus1) {
    struct Case {
        int regionSize;
        std::vector<unsigned> writes;
        std::vector<int> results;
        int32_t sizeAfter;
    };
    const Case cases[] = {
        {16, {15, 1}, {0, -1}, 15},
        {16, {15, 0, 1}, {0, 0, -1}, 15},
        {16, {16}, {-1}, 0},
        {16, {8, 8, 7}, {0, -1, -1}, 8},  // sticky: the 7 bytes would have fitted
        {1, {0, 1}, {0, -1}, 0},
        {0, {0}, {-1}, 0},
    };
    for (const Case& c : cases) {
        unsigned char region[32] = {};
        Encoder enc;
        encoderWrap(&enc, region, c.regionSize);
        unsigned char payload[32];
        std::memset(payload, 'x', sizeof payload);
        for (size_t i = 0; i < c.writes.size(); i++) {
            EXPECT_EQ(encodeMemcpy(&enc, payload, c.writes[i]), c.results[i])
                << c.regionSize << " write " << i;
        }
        EXPECT_EQ(enc.size, c.sizeAfter) << c.regionSize;
        EXPECT_EQ(enc.capacity, c.regionSize) << "a wrapped region never grows";
        EXPECT_EQ(region[c.sizeAfter], 0) << "nothing written past the content";
    }
}

TEST(EncoderReset, MakesAFullWrappedRegionWritableFromTheStart) {
    unsigned char region[8];
    Encoder enc;
    encoderWrap(&enc, region, sizeof region);
    ASSERT_EQ(encodeMemcpy(&enc, "abcdefg", 7), 0);
    ASSERT_EQ(encodeChar(&enc, 'h'), -1);
    encoderReset(&enc);
    EXPECT_EQ(encoderFailed(&enc), 0);
    EXPECT_EQ(encodeChar(&enc, 'z'), 0);
    EXPECT_EQ(text(enc), "z");
    EXPECT_EQ(enc.data, region);
    EXPECT_EQ(enc.capacity, 8);
}

// Every write operation, used to show that a failed encoder refuses all of them.
const std::vector<std::pair<const char*, std::function<int(Encoder*)>>>& everyWrite() {
    static const std::vector<std::pair<const char*, std::function<int(Encoder*)>>> writes = {
        {"char", [](Encoder* e) { return encodeChar(e, 'c'); }},
        {"bool", [](Encoder* e) { return encodeBool(e, 1); }},
        {"int8", [](Encoder* e) { return encodeInt8(e, -1); }},
        {"uint8", [](Encoder* e) { return encodeUint8(e, 1); }},
        {"int16", [](Encoder* e) { return encodeInt16(e, 1); }},
        {"uint16", [](Encoder* e) { return encodeUint16(e, 1); }},
        {"int32", [](Encoder* e) { return encodeInt32(e, 1); }},
        {"uint32", [](Encoder* e) { return encodeUint32(e, 1); }},
        {"int64", [](Encoder* e) { return encodeInt64(e, 1); }},
        {"uint64", [](Encoder* e) { return encodeUint64(e, 1); }},
        {"float", [](Encoder* e) { return encodeFloat(e, 1.5f); }},
        {"double", [](Encoder* e) { return encodeDouble(e, 1.5); }},
        {"strcpy", [](Encoder* e) { return encodeStrcpy(e, ""); }},
        {"memcpy", [](Encoder* e) { return encodeMemcpy(e, "", 0); }},
        {"printf", [](Encoder* e) { return encodePrintf(e, "%d", 1); }},
        {"append", [](Encoder* e) { return encodeAppend(e, "x"); }},
        {"skip", [](Encoder* e) { return encodeSkip(e, 0); }},
        {"resize", [](Encoder* e) { return encoderResize(e, 0); }},
        {"length slot", [](Encoder* e) { return encodeLenBufStart(e); }},
    };
    return writes;
}

TEST(EncoderFailed, IsStickyForEveryWriteOfAnySizeUntilReset) {
    for (const auto& [name, write] : everyWrite()) {
        CreatedEncoder enc(64);
        ASSERT_EQ(encodeStrcpy(&enc, "kept"), 0);
        ASSERT_EQ(encodeLenBufEnd(&enc), -1);  // no slot open: fails the encoder
        EXPECT_EQ(write(&enc), -1) << name;
        EXPECT_EQ(text(enc), std::string("kept", 5)) << name;
        EXPECT_EQ(enc.capacity, 64) << name;
        encoderReset(&enc);
        EXPECT_EQ(write(&enc), 0) << name << " after reset";
    }
}

// Any write between two appends ends the first appended text.
TEST(EncoderAppend, IsEndedByEveryOtherWrite) {
    for (const auto& [name, write] : everyWrite()) {
        if (std::string(name) == "append") continue;
        CreatedEncoder enc(64);
        ASSERT_EQ(encodeAppend(&enc, "ab"), 0);
        ASSERT_EQ(write(&enc), 0) << name;
        int32_t afterWrite = enc.size;
        ASSERT_EQ(encodeAppend(&enc, "cd"), 0) << name;
        EXPECT_EQ(enc.size, afterWrite + 3) << name;
        EXPECT_EQ(std::string(reinterpret_cast<char*>(enc.data), 3), std::string("ab", 3)) << name;
    }
}

TEST(EncoderAppend, ContinuesTheOpenTextInPlaceOfItsNul) {
    CreatedEncoder enc(64);
    ASSERT_EQ(encodeAppend(&enc, "%s", "ab"), 0);
    ASSERT_EQ(encodeAppend(&enc, "%c%c", 'c', 'd'), 0);
    EXPECT_EQ(text(enc), std::string("abcd", 5));
    EXPECT_EQ(enc.appendOpen, 1);

    encodeAppendDone(&enc);
    ASSERT_EQ(encodeAppend(&enc, "ef"), 0);
    EXPECT_EQ(text(enc), std::string("abcd\0ef", 8));
}

TEST(EncoderPrintf, HasNoLengthLimitAndCountsTheNul) {
    CreatedEncoder enc(64);
    std::string longText(1000, 'q');
    ASSERT_EQ(encodeChar(&enc, '>'), 0);
    ASSERT_EQ(encodePrintf(&enc, "%s:%d", longText.c_str(), -7), 0);
    EXPECT_EQ(text(enc), ">" + longText + ":-7" + std::string(1, '\0'));
    EXPECT_EQ(enc.capacity, 64 + 64 + 1004);
}

TEST(EncoderPrintf, AppendThatDoesNotFitLeavesThePreviousTextUnterminatedInSize) {
    unsigned char region[6];
    Encoder enc;
    encoderWrap(&enc, region, sizeof region);
    ASSERT_EQ(encodeAppend(&enc, "ab"), 0);
    EXPECT_EQ(encodeAppend(&enc, "cdef"), -1);
    // The NUL was taken back before the room check; the bytes stay, size no longer counts it.
    EXPECT_EQ(enc.size, 2);
    EXPECT_EQ(enc.appendOpen, 0);
}

TEST(EncoderByteOrder, IntegersFollowItFloatsStayInHostOrder) {
    struct Case {
        const char* what;
        int32_t byteOrder;
        std::function<int(Encoder*)> write;
        Bytes expected;
    };
    const Case cases[] = {
        {"int16", 0, [](Encoder* e) { return encodeInt16(e, 0x1234); }, {0x34, 0x12}},
        {"int16", 1, [](Encoder* e) { return encodeInt16(e, 0x1234); }, {0x12, 0x34}},
        {"uint16", 0, [](Encoder* e) { return encodeUint16(e, 0xfffe); }, {0xfe, 0xff}},
        {"int32 1", 0, [](Encoder* e) { return encodeInt32(e, 1); }, {1, 0, 0, 0}},
        {"int32 1", 1, [](Encoder* e) { return encodeInt32(e, 1); }, {0, 0, 0, 1}},
        {"int32 -2", 0, [](Encoder* e) { return encodeInt32(e, -2); }, {0xfe, 0xff, 0xff, 0xff}},
        {"uint32", 7, [](Encoder* e) { return encodeUint32(e, 0x01020304); }, {1, 2, 3, 4}},
        {"int64",
         0,
         [](Encoder* e) { return encodeInt64(e, 0x0102030405060708); },
         {8, 7, 6, 5, 4, 3, 2, 1}},
        {"uint64",
         -1,
         [](Encoder* e) { return encodeUint64(e, 0x0102030405060708); },
         {1, 2, 3, 4, 5, 6, 7, 8}},
        {"bool 5", 1, [](Encoder* e) { return encodeBool(e, 5); }, {1}},
        {"bool 0", 0, [](Encoder* e) { return encodeBool(e, 0); }, {0}},
        {"int8", 1, [](Encoder* e) { return encodeInt8(e, -128); }, {0x80}},
        {"float", 1, [](Encoder* e) { return encodeFloat(e, 1.0f); }, {0, 0, 0x80, 0x3f}},
        {"double",
         1,
         [](Encoder* e) { return encodeDouble(e, 1.0); },
         {0, 0, 0, 0, 0, 0, 0xf0, 0x3f}},
    };
    for (const Case& c : cases) {
        unsigned char region[16];
        Encoder enc;
        encoderWrap(&enc, region, sizeof region);
        EXPECT_EQ(enc.byteOrder, 0) << "this platform is little-endian";
        enc.byteOrder = c.byteOrder;
        ASSERT_EQ(c.write(&enc), 0) << c.what;
        EXPECT_EQ(contents(enc), c.expected) << c.what << " byteOrder " << c.byteOrder;
    }
}

TEST(EncoderRoundTrip, EveryValueReadsBackInBothByteOrders) {
    for (int32_t byteOrder : {0, 1}) {
        CreatedEncoder enc(64);
        enc.byteOrder = byteOrder;
        const int64_t int64s[] = {0, -1, std::numeric_limits<int64_t>::min(),
                                  std::numeric_limits<int64_t>::max(), 0x0102030405060708};
        for (int64_t v : int64s) ASSERT_EQ(encodeInt64(&enc, v), 0);
        ASSERT_EQ(encodeUint64(&enc, std::numeric_limits<uint64_t>::max() - 1), 0);
        ASSERT_EQ(encodeInt32(&enc, std::numeric_limits<int32_t>::min()), 0);
        ASSERT_EQ(encodeUint32(&enc, 0xdeadbeef), 0);
        ASSERT_EQ(encodeInt16(&enc, -12345), 0);
        ASSERT_EQ(encodeUint16(&enc, 0xbeef), 0);
        ASSERT_EQ(encodeInt8(&enc, -7), 0);
        ASSERT_EQ(encodeUint8(&enc, 200), 0);
        ASSERT_EQ(encodeChar(&enc, 'q'), 0);
        ASSERT_EQ(encodeBool(&enc, 42), 0);
        ASSERT_EQ(encodeFloat(&enc, -0.1f), 0);
        ASSERT_EQ(encodeDouble(&enc, 1e300), 0);
        ASSERT_EQ(encodeFloat(&enc, std::nanf("")), 0);
        ASSERT_EQ(encodeStrcpy(&enc, "wlan0"), 0);

        Decoder dec;
        decoderWrap(&dec, enc.data, enc.size);
        dec.byteOrder = byteOrder;
        for (int64_t v : int64s) EXPECT_EQ(decodeInt64(&dec), v) << byteOrder;
        EXPECT_EQ(decodeUint64(&dec), std::numeric_limits<uint64_t>::max() - 1);
        EXPECT_EQ(decodeInt32(&dec), std::numeric_limits<int32_t>::min());
        EXPECT_EQ(decodeUint32(&dec), 0xdeadbeefu);
        EXPECT_EQ(decodeInt16(&dec), -12345);
        EXPECT_EQ(decodeUint16(&dec), 0xbeef);
        EXPECT_EQ(decodeInt8(&dec), -7);
        EXPECT_EQ(decodeUint8(&dec), 200);
        EXPECT_EQ(decodeChar(&dec), 'q');
        EXPECT_EQ(decodeBool(&dec), 1);
        EXPECT_EQ(decodeFloat(&dec), -0.1f);
        EXPECT_EQ(decodeDouble(&dec), 1e300);
        EXPECT_TRUE(std::isnan(decodeFloat(&dec)));
        EXPECT_STREQ(decodeCString(&dec), "wlan0");
        EXPECT_EQ(decoderRemaining(&dec), 0);
    }
}

TEST(EncoderLengthSlot, HoldsTheBytesWrittenSinceItOpened) {
    CreatedEncoder enc(64);
    ASSERT_EQ(encodeChar(&enc, 'h'), 0);
    ASSERT_EQ(encodeLenBufStart(&enc), 0);
    ASSERT_EQ(encodeMemcpy(&enc, "0123456789", 10), 0);
    ASSERT_EQ(encodeLenBufEnd(&enc), 0);
    EXPECT_EQ(enc.size, 15);
    EXPECT_EQ(Bytes(enc.data, enc.data + 5), (Bytes{'h', 10, 0, 0, 0}));

    // The slot stays open: a later end writes the then current length into it.
    ASSERT_EQ(encodeMemcpy(&enc, "ab", 2), 0);
    ASSERT_EQ(encodeLenBufEnd(&enc), 0);
    EXPECT_EQ(enc.data[1], 12);
}

TEST(EncoderLengthSlot, ASecondStartReplacesTheFirst) {
    CreatedEncoder enc(64);
    ASSERT_EQ(encodeLenBufStart(&enc), 0);
    ASSERT_EQ(encodeChar(&enc, 'x'), 0);
    ASSERT_EQ(encodeLenBufStart(&enc), 0);
    ASSERT_EQ(encodeMemcpy(&enc, "abc", 3), 0);
    ASSERT_EQ(encodeLenBufEnd(&enc), 0);
    EXPECT_EQ(contents(enc), (Bytes{0, 0, 0, 0, 'x', 3, 0, 0, 0, 'a', 'b', 'c'}));
}

TEST(EncoderLengthSlot, EndWithoutAnOpenSlotFailsTheEncoder) {
    struct Case {
        const char* what;
        std::function<void(Encoder*)> before;
    };
    const Case cases[] = {
        {"never opened", [](Encoder*) {}},
        {"closed by reset",
         [](Encoder* e) {
             encodeLenBufStart(e);
             encoderReset(e);
         }},
        // The slot of a start that did not fit would lie past the region's end.
        {"start did not fit",
         [](Encoder* e) {
             encodeMemcpy(e, "0123456789", 10);
             encodeLenBufStart(e);
         }},
    };
    for (const Case& c : cases) {
        unsigned char region[16] = {};
        Encoder enc;
        encoderWrap(&enc, region, 12);
        c.before(&enc);
        int32_t size = enc.size;
        EXPECT_EQ(encodeLenBufEnd(&enc), -1) << c.what;
        EXPECT_EQ(encoderFailed(&enc), -1) << c.what;
        EXPECT_EQ(enc.size, size) << c.what;
        EXPECT_EQ(Bytes(region + 12, region + 16), Bytes(4, 0)) << c.what;
    }
}

// When growth fails the encoder keeps its old block: content and capacity stay as they were,
// a reset makes it usable again, and encoderFree releases that block (leak-checked builds
// would report it otherwise).
TEST(EncoderGrowthFailure, KeepsTheOldBlockSoFreeStillReleasesIt) {
    CreatedEncoder enc(64);
    ASSERT_EQ(encodeStrcpy(&enc, "before"), 0);
    unsigned char* block = enc.data;
    const std::string payload(100, 'x');
    {
        HeapFailure heap;
        EXPECT_EQ(encodeMemcpy(&enc, payload.data(), 100), -1);
    }
    EXPECT_EQ(encoderFailed(&enc), -1);
    EXPECT_EQ(enc.data, block);
    EXPECT_EQ(enc.capacity, 64);
    EXPECT_EQ(text(enc), std::string("before", 7));
    EXPECT_EQ(encodeChar(&enc, 'x'), -1) << "sticky after a failed growth";

    encoderReset(&enc);
    ASSERT_EQ(encodeMemcpy(&enc, payload.data(), 100), 0);
    EXPECT_EQ(enc.capacity, 64 + 64 + 100);
}

TEST(EncoderGrowthFailure, CapacityBeyondSigned32BitIsRefused) {
    CreatedEncoder enc(64);
    ASSERT_EQ(encodeChar(&enc, 'a'), 0);
    EXPECT_EQ(encodeSkip(&enc, 0x7fffffc0u), -1);
    EXPECT_EQ(enc.capacity, 64);
    EXPECT_EQ(enc.size, 1);
    encoderReset(&enc);
    EXPECT_EQ(encodeSkip(&enc, 0xffffffffu), -1) << "never taken as a negative count";
    EXPECT_EQ(enc.size, 0);
    encoderReset(&enc);
    EXPECT_EQ(encoderResize(&enc, -1), -1);
}

TEST(EncoderCreate, FailsWhenTheHeapHasNoBlock) {
    Encoder enc;
    {
        HeapFailure heap;
        EXPECT_EQ(encoderCreate(&enc, 64), -1);
    }
    EXPECT_EQ(encodeChar(&enc, 'a'), -1);
    encoderFree(&enc);
}

TEST(DecoderCString, ReturnsTextsInPlaceAndNullWhenUnterminated) {
    const char region[] = {'a', 'b', 0, 'c', 'd'};
    Decoder dec;
    decoderWrap(&dec, region, sizeof region);
    EXPECT_EQ(decodeCString(&dec), region);
    EXPECT_EQ(dec.cursor, 3);
    EXPECT_EQ(decodeCString(&dec), nullptr);
    EXPECT_EQ(dec.cursor, 3);
    EXPECT_EQ(decodePtr(&dec), reinterpret_cast<const unsigned char*>(region + 3));

    decodeSkip(&dec, 2);
    EXPECT_EQ(decoderRemaining(&dec), 0);
    EXPECT_EQ(decodeCString(&dec), nullptr) << "nothing left";
    decodeSkip(&dec, 1);
    EXPECT_EQ(decodeCString(&dec), nullptr) << "cursor past the end";
}

}  // namespace
