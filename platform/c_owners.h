#pragma once
// Owners for what the C library hands out: one deleter per release function, one alias per
// kind of resource. Every module takes its owners from here.
#include <dirent.h>
#include <netdb.h>

#include <cstdio>
#include <cstdlib>
#include <memory>

struct FreeDeleter {
    void operator()(void* memory) const { std::free(memory); }
};
struct AddrInfoDeleter {
    void operator()(addrinfo* list) const { freeaddrinfo(list); }
};
struct DirDeleter {
    void operator()(DIR* dir) const { closedir(dir); }
};
struct FileDeleter {
    void operator()(FILE* file) const { std::fclose(file); }
};

// Memory from malloc, calloc, strdup and friends.
template <typename T>
using MallocPtr = std::unique_ptr<T, FreeDeleter>;
using AddrInfoPtr = std::unique_ptr<addrinfo, AddrInfoDeleter>;
using DirPtr = std::unique_ptr<DIR, DirDeleter>;
using FilePtr = std::unique_ptr<FILE, FileDeleter>;
