#include "tests/codec/alloc_failure.h"

#include <cstddef>

bool heapFails = false;

extern "C" void* __real_malloc(size_t size);
extern "C" void* __real_realloc(void* block, size_t size);

extern "C" void* __wrap_malloc(size_t size) {
    return heapFails ? nullptr : __real_malloc(size);
}

extern "C" void* __wrap_realloc(void* block, size_t size) {
    return heapFails ? nullptr : __real_realloc(block, size);
}
