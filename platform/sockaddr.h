#pragma once
// Bus server name resolution: node ids from the node address list first, then getaddrinfo.
#include <sys/socket.h>

#include <cstdint>
#include <vector>

#include "platform/c_owners.h"

// One heap block (release with free): the fields, then `length` bytes of socket address.
struct SockAddrInfo {
    int family;
    uint32_t length;
    struct sockaddr* address;  // points just past this record, inside the same block
    char text[56];             // printable address for AF_INET/AF_INET6, else empty
};

using SockAddrInfoPtr = MallocPtr<SockAddrInfo>;

// Address listed for nodeId in "/mnt/datafs/peerKeeper/nodes" (heap copy), or null.
char* yebResolveNodeId(const char* nodeId);
// First getaddrinfo result for host (null: "localhost") and port, or null.
SockAddrInfo* getSockAddrInfo(const char* host, int port);
// Every stream address of host and port, in the resolver's order (node ids first looked up as
// above); empty when nothing resolves. *error gets getaddrinfo's code (0 when it answered).
std::vector<SockAddrInfoPtr> getSockAddrInfoList(const char* host, int port, int* error);
