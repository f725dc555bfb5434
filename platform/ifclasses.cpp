#include "platform/ifclasses.h"

#include <cstdio>
#include <cstring>
#include <memory>

#include "platform/c_owners.h"

namespace {

constexpr int kMaxEntries = 8;
// A longer line arrives in pieces of 31 characters, each taken as an entry of its own.
constexpr int kLineSize = 32;

constexpr const char* kBootDirs[] = {"/run/yeb/boot", "/mnt/datafs/boot", "/usr/share/yeb/boot"};

struct ClassList {
    const char* key;
    const char* entries[kMaxEntries];
    int count;
};

enum ClassId { kExternal, kIntegration, kInternal };

// Filled once on first use and kept for the process's life; entries are never freed.
ClassList lists[] = {
    {"netif_external", {}, 0}, {"netif_integration", {}, 0}, {"netif_internal", {}, 0}};
bool loaded = false;

// The first directory holding the file decides, even when that file is empty.
FilePtr openBootList(const char* key) {
    for (const char* dir : kBootDirs) {
        char path[4096];
        std::snprintf(path, sizeof path, "%s/%s", dir, key);
        if (FILE* file = std::fopen(path, "re")) return FilePtr(file);
    }
    return nullptr;
}

void trimTrailing(char* line) {
    size_t length = std::strlen(line);
    while (length > 0 && std::strchr(" \t\n\v\f\r", line[length - 1]) != nullptr) --length;
    line[length] = '\0';
}

void readBootList(ClassList& list) {
    FilePtr file = openBootList(list.key);
    if (!file) return;
    char line[kLineSize];
    while (std::fgets(line, sizeof line, file.get()) != nullptr) {
        trimTrailing(line);
        if (line[0] == '\0' || list.count >= kMaxEntries) continue;
        if (const char* copy = strdup(line)) list.entries[list.count++] = copy;
    }
}

const ClassList& classList(ClassId id) {
    if (!loaded) {
        for (ClassList& list : lists) readBootList(list);
        loaded = true;
    }
    return lists[id];
}

int countOf(ClassId id) {
    return classList(id).count;
}

const char* entryOf(ClassId id, int index) {
    const ClassList& list = classList(id);
    return index >= 0 && index < list.count ? list.entries[index] : nullptr;
}

int isMember(ClassId id, const char* name) {
    const ClassList& list = classList(id);
    for (int i = 0; i < list.count; ++i) {
        if (std::strcmp(list.entries[i], name) == 0) return 1;
    }
    return 0;
}

}  // namespace

int yebExternalIfaceCnt() {
    return countOf(kExternal);
}
int yebIntegrationIfaceCnt() {
    return countOf(kIntegration);
}
int yebInternalIfaceCnt() {
    return countOf(kInternal);
}

const char* yebExternalIface(int index) {
    return entryOf(kExternal, index);
}
const char* yebIntegrationIface(int index) {
    return entryOf(kIntegration, index);
}
const char* yebInternalIface(int index) {
    return entryOf(kInternal, index);
}

int yebIsExternalIface(const char* name) {
    return isMember(kExternal, name);
}
int yebIsIntegrationIface(const char* name) {
    return isMember(kIntegration, name);
}
int yebIsInternalIface(const char* name) {
    return isMember(kInternal, name);
}
