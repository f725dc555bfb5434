#include "codec/json_writer.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "codec/write_step.h"
#include "json/json.h"

namespace {

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

// Escapes text into the room the encoder has, keeping one byte for the closing quote and one
// as every write leaves it; when escapes outgrow that room, asks for room for the rest as if it
// were plain plus one escape, and goes on. A wrapped encoder fails there, with whole escapes.
int writeEscaped(Encoder* enc, const char* text, size_t length) {
    size_t done = 0;
    for (;;) {
        const size_t room = static_cast<size_t>(int64_t{enc->capacity} - enc->size - 2);
        const JsonEscapeProgress step = json_escape_into(
            text + done, length - done, reinterpret_cast<char*>(enc->data + enc->size), room,
            JSON_ESCAPE_DEFAULT);
        done += step.consumed;
        enc->size += static_cast<int32_t>(step.produced);
        if (done == length) return 0;
        const int64_t rest = static_cast<int64_t>(length - done);
        if (encoderMakeRoom(enc, rest + static_cast<int64_t>(JSON_ESCAPE_MAX_UNIT) + 1) != 0) {
            return -1;
        }
    }
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
    const size_t length = std::strlen(text);
    // Room for the text as it stands and both quotes: plain text needs no more.
    if (encoderMakeRoom(enc, static_cast<int64_t>(length) + 2) != 0) return -1;
    enc->data[enc->size++] = '"';
    char* out = reinterpret_cast<char*>(enc->data + enc->size);
    const size_t plain = json_escape_copy_plain(text, length, out, JSON_ESCAPE_DEFAULT);
    enc->size += static_cast<int32_t>(plain);
    if (plain < length && writeEscaped(enc, text + plain, length - plain) != 0) return -1;
    // Room for it is left either way: counted above, and kept by writeEscaped.
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
