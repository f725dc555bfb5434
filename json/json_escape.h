#pragma once
// The program's one JSON string escaper. Whatever the bytes, its output is the body of a valid
// JSON string in valid UTF-8: " \ and the control bytes \b \t \n \f \r as two-character
// escapes, every other byte below 0x20 as \u00xx, a byte that does not start a well-formed
// UTF-8 sequence by the strict definition (no overlong form, no surrogate, nothing above
// U+10FFFE) as U+FFFD, everything else copied.
#include <cstddef>
#include <cstdint>
#include <cstring>

enum JsonEscapeOptions : unsigned {
    JSON_ESCAPE_DEFAULT = 0,
    // Also < > & as \u003c \u003e \u0026, for text that may end up inside HTML or XML.
    JSON_ESCAPE_MARKUP = 1,
};

// Bytes one source byte (or one UTF-8 sequence) turns into at most: \u00xx.
constexpr size_t JSON_ESCAPE_MAX_UNIT = 6;

struct JsonEscapeProgress {
    size_t consumed;  // source bytes escaped
    size_t produced;  // bytes written to out
};

// Copies to out (room for length bytes) the leading run of source that needs no escape: ASCII
// from 0x20 up, DEL included, other than " and \ (and < > & with JSON_ESCAPE_MARKUP); returns
// its length. Inline and a word at a time, so that a writer copies plain text itself and calls
// the escaper only where there is something to escape.
inline size_t json_escape_copy_plain(const char* source, size_t length, char* out,
                                     unsigned options) {
    constexpr uint64_t kOnes = 0x0101010101010101ull;
    constexpr uint64_t kHighs = 0x8080808080808080ull;
    const bool markup = (options & JSON_ESCAPE_MARKUP) != 0;
    // A high bit in each byte of the word that equals c (and maybe in bytes above such a byte:
    // that word is then taken byte by byte anyway).
    auto equal = [](uint64_t word, uint64_t c) { return (word ^ (kOnes * c)) - kOnes; };
    size_t i = 0;
    for (; length - i >= 8; i += 8) {
        uint64_t word;
        std::memcpy(&word, source + i, 8);
        // Bytes at or above 0x80 show their own high bit; those below 0x20 borrow it.
        uint64_t hits = word | (word - kOnes * 0x20) | equal(word, '"') | equal(word, '\\');
        if (markup) hits |= equal(word, '<') | equal(word, '>') | equal(word, '&');
        if ((hits & kHighs) != 0) break;
        std::memcpy(out + i, &word, 8);
    }
    for (; i < length; ++i) {
        const auto c = static_cast<unsigned char>(source[i]);
        if (c < 0x20 || c >= 0x80 || c == '"' || c == '\\') break;
        if (markup && (c == '<' || c == '>' || c == '&')) break;
        out[i] = static_cast<char>(c);
    }
    return i;
}

// Escapes source into out, no quotes added, no NUL written. Stops before the first byte or
// UTF-8 sequence whose escaped form does not fit whole into what is left of room, so out never
// holds half an escape: consumed < length means that the caller must make room and call again
// for the rest. Never writes more than room bytes.
JsonEscapeProgress json_escape_into(const char* source, size_t length, char* out, size_t room,
                                    unsigned options);
