#include "platform/sockaddr.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>

#include <cstdio>
#include <cstring>

namespace {

constexpr const char* kNodeAddressList = "/mnt/datafs/peerKeeper/nodes";

using CharPtr = MallocPtr<char>;

// Heap copy of the line's second token when its first one is nodeId, else null.
char* matchNodeLine(char* line, const char* nodeId) {
    const char* separators = " \t\n";
    char* save = nullptr;
    const char* id = strtok_r(line, separators, &save);
    const char* address = strtok_r(nullptr, separators, &save);
    if (id == nullptr || address == nullptr || std::strcmp(id, nodeId) != 0) return nullptr;
    return strdup(address);
}

void fillText(SockAddrInfo* info) {
    info->text[0] = '\0';
    const void* raw = nullptr;
    if (info->family == AF_INET) {
        raw = &reinterpret_cast<sockaddr_in*>(info->address)->sin_addr;
    } else if (info->family == AF_INET6) {
        raw = &reinterpret_cast<sockaddr_in6*>(info->address)->sin6_addr;
    }
    if (raw != nullptr && inet_ntop(info->family, raw, info->text, sizeof info->text) == nullptr) {
        info->text[0] = '\0';
    }
}

SockAddrInfo* makeSockAddrInfo(const addrinfo& entry) {
    auto* info = static_cast<SockAddrInfo*>(std::malloc(sizeof(SockAddrInfo) + entry.ai_addrlen));
    if (info == nullptr) return nullptr;
    info->family = entry.ai_family;
    info->length = entry.ai_addrlen;
    info->address = reinterpret_cast<sockaddr*>(info + 1);
    std::memcpy(info->address, entry.ai_addr, entry.ai_addrlen);
    fillText(info);
    return info;
}

// The resolver's list for a node id's listed address, else the host, else "localhost".
AddrInfoPtr resolve(const char* host, int port, const addrinfo* hints, int* error = nullptr) {
    CharPtr listed{yebResolveNodeId(host)};
    const char* name = listed ? listed.get() : host != nullptr ? host : "localhost";
    char service[8];
    std::snprintf(service, sizeof service, "%d", port);
    addrinfo* raw = nullptr;
    int status = getaddrinfo(name, service, hints, &raw);
    if (error != nullptr) *error = status;
    return AddrInfoPtr(status == 0 ? raw : nullptr);
}

}  // namespace

char* yebResolveNodeId(const char* nodeId) {
    if (nodeId == nullptr) return nullptr;
    FilePtr file{std::fopen(kNodeAddressList, "re")};
    if (!file) return nullptr;
    CharPtr line;
    size_t capacity = 0;
    for (;;) {
        char* raw = line.release();
        ssize_t length = getline(&raw, &capacity, file.get());
        line.reset(raw);
        if (length < 0) return nullptr;
        if (char* address = matchNodeLine(line.get(), nodeId)) return address;
    }
}

SockAddrInfo* getSockAddrInfo(const char* host, int port) {
    AddrInfoPtr list = resolve(host, port, nullptr);
    return list ? makeSockAddrInfo(*list) : nullptr;
}

std::vector<SockAddrInfoPtr> getSockAddrInfoList(const char* host, int port, int* error) {
    addrinfo hints{};
    hints.ai_socktype = SOCK_STREAM;
    std::vector<SockAddrInfoPtr> all;
    AddrInfoPtr list = resolve(host, port, &hints, error);
    for (const addrinfo* entry = list.get(); entry != nullptr; entry = entry->ai_next) {
        if (SockAddrInfo* info = makeSockAddrInfo(*entry)) all.emplace_back(info);
    }
    return all;
}
