#include "nm/nm_wifi.h"

#include <NetworkManager.h>
#include <time.h>
#include <cerrno>

#include <algorithm>
#include <cstdint>
#include <vector>

#include "codec/codec.h"
#include "nm/glib_ptr.h"
#include "nm/nm_device.h"
#include "nm/nm_operation.h"
#include "nm/nm_park.h"
#include "nm/nm_worker.h"

namespace {

// "[", "]" and the NUL around the entries, and room the writer keeps free near the end.
constexpr int kListFrame = 3;
constexpr int kWriterSlack = 16;

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

NmTask setRadio(bool on) {
    return nmhelper_dbus_set_property("/org/freedesktop/NetworkManager",
                                      "org.freedesktop.NetworkManager", "WirelessEnabled",
                                      g_variant_new_boolean(on));
}

// One access point's object as the list writes it.
void encodeListEntry(Encoder* enc, NMAccessPoint* ap, int32_t now) {
    encodeJsonObjectStart(enc);
    nmadapter_encodeAPDetails(enc, ap);
    encodeJsonNameIntValue(enc, "lastSeenAgo", now - nm_access_point_get_last_seen(ap));
    encodeJsonObjectEnd(enc);
}

std::vector<bool> strongestThatFit(const std::vector<NMAccessPoint*>& listed, int32_t now,
                                   uint32_t capacity) {
    // Each entry measured alone; in the list a comma joins it to the one before.
    std::vector<int> sizes;
    int total = kListFrame;
    for (NMAccessPoint* ap : listed) {
        Encoder scratch;
        if (encoderCreate(&scratch, 256) != 0) return std::vector<bool>(listed.size(), true);
        encodeJsonStart(&scratch);
        encodeListEntry(&scratch, ap, now);
        sizes.push_back(encoderSize(&scratch) + 1);
        total += sizes.back();
        encoderFree(&scratch);
    }
    int budget = static_cast<int>(capacity) - kListFrame - kWriterSlack;
    if (total <= budget) return std::vector<bool>(listed.size(), true);
    std::vector<size_t> order(listed.size());
    for (size_t i = 0; i < order.size(); ++i) order[i] = i;
    std::stable_sort(order.begin(), order.end(), [&](size_t a, size_t b) {
        return nm_access_point_get_strength(listed[a]) > nm_access_point_get_strength(listed[b]);
    });
    std::vector<bool> kept(listed.size(), false);
    int used = 0;
    size_t count = 0;
    for (size_t index : order) {
        if (used + sizes[index] > budget) break;
        used += sizes[index];
        kept[index] = true;
        ++count;
    }
    yebLog("access points: %zu of %zu fit the reply; the %zu weakest left out\n", count,
           listed.size(), listed.size() - count);
    return kept;
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

NmTask nmadapter_getAccessPoints(TrelRequest* request) {
    NM_ASSERT_ON_WORKER();
    NMDeviceWifi* wifi = nullptr;
    if (int status = findWifiDevice(request, &wifi); status < 0) co_return status;
    int32_t now = bootTimeSeconds();
    std::vector<NMAccessPoint*> listed;
    const GPtrArray* aps = nm_device_wifi_get_access_points(wifi);
    for (guint i = 0; aps && i < aps->len; i++) {
        auto* ap = NM_ACCESS_POINT(aps->pdata[i]);
        if (nmadapter_encodeAPDetails(nullptr, ap) == 0) listed.push_back(ap);  // not hidden
    }
    std::vector<bool> kept = strongestThatFit(listed, now, request->replyCapacity);
    Encoder* enc = &request->encoder;
    encodeJsonStart(enc);
    encodeJsonListStart(enc);
    for (size_t i = 0; i < listed.size(); ++i) {
        if (kept[i]) encodeListEntry(enc, listed[i], now);
    }
    encodeJsonListEnd(enc);
    encodeJsonEnd(enc);
    co_return encoderSize(enc);
}

NmTask nmadapter_WifiStartScan(TrelRequest* request) {
    NM_ASSERT_ON_WORKER();
    NMDeviceWifi* wifi = nullptr;
    if (int status = findWifiDevice(request, &wifi); status < 0) co_return status;
    // Referenced, and in the interface's turn: its changes come before or after the scan.
    GObjectPtr<NMDeviceWifi> held = retainGObject(wifi);
    NmTurn turn(requestIfname(request));
    co_await turn;
    if (!nmhelper_device_present(NM_DEVICE(wifi))) co_return -ENOENT;
    co_return co_await nmhelper_device_wifi_request_scan(wifi);
}

NmTask nmadapter_wifiRadioStatusSet(TrelRequest* request) {
    NM_ASSERT_ON_WORKER();
    // The bus puts a NUL after every payload: without this test an empty request would read
    // that NUL as code 0 and switch the radio off.
    if (decoderRemaining(&request->decoder) < 1) co_return -EINVAL;
    uint8_t code = decodeUint8(&request->decoder);
    if (code == kRadioQuery) {  // read from the cache at once, whatever waits
        encodeBool(&request->encoder, nm_client_wireless_get_enabled(nmClient));
        co_return encoderSize(&request->encoder);
    }
    if (code != kRadioOff && code != kRadioOn) co_return 0;  // ignored, not refused
    // The radio's changes take turns of their own ('/' is in no interface name).
    NmTurn turn("/radio");
    co_await turn;
    co_return co_await setRadio(code == kRadioOn);
}
