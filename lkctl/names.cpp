#include "lkctl/names.h"

#include <locale.h>
#include <wchar.h>

#include <cstdio>

namespace {

// NMDeviceState: 0, 10, 20, ... 120.
constexpr const char* kStates[] = {
    "unknown",   "unmanaged", "unavailable", "disconnected", "prepare",      "config", "need-auth",
    "ip-config", "ip-check",  "secondaries", "activated",    "deactivating", "failed",
};

// NMDeviceStateReason, 0 to 67, by index.
constexpr const char* kReasons[] = {
    "none",
    "unknown",
    "now-managed",
    "now-unmanaged",
    "config-failed",
    "ip-config-unavailable",
    "ip-config-expired",
    "no-secrets",
    "supplicant-disconnect",
    "supplicant-config-failed",
    "supplicant-failed",
    "supplicant-timeout",
    "ppp-start-failed",
    "ppp-disconnect",
    "ppp-failed",
    "dhcp-start-failed",
    "dhcp-error",
    "dhcp-failed",
    "shared-start-failed",
    "shared-failed",
    "autoip-start-failed",
    "autoip-error",
    "autoip-failed",
    "modem-busy",
    "modem-no-dial-tone",
    "modem-no-carrier",
    "modem-dial-timeout",
    "modem-dial-failed",
    "modem-init-failed",
    "gsm-apn-failed",
    "gsm-registration-not-searching",
    "gsm-registration-denied",
    "gsm-registration-timeout",
    "gsm-registration-failed",
    "gsm-pin-check-failed",
    "firmware-missing",
    "removed",
    "sleeping",
    "connection-removed",
    "user-requested",
    "carrier",
    "connection-assumed",
    "supplicant-available",
    "modem-not-found",
    "bt-failed",
    "gsm-sim-not-inserted",
    "gsm-sim-pin-required",
    "gsm-sim-puk-required",
    "gsm-sim-wrong",
    "infiniband-mode",
    "dependency-failed",
    "br2684-failed",
    "modem-manager-unavailable",
    "ssid-not-found",
    "secondary-connection-failed",
    "dcb-fcoe-failed",
    "teamd-control-failed",
    "modem-failed",
    "modem-available",
    "sim-pin-incorrect",
    "new-activation",
    "parent-changed",
    "parent-managed-changed",
    "ovsdb-failed",
    "ip-address-duplicate",
    "ip-method-unsupported",
    "sriov-configuration-failed",
    "peer-not-found",
};

// NM80211ApFlags and NM80211ApSecurityFlags bits that decide the name.
constexpr int64_t kPrivacy = 0x1;
constexpr int64_t kKeyPsk = 0x100;
constexpr int64_t kKey8021x = 0x200;
constexpr int64_t kKeySae = 0x400;
constexpr int64_t kKeyOwe = 0x800 | 0x1000;
constexpr int64_t kKeySuiteB192 = 0x2000;

constexpr char kBase64[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

int base64Value(char c) {
    for (int i = 0; i < 64; ++i) {
        if (kBase64[i] == c) return i;
    }
    return -1;
}

// Bytes of the well-formed UTF-8 character at text[i] (no overlong forms, no surrogates), or 0.
size_t utf8Length(std::string_view text, size_t i) {
    auto byte = [&](size_t k) { return static_cast<unsigned char>(text[k]); };
    unsigned char c = byte(i);
    size_t n = c < 0x80                 ? 1
               : c >= 0xC2 && c <= 0xDF ? 2
               : c >= 0xE0 && c <= 0xEF ? 3
               : c >= 0xF0 && c <= 0xF4 ? 4
                                        : 0;
    if (n == 0 || i + n > text.size()) return 0;
    for (size_t k = 1; k < n; ++k) {
        if ((byte(i + k) & 0xC0) != 0x80) return 0;
    }
    unsigned char second = n > 1 ? byte(i + 1) : 0x80;
    if ((c == 0xE0 && second < 0xA0) || (c == 0xED && second > 0x9F) ||
        (c == 0xF0 && second < 0x90) || (c == 0xF4 && second > 0x8F)) {
        return 0;
    }
    return n;
}

}  // namespace

std::string deviceStateName(int64_t state) {
    if (state >= 0 && state <= 120 && state % 10 == 0) return kStates[state / 10];
    return "state " + std::to_string(state);
}

std::string stateReasonName(int64_t reason) {
    constexpr int64_t count = sizeof kReasons / sizeof kReasons[0];
    if (reason >= 0 && reason < count) return kReasons[reason];
    return "reason " + std::to_string(reason);
}

const char* securityName(int64_t apFlags, int64_t wpaFlags, int64_t rsnFlags) {
    int64_t any = wpaFlags | rsnFlags;
    if (any & (kKey8021x | kKeySuiteB192)) return "enterprise";
    if ((rsnFlags & kKeySae) && (rsnFlags & kKeyPsk)) return "WPA2/WPA3";
    if (rsnFlags & kKeySae) return "WPA3";
    if (rsnFlags & kKeyPsk) return "WPA2";
    if (wpaFlags & kKeyPsk) return "WPA";
    if (any & kKeyOwe) return "OWE";
    if (rsnFlags != 0) return "WPA2";
    if (wpaFlags != 0) return "WPA";
    return (apFlags & kPrivacy) ? "WEP" : "open";
}

WifiChannel wifiChannel(int64_t mhz) {
    if (mhz == 2484) return {"2.4 GHz", 14};
    if (mhz >= 2412 && mhz <= 2472) return {"2.4 GHz", static_cast<int>(mhz - 2407) / 5};
    if (mhz >= 5160 && mhz <= 5885) return {"5 GHz", static_cast<int>(mhz - 5000) / 5};
    if (mhz == 5935) return {"6 GHz", 2};
    if (mhz >= 5955 && mhz <= 7115) return {"6 GHz", static_cast<int>(mhz - 5950) / 5};
    return {nullptr, 0};
}

std::string base64Encode(std::string_view bytes) {
    std::string out;
    for (size_t i = 0; i < bytes.size(); i += 3) {
        uint32_t group = 0;
        size_t n = bytes.size() - i < 3 ? bytes.size() - i : 3;
        for (size_t k = 0; k < 3; ++k) {
            group = group << 8 | (k < n ? static_cast<unsigned char>(bytes[i + k]) : 0);
        }
        for (size_t k = 0; k < 4; ++k) {
            out.push_back(k <= n ? kBase64[(group >> (18 - 6 * k)) & 63] : '=');
        }
    }
    return out;
}

bool base64Decode(std::string_view text, std::string* bytes) {
    bytes->clear();
    if (text.size() % 4 != 0) return false;
    for (size_t i = 0; i < text.size(); i += 4) {
        uint32_t group = 0;
        size_t padding = 0;
        for (size_t k = 0; k < 4; ++k) {
            int value = base64Value(text[i + k]);
            bool pad = text[i + k] == '=' && i + 4 == text.size() && k >= 2;
            if ((value < 0 && !pad) || (padding > 0 && !pad)) return false;
            padding += pad ? 1 : 0;
            group = group << 6 | (value < 0 ? 0 : static_cast<uint32_t>(value));
        }
        for (size_t k = 0; k < 3 - padding; ++k) {
            bytes->push_back(static_cast<char>((group >> (16 - 8 * k)) & 0xFF));
        }
    }
    return true;
}

std::string printableSsid(std::string_view bytes) {
    std::string out;
    for (size_t i = 0; i < bytes.size();) {
        size_t n = utf8Length(bytes, i);
        auto c = static_cast<unsigned char>(bytes[i]);
        if (n == 0 || c < 0x20 || c == 0x7F) {
            char escaped[5];
            snprintf(escaped, sizeof escaped, "\\x%02x", c);
            out += escaped;
            ++i;
            continue;
        }
        if (c == '\\') out.push_back('\\');
        out.append(bytes.substr(i, n));
        i += n;
    }
    return out;
}

bool validUtf8(std::string_view bytes) {
    for (size_t i = 0; i < bytes.size();) {
        size_t n = utf8Length(bytes, i);
        if (n == 0) return false;
        i += n;
    }
    return true;
}

std::string hexBytes(std::string_view bytes) {
    static constexpr char kDigits[] = "0123456789abcdef";
    std::string out;
    for (unsigned char c : bytes) {
        out.push_back(kDigits[c >> 4]);
        out.push_back(kDigits[c & 15]);
    }
    return out;
}

size_t displayWidth(std::string_view text) {
    // The C library's widths (East Asian wide characters and emoji take two columns) come
    // with a UTF-8 locale; whatever locale the caller runs in, this one is used here.
    static const locale_t utf8 = newlocale(LC_CTYPE_MASK, "C.UTF-8", locale_t{});
    locale_t previous = utf8 != locale_t{} ? uselocale(utf8) : locale_t{};
    size_t width = 0;
    for (size_t i = 0; i < text.size();) {
        size_t n = utf8Length(text, i);
        if (n == 0) {  // not UTF-8: one column, as the terminal shows a replacement
            ++width;
            ++i;
            continue;
        }
        char32_t code = n == 1 ? static_cast<unsigned char>(text[i])
                               : static_cast<unsigned char>(text[i]) & (0x7F >> n);
        for (size_t k = 1; k < n; ++k)
            code = code << 6 | (static_cast<unsigned char>(text[i + k]) & 0x3F);
        int columns = wcwidth(static_cast<wchar_t>(code));
        width += columns > 0 ? static_cast<size_t>(columns) : 0;
        i += n;
    }
    if (previous != locale_t{}) uselocale(previous);
    return width;
}
