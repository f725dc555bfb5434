#pragma once
// Byte tables and the UTF-8 sequence check shared by the validator, the navigator and the
// escaper, so that all three agree on what a well-formed string byte is.
#include <array>
#include <cstddef>
#include <cstdint>

namespace json_bytes {

// Classes of a byte inside a string body.
enum StringClass : uint8_t {
    kOrdinary = 0,
    kQuote = 1,
    kBackslash = 2,
    kLead2 = 3,
    kLead3 = 4,
    kLead4 = 5,
    kForbidden = 6,
};

constexpr std::array<uint8_t, 256> make_string_classes() {
    std::array<uint8_t, 256> t{};
    for (int b = 0; b < 256; ++b) {
        if (b < 0x20 || (b >= 0x80 && b <= 0xBF) || b >= 0xF8) {
            t[b] = kForbidden;
        } else if (b >= 0xF0) {
            t[b] = kLead4;
        } else if (b >= 0xE0) {
            t[b] = kLead3;
        } else if (b >= 0xC0) {
            t[b] = kLead2;
        } else {
            t[b] = kOrdinary;
        }
    }
    t['"'] = kQuote;
    t['\\'] = kBackslash;
    return t;
}

inline constexpr std::array<uint8_t, 256> kStringClass = make_string_classes();

// 0 to 15 for hexadecimal digits, 0 for every other byte; kIsHex tells the two zeros apart.
constexpr std::array<uint8_t, 256> make_hex_values() {
    std::array<uint8_t, 256> t{};
    for (int b = '0'; b <= '9'; ++b) t[b] = static_cast<uint8_t>(b - '0');
    for (int b = 'a'; b <= 'f'; ++b) t[b] = static_cast<uint8_t>(b - 'a' + 10);
    for (int b = 'A'; b <= 'F'; ++b) t[b] = static_cast<uint8_t>(b - 'A' + 10);
    return t;
}

constexpr std::array<bool, 256> make_is_hex() {
    std::array<bool, 256> t{};
    for (int b = 0; b < 256; ++b) {
        t[b] = (b >= '0' && b <= '9') || (b >= 'a' && b <= 'f') || (b >= 'A' && b <= 'F');
    }
    return t;
}

inline constexpr std::array<uint8_t, 256> kHexValue = make_hex_values();
inline constexpr std::array<bool, 256> kIsHex = make_is_hex();

// The byte each two-character escape stands for, by the letter after the backslash; 0 for
// every other letter (\u and its four digits are not among them).
constexpr std::array<uint8_t, 256> make_short_escapes() {
    std::array<uint8_t, 256> t{};
    t['"'] = '"';
    t['\\'] = '\\';
    t['/'] = '/';
    t['b'] = '\b';
    t['f'] = '\f';
    t['n'] = '\n';
    t['r'] = '\r';
    t['t'] = '\t';
    return t;
}

inline constexpr std::array<uint8_t, 256> kShortEscape = make_short_escapes();

// Length (2 to 4) of the well-formed UTF-8 sequence whose lead byte is at p, or 0.
// Overlong 3- and 4-byte forms down to 0x80 pass on purpose; U+10FFFF and surrogates fail.
inline size_t utf8_sequence_length(const unsigned char* p, const unsigned char* end) {
    const uint8_t cls = kStringClass[p[0]];
    if (cls < kLead2 || cls > kLead4) return 0;
    const size_t n = cls - kLead2 + 2;
    if (static_cast<size_t>(end - p) < n) return 0;
    uint32_t cp = p[0] & (0x7Fu >> n);
    for (size_t i = 1; i < n; ++i) {
        if ((p[i] & 0xC0) != 0x80) return 0;
        cp = (cp << 6) | (p[i] & 0x3Fu);
    }
    if (cp < 0x80 || cp > 0x10FFFE || (cp >= 0xD800 && cp <= 0xDFFF)) return 0;
    return n;
}

// strncmp without the library call: names in path queries are a few bytes long, and the call
// costs more than the comparison.
inline int strncmp_inline(const char* a, const char* b, size_t n) {
    for (size_t i = 0; i < n; ++i) {
        const auto x = static_cast<unsigned char>(a[i]);
        const auto y = static_cast<unsigned char>(b[i]);
        if (x != y) return x < y ? -1 : 1;
        if (x == 0) return 0;
    }
    return 0;
}

}  // namespace json_bytes
