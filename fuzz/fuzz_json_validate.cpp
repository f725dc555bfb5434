// The validator over arbitrary bytes; valid text is then walked in full.
#include <cstdint>

#include "fuzz/fuzz_json_walk.h"
#include "json/json_validate.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const char* text = reinterpret_cast<const char*>(data);
    const JsonValidity r = json_validn(text, static_cast<int64_t>(size));
    if (r.valid) {
        fuzz_check(r.pos == 0);
        int budget = 2000;
        fuzz_walk(json_parsen(text, size), text, text + size, 0, budget);
    } else {
        fuzz_check(r.pos <= size);
        // The failure position is the first point of no return: the prefix before it never
        // fails earlier.
        if (r.pos > 0 && r.pos < size) {
            const JsonValidity prefix = json_validn(text, static_cast<int64_t>(r.pos));
            fuzz_check(prefix.valid || prefix.pos <= r.pos);
        }
    }
    return 0;
}
