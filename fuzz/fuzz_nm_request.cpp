// The two JSON request decoders of the NetworkManager adapter over arbitrary payloads, handed
// over as the dispatch loop does (payload, then a NUL that is not part of it).
#include <cstdint>
#include <cstring>
#include <vector>

#include "nm/nmjson_unmarshal.h"
#include "platform/node.h"

// The platform's byte order (little-endian) without linking the node facts it sits with.
int yebEndian() {
    return 0;
}

namespace {

void check(bool condition) {
    if (!condition) __builtin_trap();
}

template <size_t N>
bool terminated(const char (&text)[N]) {
    return memchr(text, '\0', N) != nullptr;
}

void checkConnection(const nmaConnection& c) {
    check(terminated(c.interface) && terminated(c.ip4.method) && terminated(c.ip4.address));
    check(terminated(c.ip6.gateway) && terminated(c.wifi.mode) && terminated(c.wifi.security.psk));
    check(c.ip4.dnsCount >= 0 && c.ip4.dnsCount <= NMA_IP4_DNS_MAX);
    check(c.ip6.addressesCount >= 0 && c.ip6.addressesCount <= NMA_IP6_ADDRESSES_MAX);
    check(c.ip6.dnsCount >= 0 && c.ip6.dnsCount <= NMA_IP6_DNS_MAX);
    check(c.wifi.ssidLength <= NMA_SSID_MAX);
    check(c.wifi.mode[0] == '\0' || strcmp(c.wifi.mode, "infrastructure") == 0 ||
          strcmp(c.wifi.mode, "ap") == 0);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size > 1 << 16) return 0;
    std::vector<unsigned char> payload(data, data + size);
    payload.push_back(0);
    Decoder dec;
    decoderWrap(&dec, payload.data(), static_cast<int>(size));
    nmaConnection connection;
    if (nmjson_unmarshal_nmaConnection(&dec, &connection) == 0) checkConnection(connection);
    nmaWatchInterfaceCfg watch;
    if (nmjson_unmarshal_nmaWatchInterfaceCfg(&dec, &watch) == 0) {
        check(terminated(watch.interface) && terminated(watch.property));
    }
    return 0;
}
