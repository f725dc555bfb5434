#include "json/json_value.h"

#include <cmath>
#include <cstdlib>
#include <cstring>

#include "json/json_bytes.h"
#include "json/json_escape.h"

namespace {

using uchar = unsigned char;

struct Body {
    const uchar* data;
    size_t length;
};

// The string's text between its quotes.
Body body_of(const JsonValue& v) {
    const size_t len = v.len;
    return {reinterpret_cast<const uchar*>(v.raw) + 1, len < 2 ? 0 : len - 2};
}

bool is_string(const JsonValue& v) {
    return json_type(v) == JSON_TYPE_STRING;
}

uint32_t hex4(const uchar* p) {
    const auto& hex = json_bytes::kHexValue;
    return (uint32_t{hex[p[0]]} << 12) | (uint32_t{hex[p[1]]} << 8) | (uint32_t{hex[p[2]]} << 4) |
           hex[p[3]];
}

template <typename Emit>
bool emit_utf8(uint32_t cp, Emit& emit) {
    if (cp < 0x80) return emit(static_cast<uchar>(cp));
    if (cp < 0x800) {
        return emit(static_cast<uchar>(0xC0 | (cp >> 6))) &&
               emit(static_cast<uchar>(0x80 | (cp & 0x3F)));
    }
    if (cp < 0x10000) {
        return emit(static_cast<uchar>(0xE0 | (cp >> 12))) &&
               emit(static_cast<uchar>(0x80 | ((cp >> 6) & 0x3F))) &&
               emit(static_cast<uchar>(0x80 | (cp & 0x3F)));
    }
    return emit(static_cast<uchar>(0xF0 | (cp >> 18))) &&
           emit(static_cast<uchar>(0x80 | ((cp >> 12) & 0x3F))) &&
           emit(static_cast<uchar>(0x80 | ((cp >> 6) & 0x3F))) &&
           emit(static_cast<uchar>(0x80 | (cp & 0x3F)));
}

// A \u escape at p (six bytes available). Surrogates take a following \u escape with them;
// anything but a proper high-low pair becomes one replacement character.
template <typename Emit>
const uchar* unescape_u(const uchar* p, const uchar* end, Emit& emit, bool& more) {
    const uint32_t first = hex4(p + 2);
    p += 6;
    if (first < 0xD800 || first > 0xDFFF) {
        more = emit_utf8(first, emit);
        return p;
    }
    uint32_t cp = 0xFFFD;
    if (end - p >= 6 && p[0] == '\\' && p[1] == 'u') {
        const uint32_t second = hex4(p + 2);
        p += 6;
        if (first <= 0xDBFF && second >= 0xDC00 && second <= 0xDFFF) {
            cp = 0x10000 + ((first - 0xD800) << 10) + (second - 0xDC00);
        }
    }
    more = emit_utf8(cp, emit);
    return p;
}

// Feeds the bytes an escaped string body produces to emit, until emit returns false.
template <typename Emit>
void unescape(Body body, Emit&& emit) {
    const uchar* p = body.data;
    const uchar* end = p + body.length;
    bool more = true;
    while (more && p < end) {
        if (*p != '\\') {
            more = emit(*p++);
            continue;
        }
        if (end - p < 2) return;
        if (p[1] == 'u') {
            if (end - p < 6) return;
            p = unescape_u(p, end, emit, more);
            continue;
        }
        const uchar byte = json_bytes::kShortEscape[p[1]];
        if (byte != 0) more = emit(byte);  // unknown escapes vanish
        p += 2;
    }
}

size_t unescaped_length(Body body) {
    size_t n = 0;
    unescape(body, [&n](uchar) {
        ++n;
        return true;
    });
    return n;
}

// Copies min(length, size - 1) bytes and a NUL; nothing when size is 0.
void copy_cut(const void* source, size_t length, char* destination, size_t size) {
    if (size == 0) return;
    const size_t n = length < size - 1 ? length : size - 1;
    std::memcpy(destination, source, n);
    destination[n] = '\0';
}

// The text of a number is not NUL-terminated, so it is converted through a local copy.
template <size_t N>
struct Terminated {
    char text[N];
    Terminated(const char* source, size_t length) {
        std::memcpy(text, source, length);
        text[length] = '\0';
    }
};

// strtod that must consume all of text.
bool whole_double(const char* text, size_t length, double& out) {
    char* stop = nullptr;
    out = std::strtod(text, &stop);
    return stop == text + length;
}

double double_rule(const char* text, size_t length) {
    double d = 0.0;
    if (length < 32) {
        const Terminated<32> copy(text, length);
        return whole_double(copy.text, length, d) ? d : 0.0;
    }
    if (length < 512) {
        const Terminated<512> copy(text, length);
        return whole_double(copy.text, length, d) ? d : 0.0;
    }
    return 0.0;
}

constexpr double kTwo63 = 9223372036854775808.0;
constexpr double kTwo64 = 18446744073709551616.0;

// NaN (only a string body such as "nan" can give one) reads as 0.
int64_t saturate_int64(double d) {
    if (std::isnan(d)) return 0;
    if (d < -kTwo63) return INT64_MIN;
    if (d >= kTwo63) return INT64_MAX;
    return static_cast<int64_t>(d);
}

uint64_t saturate_uint64(double d) {
    if (std::isnan(d) || d < 0) return 0;
    if (d >= kTwo64) return UINT64_MAX;
    return static_cast<uint64_t>(d);
}

int64_t int64_rule(const char* text, size_t length) {
    if (length <= 20) {
        const Terminated<32> copy(text, length);
        char* stop = nullptr;
        const long long v = std::strtoll(copy.text, &stop, 10);
        if (stop == copy.text + length) return v;
        double d = 0.0;
        if (whole_double(copy.text, length, d)) return saturate_int64(d);
    }
    return saturate_int64(double_rule(text, length));
}

uint64_t uint64_rule(const char* text, size_t length) {
    if (length == 0) return 0;
    if (length <= 20 && text[0] != '-') {
        const Terminated<32> copy(text, length);
        char* stop = nullptr;
        const unsigned long long v = std::strtoull(copy.text, &stop, 10);
        if (stop == copy.text + length) return v;
        double d = 0.0;
        if (whole_double(copy.text, length, d)) return saturate_uint64(d);
    }
    return saturate_uint64(double_rule(text, length));
}

// Applies a number rule to a number's text or a string's body; true is 1, the rest 0.
template <typename T, typename Rule>
T convert(JsonValue v, Rule rule) {
    switch (json_type(v)) {
        case JSON_TYPE_NUMBER:
            return rule(v.raw, v.len);
        case JSON_TYPE_STRING: {
            const Body body = body_of(v);
            if (body.length == 0) return 0;
            return rule(reinterpret_cast<const char*>(body.data), body.length);
        }
        case JSON_TYPE_TRUE:
            return 1;
        default:
            return 0;
    }
}

// Stores while two bytes of the destination remain (one is kept for the NUL) and counts all.
struct EscapeSink {
    char* destination;
    size_t size;
    size_t stored = 0;
    size_t total = 0;

    size_t room() const { return size - stored >= 2 ? size - stored - 1 : 0; }
    void put(const char* bytes, size_t n) {
        const size_t r = room();
        const size_t k = n < r ? n : r;
        if (k > 0) std::memcpy(destination + stored, bytes, k);
        stored += k;
        total += n;
    }
    void finish() {
        const size_t left = size - stored;
        if (left >= 2) {
            destination[stored++] = '"';
            destination[stored] = '\0';
        } else if (left == 1) {
            destination[stored] = '\0';
        }
        ++total;
    }
};

}  // namespace

size_t json_string_length(JsonValue value) {
    value = json_ensure(value);
    if (!is_string(value)) return value.len;
    const Body body = body_of(value);
    if (!json_string_is_escaped(value)) return body.length;
    return unescaped_length(body);
}

size_t json_string_copy(JsonValue value, char* destination, size_t destinationSize) {
    value = json_ensure(value);
    if (!json_exists(value)) {
        if (destinationSize > 0) destination[0] = '\0';
        return 0;
    }
    if (!is_string(value)) {
        copy_cut(value.raw, value.len, destination, destinationSize);
        return value.len;
    }
    const Body body = body_of(value);
    if (!json_string_is_escaped(value)) {
        copy_cut(body.data, body.length, destination, destinationSize);
        return body.length;
    }
    size_t produced = 0;
    unescape(body, [&](uchar c) {
        if (produced + 1 < destinationSize) destination[produced] = static_cast<char>(c);
        ++produced;
        return true;
    });
    if (destinationSize > 0) {
        destination[produced < destinationSize ? produced : destinationSize - 1] = '\0';
    }
    return produced;
}

int json_string_comparen(JsonValue value, const char* other, size_t n) {
    if (other == nullptr) n = 0;
    if (!is_string(value)) return json_raw_comparen(value, other, n);
    const Body body = body_of(value);
    if (!json_string_is_escaped(value)) {
        const size_t span = body.length < n ? body.length : n;
        if (span > 0) {
            const int c =
                json_bytes::strncmp_inline(reinterpret_cast<const char*>(body.data), other, span);
            if (c != 0) return c;
        }
        if (body.length < n) return -1;
        return body.length > n ? 1 : 0;
    }
    const auto* o = reinterpret_cast<const uchar*>(other);
    const uchar* oEnd = o == nullptr ? o : o + n;
    int result = 0;
    unescape(body, [&](uchar c) {
        if (o == oEnd || *o == '\0' || *o < c) {
            result = 1;
            return false;
        }
        if (*o > c) {
            result = -1;
            return false;
        }
        ++o;
        return true;
    });
    if (result != 0) return result;
    return (o != oEnd && *o != '\0') ? -1 : 0;
}

int json_string_compare(JsonValue value, const char* other) {
    return json_string_comparen(value, other, other == nullptr ? 0 : std::strlen(other));
}

bool json_string_is_escaped(JsonValue value) {
    return (value.info & JSON_INFO_ESCAPED) != 0;
}

bool json_string_copy_whole(JsonValue value, char* destination, size_t destinationSize) {
    if (json_type(value) != JSON_TYPE_STRING) return false;
    const size_t length = json_string_length(value);
    if (length >= destinationSize) return false;
    json_string_copy(value, destination, destinationSize);
    return std::strlen(destination) == length;
}

double json_double(JsonValue value) {
    return convert<double>(value, double_rule);
}

int64_t json_int64(JsonValue value) {
    return convert<int64_t>(value, int64_rule);
}

int32_t json_int(JsonValue value) {
    const int64_t v = json_int64(value);
    if (v < INT32_MIN) return INT32_MIN;
    if (v > INT32_MAX) return INT32_MAX;
    return static_cast<int32_t>(v);
}

uint64_t json_uint64(JsonValue value) {
    return convert<uint64_t>(value, uint64_rule);
}

bool json_bool(JsonValue value) {
    switch (json_type(value)) {
        case JSON_TYPE_TRUE:
            return true;
        case JSON_TYPE_NUMBER:
            return json_double(value) != 0.0;  // NaN counts as true
        case JSON_TYPE_STRING:
            for (const char* word : {"1", "t", "T", "true", "TRUE", "True"}) {
                if (json_string_compare(value, word) == 0) return true;
            }
            return false;
        default:
            return false;
    }
}

size_t json_escapen(const char* source, size_t sourceLength, char* destination,
                    size_t destinationSize) {
    EscapeSink out{destination, destinationSize};
    out.put("\"", 1);
    // Straight into the destination while whole escapes fit, then through a small buffer, which
    // stores the head of a cut escape and counts the rest.
    JsonEscapeProgress step = json_escape_into(source, sourceLength, destination + out.stored,
                                               out.room(), JSON_ESCAPE_MARKUP);
    out.stored += step.produced;
    out.total += step.produced;
    char chunk[64];
    for (size_t done = step.consumed; done < sourceLength; done += step.consumed) {
        step = json_escape_into(source + done, sourceLength - done, chunk, sizeof chunk,
                                JSON_ESCAPE_MARKUP);
        out.put(chunk, step.produced);
    }
    out.finish();
    return out.total;
}

size_t json_escape(const char* source, char* destination, size_t destinationSize) {
    return json_escapen(source, source == nullptr ? 0 : std::strlen(source), destination,
                        destinationSize);
}
