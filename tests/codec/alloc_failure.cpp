#include "tests/codec/alloc_failure.h"

#include <cstddef>

extern "C" {
void* __real_malloc(size_t size);
void* __real_realloc(void* block, size_t size);
}

namespace {
bool failing = false;
}

HeapFailure::HeapFailure() {
    failing = true;
}

HeapFailure::~HeapFailure() {
    failing = false;
}

extern "C" void* __wrap_malloc(size_t size) {
    return failing ? nullptr : __real_malloc(size);
}

extern "C" void* __wrap_realloc(void* block, size_t size) {
    return failing ? nullptr : __real_realloc(block, size);
}
