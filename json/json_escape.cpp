#include "json/json_escape.h"

#include <array>
#include <cstdint>
#include <cstring>

#include "json/json_bytes.h"

namespace {

using uchar = unsigned char;

// What a byte becomes: copied, the letter after a backslash, \u00xx, or a UTF-8 lead byte that
// must be checked (and a stray byte at or above 0x80 that becomes U+FFFD).
enum : uchar { kCopy = 0, kUnicode = 'u', kNonAscii = 1 };

constexpr std::array<uchar, 256> make_actions(bool markup) {
    std::array<uchar, 256> t{};
    for (int b = 0; b < 0x20; ++b) t[b] = kUnicode;
    for (int b = 0x80; b < 0x100; ++b) t[b] = kNonAscii;
    // The short escapes, but for "\/": a slash needs none.
    for (int letter = 0; letter < 256; ++letter) {
        const uchar byte = json_bytes::kShortEscape[letter];
        if (byte != 0 && byte != '/') t[byte] = static_cast<uchar>(letter);
    }
    if (markup) t['<'] = t['>'] = t['&'] = kUnicode;
    return t;
}

constexpr std::array<uchar, 256> kActions[2] = {make_actions(false), make_actions(true)};

// Length (2 to 4) of the UTF-8 sequence at p by the strict definition, or 0: no overlong form,
// no surrogate, nothing above U+10FFFE. Stricter than the reader's check (json_bytes.h), which
// lets some overlong forms through on purpose: what we write must pass any strict reader, and
// ours, which refuses U+10FFFF.
size_t strict_sequence_length(const uchar* p, const uchar* end) {
    static constexpr uint32_t kSmallest[] = {0, 0, 0x80, 0x800, 0x10000};
    const size_t n = p[0] >= 0xF0 ? 4 : p[0] >= 0xE0 ? 3 : p[0] >= 0xC0 ? 2 : 0;
    if (n == 0 || p[0] >= 0xF8 || static_cast<size_t>(end - p) < n) return 0;
    uint32_t cp = p[0] & (0x7Fu >> n);
    for (size_t i = 1; i < n; ++i) {
        if ((p[i] & 0xC0) != 0x80) return 0;
        cp = (cp << 6) | (p[i] & 0x3Fu);
    }
    if (cp < kSmallest[n] || cp > 0x10FFFE || (cp >= 0xD800 && cp <= 0xDFFF)) return 0;
    return n;
}

// Writes the escaped form of the byte or UTF-8 sequence at p when it fits before outEnd;
// returns the source bytes taken, 0 when it did not fit.
size_t escape_unit(uchar action, const uchar* p, const uchar* end, uchar*& o, const uchar* outEnd) {
    static constexpr uchar kDigits[] = {'0', '1', '2', '3', '4', '5', '6', '7',
                                        '8', '9', 'a', 'b', 'c', 'd', 'e', 'f'};
    const size_t room = static_cast<size_t>(outEnd - o);
    if (action == kNonAscii) {
        const size_t n = strict_sequence_length(p, end);
        if (n > 0) {
            if (room < n) return 0;
            std::memcpy(o, p, n);
            o += n;
            return n;
        }
        static constexpr uchar kReplacement[] = {0xEF, 0xBF, 0xBD};
        if (room < sizeof kReplacement) return 0;
        std::memcpy(o, kReplacement, sizeof kReplacement);
        o += sizeof kReplacement;
        return 1;
    }
    if (action != kUnicode) {
        if (room < 2) return 0;
        o[0] = '\\';
        o[1] = action;
        o += 2;
        return 1;
    }
    if (room < 6) return 0;
    std::memcpy(o, "\\u00", 4);
    o[4] = kDigits[*p >> 4];
    o[5] = kDigits[*p & 15];
    o += 6;
    return 1;
}

}  // namespace

JsonEscapeProgress json_escape_into(const char* source, size_t length, char* out, size_t room,
                                    unsigned options) {
    const std::array<uchar, 256>& actions = kActions[(options & JSON_ESCAPE_MARKUP) != 0];
    const auto* p = reinterpret_cast<const uchar*>(source);
    const uchar* const end = p + length;
    auto* o = reinterpret_cast<uchar*>(out);
    const uchar* const outEnd = o + room;
    while (p < end) {
        const size_t space = static_cast<size_t>(outEnd - o);
        const size_t left = static_cast<size_t>(end - p);
        const size_t run =
            json_escape_copy_plain(reinterpret_cast<const char*>(p), left < space ? left : space,
                                   reinterpret_cast<char*>(o), options);
        p += run;
        o += run;
        if (p == end) break;
        // A plain byte stops the run only when the room has run out.
        const uchar action = actions[*p];
        const size_t taken = action == kCopy ? 0 : escape_unit(action, p, end, o, outEnd);
        if (taken == 0) break;
        p += taken;
    }
    return {static_cast<size_t>(p - reinterpret_cast<const uchar*>(source)),
            static_cast<size_t>(o - reinterpret_cast<uchar*>(out))};
}
