// The frame reader that the bus server's and the control clients' bytes reach first. Input: a
// rule byte, a byte that picks the chunk sizes, then the stream. Whatever the bytes and however
// they are cut, the reader hands out the same frames (the stream cut at every byte or fed at
// once), each within the payload limit and followed by its NUL, and holds no more than one
// frame and one chunk.
#include <algorithm>
#include <cstdint>
#include <vector>

#include "bus/trel_peer.h"

namespace {

constexpr uint32_t kMaxPayload = 300;  // small, so that over-long frames are common

void check(bool ok) {
    if (!ok) __builtin_trap();
}

struct Frame {
    uint16_t word;
    std::vector<unsigned char> payload;
    bool operator==(const Frame&) const = default;
};

// Every frame of the stream fed in chunks of the given sizes (cycled); stops at a bad stream.
std::vector<Frame> framesOf(const uint8_t* data, size_t size, TrelFrameReader::Rule rule,
                            const std::vector<size_t>& chunks, bool* bad) {
    TrelFrameReader reader(kMaxPayload, 0, rule);
    std::vector<Frame> frames;
    *bad = false;
    size_t at = 0;
    for (size_t turn = 0; at < size && !*bad; ++turn) {
        size_t n = std::min(chunks[turn % chunks.size()], size - at);
        check(reader.feed(data + at, n, static_cast<int64_t>(turn)));
        at += n;
        TrelFrameHeader header{};
        const unsigned char* payload = nullptr;
        int found;
        while ((found = reader.next(&header, &payload)) == 1) {
            check(header.length <= kMaxPayload && payload[header.length] == '\0');
            check(trelMagicValid(header.magic));
            frames.push_back(Frame{header.word, {payload, payload + header.length}});
        }
        *bad = found < 0;
    }
    const char* why = nullptr;
    reader.takeDiscarded(&why);
    check(why != nullptr);
    return frames;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 2) return 0;
    auto rule = data[0] & 1 ? TrelFrameReader::Rule::Strict : TrelFrameReader::Rule::Resync;
    std::vector<size_t> chunks{1u + data[1] % 7, 1u + data[1] / 7 % 13, 4096};
    data += 2;
    size -= 2;
    bool badWhole = false, badBytewise = false, badChunked = false;
    std::vector<Frame> whole = framesOf(data, size, rule, {size > 0 ? size : 1}, &badWhole);
    std::vector<Frame> bytewise = framesOf(data, size, rule, {1}, &badBytewise);
    std::vector<Frame> chunked = framesOf(data, size, rule, chunks, &badChunked);
    check(whole == bytewise && whole == chunked);
    check(badWhole == badBytewise && badWhole == badChunked);
    return 0;
}
