// String copy, comparison and escaping with arbitrary destination sizes. The destination sits
// between guard bytes that must survive, and the results must match an uncut run.
#include <cstdint>
#include <cstring>
#include <vector>

#include "fuzz/fuzz_json_walk.h"
#include "json/json_validate.h"

namespace {

constexpr size_t kGuard = 16;
constexpr char kGuardByte = '\x5A';

struct Guarded {
    std::vector<char> bytes;
    explicit Guarded(size_t size) : bytes(size + 2 * kGuard, kGuardByte) {}
    char* data() { return bytes.data() + kGuard; }
    void check(size_t size) const {
        for (size_t i = 0; i < kGuard; ++i) fuzz_check(bytes[i] == kGuardByte);
        for (size_t i = kGuard + size; i < bytes.size(); ++i) fuzz_check(bytes[i] == kGuardByte);
    }
};

// A cut result holds min(full, size - 1) leading bytes of the full text and a NUL.
void check_cut(const char* cut, size_t size, const std::vector<char>& full, size_t fullLength) {
    if (size == 0) return;
    const size_t kept = fullLength < size - 1 ? fullLength : size - 1;
    fuzz_check(std::memcmp(cut, full.data(), kept) == 0);
    fuzz_check(cut[kept] == '\0');
}

void check_copy(JsonValue v, size_t size) {
    Guarded g(size);
    const size_t n = json_string_copy(v, g.data(), size);
    g.check(size);
    fuzz_check(n == json_string_length(v));
    std::vector<char> full(n + 1);
    fuzz_check(json_string_copy(v, full.data(), full.size()) == n);
    check_cut(g.data(), size, full, n);
    if (std::memchr(full.data(), 0, n) == nullptr) {
        fuzz_check(json_string_comparen(v, full.data(), n) == 0);
        if (n > 0) fuzz_check(json_string_comparen(v, full.data(), n - 1) > 0);
    }
}

void check_escape(const char* source, size_t length, size_t size) {
    Guarded g(size);
    const size_t n = json_escapen(source, length, g.data(), size);
    g.check(size);
    fuzz_check(n >= length + 2);
    std::vector<char> full(n + 1);
    fuzz_check(json_escapen(source, length, full.data(), full.size()) == n);
    check_cut(g.data(), size, full, n);
    // Whatever the source, the escaped text is one valid JSON string.
    fuzz_check(json_validn(full.data(), static_cast<int64_t>(n)).valid);
    bool ascii = true;
    for (size_t i = 0; i < length; ++i)
        ascii = ascii && static_cast<unsigned char>(source[i]) < 0x80;
    if (ascii) {
        const JsonValue back = json_parsen(full.data(), n);
        fuzz_check(json_string_length(back) == length);
        fuzz_check(json_string_comparen(back, source, length) == 0 ||
                   std::memchr(source, 0, length) != nullptr);
    }
}

}  // namespace

// Input: two bytes of destination size, then the text.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 2) return 0;
    const size_t destinationSize = (data[0] | (data[1] << 8)) & 0x3FF;
    const size_t length = size - 2;
    std::vector<char> text(data + 2, data + size);
    const char* begin = text.data();
    const JsonValue v = json_parsen(begin, length);
    fuzz_check_inside(v, begin, begin + length);
    check_copy(v, destinationSize);
    check_copy(json_next(v), destinationSize);
    check_escape(begin, length, destinationSize);
    return 0;
}
