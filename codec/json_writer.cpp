#include "codec/json_writer.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "codec/write_step.h"

namespace {

// The letter that follows the backslash for the seven bytes JSON text must escape; 0 for every
// byte that is copied unchanged.
constexpr auto kEscapeLetters = [] {
    struct Table {
        unsigned char letter[256] = {};
    } table;
    table.letter['"'] = '"';
    table.letter['\\'] = '\\';
    table.letter['\b'] = 'b';
    table.letter['\t'] = 't';
    table.letter['\n'] = 'n';
    table.letter['\f'] = 'f';
    table.letter['\r'] = 'r';
    return table;
}();

constexpr char kDigitPairs[] =
    "00010203040506070809101112131415161718192021222324252627282930313233343536373839"
    "40414243444546474849505152535455565758596061626364656667686970717273747576777879"
    "8081828384858687888990919293949596979899";

void writeComma(Encoder* enc) {
    if (!enc->jsonFirst) encoderWriteByte(enc, ',');
}

// Copies text and its NUL but counts only the text, so the next write overwrites the NUL.
int writeTerminatedText(Encoder* enc, const char* text, int64_t length) {
    if (encoderMakeRoom(enc, length + 1) != 0) return -1;
    std::memcpy(enc->data + enc->size, text, static_cast<size_t>(length) + 1);
    enc->size += static_cast<int32_t>(length);
    return 0;
}

// The "%d" text of value, written backwards so that it ends just before end.
char* formatInt(int value, char* end) {
    uint32_t magnitude = value < 0 ? 0u - static_cast<uint32_t>(value) : value;
    char* p = end;
    while (magnitude >= 100) {
        p -= 2;
        std::memcpy(p, kDigitPairs + (magnitude % 100) * 2, 2);
        magnitude /= 100;
    }
    if (magnitude >= 10) {
        p -= 2;
        std::memcpy(p, kDigitPairs + magnitude * 2, 2);
    } else {
        *--p = static_cast<char>('0' + magnitude);
    }
    if (value < 0) *--p = '-';
    return p;
}

constexpr uint64_t kOnes = 0x0101010101010101ull;
constexpr uint64_t kHighs = 0x8080808080808080ull;

// Whether any of the 8 bytes is a quote, a backslash or below 0x0e. Every byte that needs an
// escape is among these, so a word without any is copied whole.
inline bool mayNeedEscape(uint64_t word) {
    uint64_t quote = word ^ (kOnes * '"');
    uint64_t backslash = word ^ (kOnes * '\\');
    uint64_t hits = ((quote - kOnes) & ~quote) | ((backslash - kOnes) & ~backslash) |
                    ((word - kOnes * 0x0e) & ~word);
    return (hits & kHighs) != 0;
}

// Escapes the bytes between p and end. A byte is written only while size + 3 < capacity, so
// each byte, escaped or not, fits with room to spare; past that, room for 10 more bytes is made
// first, which grows a created encoder by growth + 10 and fails a wrapped one mid-string.
int writeEscaped(Encoder* enc, const unsigned char* p, const unsigned char* end) {
    while (p < end) {
        int64_t stop = int64_t{enc->capacity} - 3;
        int64_t pos = enc->size;
        if (pos >= stop) {
            if (encoderMakeRoom(enc, 10) != 0) return -1;
            continue;
        }
        unsigned char* out = enc->data;
        while (end - p >= 8 && stop - pos >= 8) {
            uint64_t word;
            std::memcpy(&word, p, 8);
            if (mayNeedEscape(word)) break;
            std::memcpy(out + pos, &word, 8);
            p += 8;
            pos += 8;
        }
        // Byte by byte past a word that may hold an escape, then back to whole words.
        const unsigned char* bytesEnd = end - p > 8 ? p + 8 : end;
        while (p < bytesEnd && pos < stop) {
            unsigned char byte = *p++;
            unsigned char letter = kEscapeLetters.letter[byte];
            if (letter == 0) {
                out[pos++] = byte;
            } else {
                out[pos] = '\\';
                out[pos + 1] = letter;
                pos += 2;
            }
        }
        enc->size = static_cast<int32_t>(pos);
    }
    return 0;
}

int formatStrValue(Encoder* enc, const char* format, va_list args) {
    if (enc->failed) {
        enc->jsonFirst = 0;  // as the value write itself would have left it
        return -1;
    }
    va_list measure;
    va_copy(measure, args);
    int length = std::vsnprintf(nullptr, 0, format, measure);
    va_end(measure);
    std::unique_ptr<char, decltype(&std::free)> text(nullptr, &std::free);
    if (length >= 0) text.reset(static_cast<char*>(std::malloc(static_cast<size_t>(length) + 1)));
    if (!text) {
        enc->failed = 1;
        return -1;
    }
    std::vsnprintf(text.get(), static_cast<size_t>(length) + 1, format, args);
    return encodeJsonStrValue(enc, text.get());
}

int failedResult(const Encoder* enc) {
    return enc->failed ? -1 : 0;
}

}  // namespace

int encodeJsonStart(Encoder* enc) {
    // JSON text that follows an appended text takes the place of its NUL.
    if (enc->appendOpen) {
        enc->size -= 1;
        enc->appendOpen = 0;
    }
    enc->jsonFirst = 1;
    return 0;
}

int encodeJsonEnd(Encoder* enc) {
    if (enc->size > 0 && enc->data[enc->size - 1] != 0) encoderWriteByte(enc, 0);
    return failedResult(enc);
}

int encodeJsonObjectStart(Encoder* enc) {
    writeComma(enc);
    enc->jsonFirst = 1;
    return encoderWriteByte(enc, '{');
}

int encodeJsonObjectEnd(Encoder* enc) {
    enc->jsonFirst = 0;
    return encoderWriteByte(enc, '}');
}

int encodeJsonListStart(Encoder* enc) {
    writeComma(enc);
    enc->jsonFirst = 1;
    return encoderWriteByte(enc, '[');
}

int encodeJsonListEnd(Encoder* enc) {
    enc->jsonFirst = 0;
    return encoderWriteByte(enc, ']');
}

int encodeJsonName(Encoder* enc, const char* name) {
    writeComma(enc);
    enc->jsonFirst = 0;
    size_t length = std::strlen(name);
    if (encoderMakeRoom(enc, static_cast<int64_t>(length) + 3) != 0) return -1;
    unsigned char* out = enc->data + enc->size;
    out[0] = '"';
    std::memcpy(out + 1, name, length);
    out[length + 1] = '"';
    out[length + 2] = ':';
    enc->size += static_cast<int32_t>(length + 3);
    enc->jsonFirst = 1;
    return 0;
}

int encodeJsonStrValue(Encoder* enc, const char* text) {
    writeComma(enc);
    enc->jsonFirst = 0;
    if (text == nullptr) return encoderWrite(enc, "null", 4);
    size_t length = std::strlen(text);
    if (encoderMakeRoom(enc, static_cast<int64_t>(length) + 2) != 0) return -1;
    enc->data[enc->size++] = '"';
    const auto* bytes = reinterpret_cast<const unsigned char*>(text);
    if (writeEscaped(enc, bytes, bytes + length) != 0) return -1;
    // The last byte was written with size + 3 < capacity, so the quote fits in place.
    enc->data[enc->size++] = '"';
    return 0;
}

int encodeJsonFormatStrValue(Encoder* enc, const char* format, ...) {
    va_list args;
    va_start(args, format);
    int result = formatStrValue(enc, format, args);
    va_end(args);
    return result;
}

int encodeJsonIntValue(Encoder* enc, int value) {
    writeComma(enc);
    enc->jsonFirst = 0;
    char text[32];
    char* end = text + sizeof text - 1;
    *end = '\0';
    char* start = formatInt(value, end);
    return writeTerminatedText(enc, start, end - start);
}

int encodeJsonBoolValue(Encoder* enc, int value) {
    writeComma(enc);
    enc->jsonFirst = 0;
    return value != 0 ? writeTerminatedText(enc, "true", 4) : writeTerminatedText(enc, "false", 5);
}

int encodeJsonNameStrValue(Encoder* enc, const char* name, const char* text) {
    encodeJsonName(enc, name);
    encodeJsonStrValue(enc, text);
    return failedResult(enc);
}

int encodeJsonNameFormatStrValue(Encoder* enc, const char* name, const char* format, ...) {
    encodeJsonName(enc, name);
    va_list args;
    va_start(args, format);
    formatStrValue(enc, format, args);
    va_end(args);
    return failedResult(enc);
}

int encodeJsonNameIntValue(Encoder* enc, const char* name, int value) {
    encodeJsonName(enc, name);
    encodeJsonIntValue(enc, value);
    return failedResult(enc);
}

int encodeJsonNameBoolValue(Encoder* enc, const char* name, int value) {
    encodeJsonName(enc, name);
    encodeJsonBoolValue(enc, value);
    return failedResult(enc);
}
