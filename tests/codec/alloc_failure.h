#pragma once
// Lets a test make the heap fail under the code it calls. The test binary links with
// --wrap=malloc and --wrap=realloc, so the codec's calls come here; libc and libstdc++ keep
// the real allocator.

// While one of these lives, every malloc and realloc of the codec returns null.
class HeapFailure {
  public:
    HeapFailure();
    ~HeapFailure();
    HeapFailure(const HeapFailure&) = delete;
    HeapFailure& operator=(const HeapFailure&) = delete;
};
