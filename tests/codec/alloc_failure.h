#pragma once
// Lets a test make the heap fail under the code it calls. The test binary links with
// --wrap=malloc and --wrap=realloc, so the codec's calls go through alloc_failure.cpp; libc and
// libstdc++ keep the real allocator.

extern bool heapFails;

// While one of these lives, every malloc and realloc of the codec returns null.
struct HeapFailure {
    HeapFailure() { heapFails = true; }
    ~HeapFailure() { heapFails = false; }
};
