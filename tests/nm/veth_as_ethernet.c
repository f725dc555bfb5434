/* Preloaded into a linkKeeper started by the integration tests, never into the product: makes
 * libnm's device-type query answer Ethernet for veth devices, the only wired devices a network
 * namespace offers, so that the Ethernet profile path runs against a real NetworkManager. */
#define _GNU_SOURCE
#include <NetworkManager.h>
#include <dlfcn.h>

typedef NMDeviceType (*DeviceTypeQuery)(NMDevice*);

NMDeviceType nm_device_get_device_type(NMDevice* device) {
    static DeviceTypeQuery real;
    if (!real) real = (DeviceTypeQuery)dlsym(RTLD_NEXT, "nm_device_get_device_type");
    if (NM_IS_DEVICE_VETH(device)) return NM_DEVICE_TYPE_ETHERNET;
    return real(device);
}
