/* Preloaded into a linkKeeper started by the integration tests, never into the product: makes
 * libnm's device-type query answer Ethernet for veth devices, the only wired devices a network
 * namespace offers, so that the Ethernet profile path runs against a real NetworkManager; the
 * veth devices named in LK_VETH_AS_WIFI (comma-separated) answer Wi-Fi instead, so that the real
 * NetworkManager validates and stores the Wi-Fi profiles request 3 builds. */
#define _GNU_SOURCE
#include <NetworkManager.h>
#include <dlfcn.h>
#include <stdlib.h>
#include <string.h>

typedef NMDeviceType (*DeviceTypeQuery)(NMDevice*);

static int named_as_wifi(const char* ifname) {
    const char* list = getenv("LK_VETH_AS_WIFI");
    size_t length = ifname ? strlen(ifname) : 0;
    for (const char* p = list; p && *p && length;) {
        const char* end = strchr(p, ',');
        size_t n = end ? (size_t)(end - p) : strlen(p);
        if (n == length && strncmp(p, ifname, n) == 0) return 1;
        p = end ? end + 1 : NULL;
    }
    return 0;
}

NMDeviceType nm_device_get_device_type(NMDevice* device) {
    static DeviceTypeQuery real;
    if (!real) real = (DeviceTypeQuery)dlsym(RTLD_NEXT, "nm_device_get_device_type");
    if (!NM_IS_DEVICE_VETH(device)) return real(device);
    return named_as_wifi(nm_device_get_iface(device)) ? NM_DEVICE_TYPE_WIFI : NM_DEVICE_TYPE_ETHERNET;
}
