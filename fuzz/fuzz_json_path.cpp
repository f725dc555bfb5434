// Path queries on arbitrary text: the input is "path NUL text"; without a NUL it is all text
// with a fixed path.
#include <cstdint>
#include <cstring>
#include <memory>

#include "fuzz/fuzz_json_walk.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const auto* nul = static_cast<const uint8_t*>(std::memchr(data, 0, size));
    const size_t pathLength = nul ? static_cast<size_t>(nul - data) : 0;
    const size_t textOffset = nul ? pathLength + 1 : 0;
    const size_t textLength = size - textOffset;
    // Exact-size copies so that any read past either one is caught.
    std::unique_ptr<char[]> path(new char[pathLength + 1]);
    std::memcpy(path.get(), data, pathLength);
    path[pathLength] = '\0';
    std::unique_ptr<char[]> text(new char[textLength ? textLength : 1]);
    std::memcpy(text.get(), data + textOffset, textLength);
    const char* begin = text.get();
    const char* end = begin + textLength;

    const char* query = nul ? path.get() : "a.0.b";
    const JsonValue v = json_getn(begin, textLength, query);
    fuzz_check(textLength > 0 || !json_exists(v));
    fuzz_check_inside(v, begin, end);
    fuzz_use_value(v);
    const size_t count = json_array_count(v);
    if (count > 0) fuzz_check_inside(json_array_get(v, count - 1), begin, end);
    fuzz_check(!json_exists(json_array_get(v, count)));
    int budget = 200;
    fuzz_walk(v, begin, end, 0, budget);
    fuzz_check_inside(json_object_getn(json_parsen(begin, textLength), query, pathLength), begin,
                      end);
    return 0;
}
