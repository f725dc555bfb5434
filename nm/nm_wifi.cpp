#include "nm/nm_wifi.h"

#include <NetworkManager.h>
#include <time.h>
#include <cerrno>

#include <cstdint>

#include "codec/codec.h"
#include "nm/glib_ptr.h"
#include "nm/nm_worker.h"
#include "nm/nmhelper.h"

namespace {

enum RadioCode : uint8_t { kRadioOff = 0, kRadioOn = 1, kRadioQuery = 2 };

const char* requestIfname(TrelRequest* request) {
    return reinterpret_cast<const char*>(decodePtr(&request->decoder));
}

// The Wi-Fi device of the request's interface name: -ENOENT unknown name, -EINVAL not Wi-Fi.
int findWifiDevice(TrelRequest* request, NMDeviceWifi** wifi) {
    NMDevice* device = nmhelper_find_device(requestIfname(request));
    if (!device) return -ENOENT;
    if (!NM_IS_DEVICE_WIFI(device)) return -EINVAL;
    *wifi = NM_DEVICE_WIFI(device);
    return 0;
}

// Seconds of the boot-time clock, the clock NetworkManager stamps "last seen" with.
int32_t bootTimeSeconds() {
    timespec now{};
    clock_gettime(CLOCK_BOOTTIME, &now);
    return static_cast<int32_t>(now.tv_sec);
}

int setRadio(bool on) {
    return nmhelper_dbus_set_property(nmClient, "/org/freedesktop/NetworkManager",
                                      "org.freedesktop.NetworkManager", "WirelessEnabled",
                                      g_variant_new_boolean(on));
}

}  // namespace

int nmadapter_encodeAPDetails(Encoder* enc, NMAccessPoint* ap) {
    GBytes* ssid = nm_access_point_get_ssid(ap);
    gsize ssidLength = 0;
    const void* ssidBytes = ssid ? g_bytes_get_data(ssid, &ssidLength) : nullptr;
    if (ssidLength == 0) return -EINVAL;
    if (!enc) return 0;
    GCharPtr ssidText(g_base64_encode(static_cast<const guchar*>(ssidBytes), ssidLength));
    encodeJsonNameStrValue(enc, "ssid", ssidText.get());
    encodeJsonNameStrValue(enc, "bssid", nm_access_point_get_bssid(ap));
    encodeJsonNameIntValue(enc, "signal", static_cast<int8_t>(nm_access_point_get_strength(ap)));
    encodeJsonNameIntValue(enc, "apFlags", static_cast<int32_t>(nm_access_point_get_flags(ap)));
    encodeJsonNameIntValue(enc, "wpaFlags",
                           static_cast<int32_t>(nm_access_point_get_wpa_flags(ap)));
    encodeJsonNameIntValue(enc, "rsnFlags",
                           static_cast<int32_t>(nm_access_point_get_rsn_flags(ap)));
    encodeJsonNameIntValue(enc, "frequency",
                           static_cast<int32_t>(nm_access_point_get_frequency(ap)));
    encodeJsonNameIntValue(enc, "bitrate",
                           static_cast<int32_t>(nm_access_point_get_max_bitrate(ap)));
    return 0;
}

int nmadapter_getAccessPoints(TrelRequest* request) {
    NM_ASSERT_ON_WORKER();
    NMDeviceWifi* wifi = nullptr;
    if (int status = findWifiDevice(request, &wifi); status < 0) return status;
    Encoder* enc = &request->encoder;
    encodeJsonStart(enc);
    encodeJsonListStart(enc);
    int32_t now = bootTimeSeconds();
    const GPtrArray* aps = nm_device_wifi_get_access_points(wifi);
    for (guint i = 0; aps && i < aps->len; i++) {
        auto* ap = NM_ACCESS_POINT(aps->pdata[i]);
        if (nmadapter_encodeAPDetails(nullptr, ap) < 0) continue;  // hidden network
        encodeJsonObjectStart(enc);
        nmadapter_encodeAPDetails(enc, ap);
        encodeJsonNameIntValue(enc, "lastSeenAgo", now - nm_access_point_get_last_seen(ap));
        encodeJsonObjectEnd(enc);
    }
    encodeJsonListEnd(enc);
    encodeJsonEnd(enc);
    return encoderSize(enc);
}

int nmadapter_WifiStartScan(TrelRequest* request) {
    NM_ASSERT_ON_WORKER();
    NMDeviceWifi* wifi = nullptr;
    if (int status = findWifiDevice(request, &wifi); status < 0) return status;
    return nmhelper_device_wifi_request_scan(wifi);
}

int nmadapter_wifiRadioStatusSet(TrelRequest* request) {
    NM_ASSERT_ON_WORKER();
    // The bus puts a NUL after every payload: without this test an empty request would read
    // that NUL as code 0 and switch the radio off.
    if (decoderRemaining(&request->decoder) < 1) return -EINVAL;
    switch (decodeUint8(&request->decoder)) {
        case kRadioOff:
            return setRadio(false);
        case kRadioOn:
            return setRadio(true);
        case kRadioQuery:
            encodeBool(&request->encoder, nm_client_wireless_get_enabled(nmClient));
            return encoderSize(&request->encoder);
        default:
            return 0;  // unknown codes are ignored, not refused
    }
}
