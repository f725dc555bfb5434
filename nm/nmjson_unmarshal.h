#pragma once
// Decoders of the two JSON requests, set connection (id 3) and watch interface (id 5), into
// pointer-free records. Texts are NUL-terminated and cut to their array; fields the request
// does not fill stay zero. Results: 0, or -22 for invalid text or a missing required member.
#include <cstddef>
#include <cstdint>

#include "codec/codec.h"

constexpr int NMA_IP4_DNS_MAX = 2;
constexpr int NMA_IP6_ADDRESSES_MAX = 4;
constexpr int NMA_IP6_DNS_MAX = 2;
constexpr size_t NMA_SSID_MAX = 32;

// Fields are named by the JSON members that fill them ("ip4.method" is ip4.method).
struct nmaConnection {
    char interface[32];
    int32_t remove;
    struct {
        char method[32];
        char address[16];
        uint32_t prefix;
        char gateway[16];
        int32_t dnsCount;
        char dns[NMA_IP4_DNS_MAX][16];
    } ip4;
    struct {
        char method[32];
        char gateway[64];
        int32_t addressesCount;
        char addresses[NMA_IP6_ADDRESSES_MAX][64];
        int32_t dnsCount;
        char dns[NMA_IP6_DNS_MAX][64];
        char addrGenMode[32];  // "addr-gen-mode"
    } ip6;
    struct {
        char mode[24];  // "infrastructure" or "ap" once decoded; empty without "wifi"
        unsigned char ssid[NMA_SSID_MAX];  // raw bytes, not NUL-terminated
        size_t ssidLength;
        struct {
            char keymgt[32];
            char psk[64];  // in clear: never log it
        } security;
    } wifi;
};

struct nmaWatchInterfaceCfg {
    char interface[32];
    char property[32];
    uint32_t handle;
};

// A decoded SSID longer than NMA_SSID_MAX bytes is refused (-22) rather than cut: a cut SSID
// names another network.
int nmjson_unmarshal_nmaConnection(Decoder* dec, nmaConnection* connection);
int nmjson_unmarshal_nmaWatchInterfaceCfg(Decoder* dec, nmaWatchInterfaceCfg* config);
