#include "json/json_validate.h"

#include <cstring>

#include "json/json_bytes.h"

namespace {

using json_bytes::kStringClass;
using uchar = unsigned char;

constexpr int kMaxLevel = 1024;

constexpr std::array<bool, 256> make_whitespace() {
    std::array<bool, 256> t{};
    t[' '] = t['\t'] = t['\n'] = t['\r'] = true;
    return t;
}
constexpr std::array<bool, 256> kWhitespace = make_whitespace();

constexpr std::array<bool, 256> make_digits() {
    std::array<bool, 256> t{};
    for (int b = '0'; b <= '9'; ++b) t[b] = true;
    return t;
}
constexpr std::array<bool, 256> kDigit = make_digits();

// Each rule returns the position just past what it accepted, or null after recording where
// validation stopped.
struct Validator {
    const uchar* begin;
    const uchar* end;
    size_t failPos = 0;

    const uchar* fail(const uchar* at) {
        failPos = static_cast<size_t>(at - begin);
        return nullptr;
    }
    const uchar* failAtEnd() { return fail(end); }

    const uchar* skipWhitespace(const uchar* p) const {
        while (p != end && kWhitespace[*p]) ++p;
        return p;
    }

    const uchar* skipOrdinary(const uchar* p) const;
    const uchar* value(const uchar* p, int level);
    const uchar* literal(const uchar* p, const char* word, size_t length);
    const uchar* number(const uchar* p);
    const uchar* digitsAfter(const uchar* p);
    const uchar* string(const uchar* p);
    const uchar* escape(const uchar* p);
    const uchar* array(const uchar* p, int level);
    const uchar* object(const uchar* p, int level);
};

// Ordinary string bytes dominate real documents, so they are consumed eight at a time (portable
// code: SSE2 earned at most 1.27x on request-sized texts); only the word holding the first
// special byte falls back to the class table.
const uchar* Validator::skipOrdinary(const uchar* p) const {
    while (end - p >= 8) {
        uint64_t w;
        std::memcpy(&w, p, 8);
        constexpr uint64_t kOnes = 0x0101010101010101ull;
        constexpr uint64_t kHigh = 0x8080808080808080ull;
        const uint64_t q = w ^ (kOnes * '"');
        const uint64_t b = w ^ (kOnes * '\\');
        const uint64_t special = ((q - kOnes) & ~q) | ((b - kOnes) & ~b) | (w - kOnes * 0x20) | w;
        if ((special & kHigh) != 0) break;
        p += 8;
    }
    while (p != end && kStringClass[*p] == json_bytes::kOrdinary) ++p;
    return p;
}

const uchar* Validator::value(const uchar* p, int level) {
    p = skipWhitespace(p);
    if (p == end) return failAtEnd();
    switch (*p) {
        case '"':
            return string(p + 1);
        case '[':
            return array(p + 1, level);
        case '{':
            return object(p + 1, level);
        case 't':
            return literal(p, "true", 4);
        case 'f':
            return literal(p, "false", 5);
        case 'n':
            return literal(p, "null", 4);
        default:
            if (*p == '-' || kDigit[*p]) return number(p);
            return fail(p);
    }
}

const uchar* Validator::literal(const uchar* p, const char* word, size_t length) {
    if (static_cast<size_t>(end - p) < length || std::memcmp(p + 1, word + 1, length - 1) != 0) {
        return fail(p + 1);
    }
    return p + length;
}

// At least one digit, then any further digits.
const uchar* Validator::digitsAfter(const uchar* p) {
    if (p == end) return failAtEnd();
    if (!kDigit[*p]) return fail(p);
    while (p != end && kDigit[*p]) ++p;
    return p;
}

const uchar* Validator::number(const uchar* p) {
    if (*p == '-') {
        ++p;
        if (p == end) return failAtEnd();
        if (!kDigit[*p]) return fail(p);
    }
    if (*p == '0') {
        ++p;
    } else {
        while (p != end && kDigit[*p]) ++p;
    }
    if (p != end && *p == '.') {
        p = digitsAfter(p + 1);
        if (p == nullptr) return nullptr;
    }
    if (p != end && (*p == 'e' || *p == 'E')) {
        ++p;
        if (p != end && (*p == '+' || *p == '-')) ++p;
        p = digitsAfter(p);
    }
    return p;
}

// p is at a backslash inside a string.
const uchar* Validator::escape(const uchar* p) {
    const uchar* q = p + 1;
    if (q == end) return failAtEnd();
    if (json_bytes::kShortEscape[*q] != 0) return q + 1;
    if (*q != 'u') return fail(q);
    for (int i = 1; i <= 4; ++i) {
        if (q + i == end) return failAtEnd();
        if (!json_bytes::kIsHex[q[i]]) return fail(q + i);
    }
    return q + 5;
}

// p is just after the opening quote.
const uchar* Validator::string(const uchar* p) {
    for (;;) {
        p = skipOrdinary(p);
        if (p == end) return failAtEnd();
        switch (kStringClass[*p]) {
            case json_bytes::kQuote:
                return p + 1;
            case json_bytes::kBackslash:
                p = escape(p);
                if (p == nullptr) return nullptr;
                break;
            case json_bytes::kLead2:
            case json_bytes::kLead3:
            case json_bytes::kLead4: {
                const size_t n = json_bytes::utf8_sequence_length(p, end);
                if (n == 0) return fail(p);
                p += n;
                break;
            }
            default:
                return fail(p);
        }
    }
}

// p is just after the opening bracket; the members are at level + 1.
const uchar* Validator::array(const uchar* p, int level) {
    p = skipWhitespace(p);
    if (p == end) return failAtEnd();
    if (*p == ']') return p + 1;
    for (;;) {
        if (level + 1 > kMaxLevel) return fail(p);
        p = value(p, level + 1);
        if (p == nullptr) return nullptr;
        p = skipWhitespace(p);
        if (p == end) return failAtEnd();
        if (*p == ']') return p + 1;
        if (*p != ',') return fail(p);
        ++p;
    }
}

// p is just after the opening brace; the member values are at level + 1.
const uchar* Validator::object(const uchar* p, int level) {
    p = skipWhitespace(p);
    if (p == end) return failAtEnd();
    if (*p == '}') return p + 1;
    for (;;) {
        if (*p != '"') return fail(p);
        p = string(p + 1);
        if (p == nullptr) return nullptr;
        p = skipWhitespace(p);
        if (p == end) return failAtEnd();
        if (*p != ':') return fail(p);
        ++p;
        if (level + 1 > kMaxLevel) return fail(p);
        p = value(p, level + 1);
        if (p == nullptr) return nullptr;
        p = skipWhitespace(p);
        if (p == end) return failAtEnd();
        if (*p == '}') return p + 1;
        if (*p != ',') return fail(p);
        p = skipWhitespace(p + 1);
        if (p == end) return failAtEnd();
    }
}

}  // namespace

JsonValidity json_validn_ex(const char* text, int64_t length, int /*options*/) {
    if (text == nullptr || length <= 0) return {false, 0};
    const auto* begin = reinterpret_cast<const uchar*>(text);
    Validator v{begin, begin + length};
    const uchar* p = v.skipWhitespace(begin);
    if (p == v.end) return {false, static_cast<size_t>(length)};
    p = v.value(p, 1);
    if (p == nullptr) return {false, v.failPos};
    p = v.skipWhitespace(p);
    if (p != v.end) return {false, static_cast<size_t>(p - begin)};
    return {true, 0};
}

JsonValidity json_validn(const char* text, int64_t length) {
    return json_validn_ex(text, length, 0);
}

JsonValidity json_valid_ex(const char* text, int options) {
    const int64_t length = text == nullptr ? 0 : static_cast<int64_t>(std::strlen(text));
    return json_validn_ex(text, length, options);
}

JsonValidity json_valid(const char* text) {
    return json_valid_ex(text, 0);
}
