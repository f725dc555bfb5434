#include "codec/encoder.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "tests/codec/alloc_failure.h"

namespace {

using Bytes = std::vector<unsigned char>;
using Write = std::function<int(Encoder*)>;

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

// Each step writes n bytes; capacity becomes capacity + growth + n whenever size + n reaches it.
TEST(EncoderGrowth, IsLinearFromTheInitialSizeButAtLeast64) {
    const struct {
        const char* what;
        int initialSize;
        std::vector<std::pair<unsigned, int32_t>> steps;  // n, capacity after
    } cases[] = {
        {"a small or negative size gives 64", -5, {{0, 64}, {63, 64}}},
        {"the 64th byte grows by growth + 1", 0, {{63, 64}, {1, 129}}},
        {"a write that exactly fills grows", 64, {{64, 192}}},
        {"growth adds the request too", 64, {{10, 64}, {100, 228}}},
        {"repeated growth stays linear", 64, {{63, 64}, {1, 129}, {64, 129}, {1, 194}}},
        {"growth is the initial size", 100, {{99, 100}, {300, 500}}},
        {"sizes above 64 are kept", 65, {{0, 65}, {65, 195}}},
    };
    const Bytes payload(1000, 0xab);
    for (const auto& c : cases) {
        CreatedEncoder enc(c.initialSize);
        int32_t size = 0;
        for (const auto& [n, capacity] : c.steps) {
            ASSERT_EQ(encodeMemcpy(&enc, payload.data(), n), 0) << c.what;
            size += static_cast<int32_t>(n);
            EXPECT_EQ(enc.capacity, capacity) << c.what;
            EXPECT_EQ(encoderRemaining(&enc), capacity - size) << c.what;
        }
        EXPECT_EQ(contents(enc), Bytes(size, 0xab)) << c.what;
    }
}

TEST(EncoderWrapped, RegionOfNBytesHoldsAtMostNMinus1AndFailureIsSticky) {
    const struct {
        int regionSize;
        std::vector<unsigned> writes;
        std::vector<int> results;
        int32_t sizeAfter;
    } cases[] = {
        {16, {15, 0, 1}, {0, 0, -1}, 15}, {16, {16}, {-1}, 0},
        {16, {8, 8, 7}, {0, -1, -1}, 8},  // the 7 bytes would have fitted
        {1, {0, 1}, {0, -1}, 0},          {0, {0}, {-1}, 0},
    };
    for (const auto& c : cases) {
        unsigned char region[32] = {};
        const Bytes payload(32, 'x');
        Encoder enc;
        encoderWrap(&enc, region, c.regionSize);
        for (size_t i = 0; i < c.writes.size(); i++) {
            EXPECT_EQ(encodeMemcpy(&enc, payload.data(), c.writes[i]), c.results[i])
                << c.regionSize << " write " << i;
        }
        EXPECT_EQ(enc.size, c.sizeAfter) << c.regionSize;
        EXPECT_EQ(enc.capacity, c.regionSize) << "a wrapped region never grows";
        EXPECT_EQ(region[c.regionSize], 0) << "nothing written past the region";
    }
}

const std::pair<const char*, Write> kEveryWrite[] = {
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

TEST(EncoderFailed, RefusesEveryWriteOfAnySizeUntilReset) {
    for (const auto& [name, write] : kEveryWrite) {
        CreatedEncoder enc(64);
        ASSERT_EQ(encodeStrcpy(&enc, "kept"), 0);
        ASSERT_EQ(encodeLenBufEnd(&enc), -1);  // no slot open: fails the encoder
        EXPECT_EQ(write(&enc), -1) << name;
        EXPECT_EQ(text(enc), std::string("kept", 5)) << name;
        encoderReset(&enc);
        EXPECT_EQ(write(&enc), 0) << name << " after reset";
    }
}

TEST(EncoderAppend, ContinuesTheOpenTextUntilDoneOrAnyOtherWrite) {
    for (const auto& [name, write] : kEveryWrite) {
        CreatedEncoder enc(64);
        ASSERT_EQ(encodeAppend(&enc, "%s", "ab"), 0);
        ASSERT_EQ(encodeAppend(&enc, "%c", 'c'), 0);
        ASSERT_EQ(write(&enc), 0) << name;
        int32_t size = enc.size;
        ASSERT_EQ(encodeAppend(&enc, "d"), 0) << name;
        EXPECT_EQ(text(enc).substr(0, 3), "abc") << name;
        EXPECT_EQ(enc.size, size + (std::string(name) == "append" ? 1 : 2)) << name;
    }
    CreatedEncoder enc(64);
    encodeAppend(&enc, "ab");
    encodeAppendDone(&enc);
    ASSERT_EQ(encodePrintf(&enc, "%s:%d", std::string(1000, 'q').c_str(), -7), 0);
    EXPECT_EQ(text(enc), std::string("ab\0", 3) + std::string(1000, 'q') + ":-7" + '\0');
}

struct OrderCase {
    int32_t byteOrder;
    Write write;
    Bytes bytes;
    std::function<bool(Decoder*)> readsBack;
};

template <typename T>
OrderCase row(int32_t byteOrder, int (*write)(Encoder*, T), T (*read)(Decoder*), T value,
              Bytes bytes) {
    return {byteOrder, [=](Encoder* e) { return write(e, value); }, bytes,
            [=](Decoder* d) { return read(d) == value; }};
}

TEST(EncoderByteOrder, IntegersFollowItFloatsStayInHostOrderAndDecodingMirrorsIt) {
    const OrderCase cases[] = {
        row<int16_t>(0, encodeInt16, decodeInt16, 0x1234, {0x34, 0x12}),
        row<uint16_t>(1, encodeUint16, decodeUint16, 0x1234, {0x12, 0x34}),
        row<int32_t>(0, encodeInt32, decodeInt32, -2, {0xfe, 0xff, 0xff, 0xff}),
        row<int32_t>(1, encodeInt32, decodeInt32, 1, {0, 0, 0, 1}),
        row<uint32_t>(7, encodeUint32, decodeUint32, 0x01020304, {1, 2, 3, 4}),
        row<int64_t>(0, encodeInt64, decodeInt64, 0x0102030405060708, {8, 7, 6, 5, 4, 3, 2, 1}),
        row<uint64_t>(-1, encodeUint64, decodeUint64, 0x0102030405060708, {1, 2, 3, 4, 5, 6, 7, 8}),
        row<int8_t>(1, encodeInt8, decodeInt8, -128, {0x80}),
        row<uint8_t>(1, encodeUint8, decodeUint8, 200, {200}),
        row<char>(1, encodeChar, decodeChar, 'q', {'q'}),
        row<float>(1, encodeFloat, decodeFloat, 1.0f, {0, 0, 0x80, 0x3f}),
        row<double>(1, encodeDouble, decodeDouble, 1.0, {0, 0, 0, 0, 0, 0, 0xf0, 0x3f}),
        {1,
         [](Encoder* e) { return encodeBool(e, 5); },
         {1},
         [](Decoder* d) { return decodeBool(d) == 1; }},
        {0,
         [](Encoder* e) { return encodeUint8(e, 42); },
         {42},
         [](Decoder* d) { return decodeBool(d) == 1; }},
    };
    for (size_t i = 0; i < std::size(cases); i++) {
        const OrderCase& c = cases[i];
        unsigned char region[16];
        Encoder enc;
        encoderWrap(&enc, region, sizeof region);
        EXPECT_EQ(enc.byteOrder, 0) << "this platform is little-endian";
        enc.byteOrder = c.byteOrder;
        ASSERT_EQ(c.write(&enc), 0);
        EXPECT_EQ(contents(enc), c.bytes) << "row " << i;
        Decoder dec;
        decoderWrap(&dec, region, enc.size);
        dec.byteOrder = c.byteOrder;
        EXPECT_TRUE(c.readsBack(&dec)) << "row " << i;
        EXPECT_EQ(decoderRemaining(&dec), 0) << "row " << i;
    }
}

TEST(DecoderCString, ReturnsTextsInPlaceAndNullWhenUnterminated) {
    const char region[] = {'a', 'b', 0, 'c', 'd'};
    Decoder dec;
    decoderWrap(&dec, region, sizeof region);
    EXPECT_EQ(decodeCString(&dec), region);
    EXPECT_EQ(decodeCString(&dec), nullptr);
    EXPECT_EQ(decodePtr(&dec), reinterpret_cast<const unsigned char*>(region + 3));
    decodeSkip(&dec, 2);
    EXPECT_EQ(decodeCString(&dec), nullptr) << "nothing left";
    decodeSkip(&dec, 1);
    EXPECT_EQ(decodeCString(&dec), nullptr) << "cursor past the end";
}

TEST(EncoderLengthSlot, HoldsTheBytesWrittenSinceTheLastStartAtEachEnd) {
    CreatedEncoder enc(64);
    ASSERT_EQ(encodeLenBufStart(&enc), 0);
    ASSERT_EQ(encodeChar(&enc, 'x'), 0);
    ASSERT_EQ(encodeLenBufStart(&enc), 0);  // replaces the first slot
    ASSERT_EQ(encodeMemcpy(&enc, "abc", 3), 0);
    ASSERT_EQ(encodeLenBufEnd(&enc), 0);
    EXPECT_EQ(contents(enc), (Bytes{0, 0, 0, 0, 'x', 3, 0, 0, 0, 'a', 'b', 'c'}));
    ASSERT_EQ(encodeMemcpy(&enc, "de", 2), 0);
    ASSERT_EQ(encodeLenBufEnd(&enc), 0);  // the slot stays open
    EXPECT_EQ(enc.data[5], 5);
}

TEST(EncoderLengthSlot, EndWithoutAnOpenSlotFailsTheEncoder) {
    const std::pair<const char*, std::function<void(Encoder*)>> cases[] = {
        {"never opened", [](Encoder*) {}},
        {"closed by reset", [](Encoder* e) { encodeLenBufStart(e), encoderReset(e); }},
        // The slot of a start that did not fit would lie past the region's end.
        {"start did not fit", [](Encoder* e) { encodeSkip(e, 10), encodeLenBufStart(e); }},
    };
    for (const auto& [what, before] : cases) {
        unsigned char region[16] = {};
        Encoder enc;
        encoderWrap(&enc, region, 12);
        before(&enc);
        int32_t size = enc.size;
        EXPECT_EQ(encodeLenBufEnd(&enc), -1) << what;
        EXPECT_EQ(encoderFailed(&enc), -1) << what;
        EXPECT_EQ(enc.size, size) << what;
        EXPECT_EQ(Bytes(region + 12, region + 16), Bytes(4, 0)) << what;
    }
}

// A failed growth keeps the old block, so content and capacity stay, a reset makes the encoder
// usable again, and encoderFree releases the block (leak-checked builds would report it).
TEST(EncoderGrowthFailure, KeepsTheOldBlockAndRefusesCapacitiesPast32Bits) {
    CreatedEncoder enc(64);
    ASSERT_EQ(encodeStrcpy(&enc, "before"), 0);
    unsigned char* block = enc.data;
    const std::string payload(100, 'x');
    {
        HeapFailure heap;
        EXPECT_EQ(encodeMemcpy(&enc, payload.data(), 100), -1);
        Encoder none;
        EXPECT_EQ(encoderCreate(&none, 64), -1);
        EXPECT_EQ(encodeChar(&none, 'a'), -1);
        encoderFree(&none);
    }
    EXPECT_EQ(enc.data, block);
    EXPECT_EQ(enc.capacity, 64);
    EXPECT_EQ(text(enc), std::string("before", 7));
    EXPECT_EQ(encodeChar(&enc, 'x'), -1) << "sticky after a failed growth";
    encoderReset(&enc);
    ASSERT_EQ(encodeMemcpy(&enc, payload.data(), 100), 0);
    EXPECT_EQ(enc.capacity, 64 + 64 + 100);

    EXPECT_EQ(encodeSkip(&enc, 0x7fffff00u), -1);
    encoderReset(&enc);
    EXPECT_EQ(encodeSkip(&enc, 0xffffffffu), -1) << "never taken as a negative count";
    EXPECT_EQ(enc.capacity, 228);
}

}  // namespace
