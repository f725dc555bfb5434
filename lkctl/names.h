#pragma once
// NetworkManager's numbers and bytes as people read them: device states and state-change
// reasons by name (NMDeviceState, NMDeviceStateReason), access-point security from the flag
// words, band and channel from the frequency, SSIDs decoded from Base64.
#include <cstdint>
#include <string>
#include <string_view>

// "activated", "disconnected", ...; "state N" for a number NetworkManager has not defined.
std::string deviceStateName(int64_t state);
// "user-requested", "carrier", ...; "reason N" for an unknown number.
std::string stateReasonName(int64_t reason);
// open, WEP, WPA, WPA2, WPA3, WPA2/WPA3, OWE or enterprise, from the access point's privacy
// flag and its WPA and RSN flag words (NM80211ApFlags, NM80211ApSecurityFlags).
const char* securityName(int64_t apFlags, int64_t wpaFlags, int64_t rsnFlags);

struct WifiChannel {
    const char* band;  // "2.4 GHz", "5 GHz", "6 GHz"; null for a frequency outside them
    int channel;
};
WifiChannel wifiChannel(int64_t megahertz);

// Standard Base64 with padding.
std::string base64Encode(std::string_view bytes);
// False for text that is not strict standard Base64.
bool base64Decode(std::string_view text, std::string* bytes);
// SSID bytes for a terminal: UTF-8 text as it is, a backslash as \\, and every control byte
// or byte that is not UTF-8 as \xNN.
std::string printableSsid(std::string_view bytes);
// True for bytes that are UTF-8 text.
bool validUtf8(std::string_view bytes);
// "ff01": two lower-case hex digits per byte.
std::string hexBytes(std::string_view bytes);
// Columns the text takes on a terminal: wide characters (CJK, emoji) two, combining marks none.
size_t displayWidth(std::string_view text);
