#pragma once
// Decoders of the two JSON requests, set connection (id 3) and watch interface (id 5), into
// pointer-free records. Texts are NUL-terminated and copied whole or refused, never cut; fields
// the request does not fill stay zero. Results: 0, or -22 for invalid text, a missing required
// member, or a text that is no string or does not fit its field.
#include <cstddef>
#include <cstdint>

#include "bus/bus.h"
#include "codec/codec.h"

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
        char dns[LK_IP4_DNS_MAX][16];
        int32_t ignoreAutoDns;  // "ignore-auto-dns": -1 when left out, else 0 or 1
    } ip4;
    struct {
        char method[32];
        char gateway[64];
        int32_t addressesCount;
        char addresses[LK_IP6_ADDRESSES_MAX][64];
        int32_t dnsCount;
        char dns[LK_IP6_DNS_MAX][64];
        char addrGenMode[32];   // "addr-gen-mode"
        int32_t ignoreAutoDns;  // as in ip4
    } ip6;
    struct {
        char mode[24];  // "infrastructure" or "ap" once decoded; empty without "wifi"
        unsigned char ssid[LK_SSID_MAX];  // raw bytes, not NUL-terminated
        size_t ssidLength;
        int32_t hidden;  // "hidden": join a network that does not broadcast its SSID
        struct {
            char keymgt[32];
            char psk[65];  // in clear: never log it; a raw key has 64 digits
            // "psk": null: keep the key of the interface's profile; the request flow fills psk
            // (empty when that profile stores none) and pskFlags (how it keeps the key).
            int32_t keepStoredPsk;
            uint32_t pskFlags;
        } security;
    } wifi;
    uint32_t wait;      // seconds to wait for the device to activate; 0: answer at once
    uint32_t rollback;  // seconds before NetworkManager undoes an unconfirmed change; 0: none
    struct {
        char host[256];    // echo requests go to it out of the interface; empty: no check
        uint32_t seconds;  // until one is answered, at most this long
    } verify;
};

struct nmaWatchInterfaceCfg {
    char interface[32];
    char property[32];
    uint32_t handle;
};

// Refused with -EINVAL rather than cut or guessed: a decoded SSID longer than LK_SSID_MAX
// bytes (a cut SSID names another network), an SSID that is not strict standard Base64, an
// empty key (a "psk" of null is no key: it asks to keep the stored one), an "ip4.prefix" outside 1
// to 32, a "dns" or "addresses" that is no array, "wait" outside 1 to 120 and "rollback" outside 5
// to 3600 seconds, "wifi.hidden" or "ignore-auto-dns" that is not a boolean, a "verify" without a
// host or with a host that does not fit, "verify.seconds" outside 1 to 120 (default 10).
int nmjson_unmarshal_nmaConnection(Decoder* dec, nmaConnection* connection);
int nmjson_unmarshal_nmaWatchInterfaceCfg(Decoder* dec, nmaWatchInterfaceCfg* config);
// {"checkpoint": N} of requests 15 and 16: 0 with N (1 and up), or -EINVAL.
int nmjson_unmarshal_checkpoint(Decoder* dec, uint32_t* number);
