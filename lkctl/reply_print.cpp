#include "lkctl/reply_print.h"

#include <cstring>
#include <string_view>

#include "lkctl/json_format.h"
#include "lkctl/names.h"

namespace {

// JSON text as the service sends it ends with one NUL; the formatter wants it without.
bool asJsonText(const std::vector<unsigned char>& payload, std::string_view* text) {
    if (payload.empty() || payload.back() != '\0') return false;
    *text = std::string_view(reinterpret_cast<const char*>(payload.data()), payload.size() - 1);
    return text->find('\0') == std::string_view::npos;
}

std::string hexDump(const std::vector<unsigned char>& payload) {
    return hexBytes(
        std::string_view(reinterpret_cast<const char*>(payload.data()), payload.size()));
}

uint32_t littleEndian32(const std::vector<unsigned char>& payload) {
    return uint32_t{payload[0]} | uint32_t{payload[1]} << 8 | uint32_t{payload[2]} << 16 |
           uint32_t{payload[3]} << 24;
}

// The binary replies: a handle from watch and ping, a boolean from radio.
ReplyKind guessKind(uint8_t apiId, const std::vector<unsigned char>& payload) {
    std::string_view text;
    std::string ignored;
    if (asJsonText(payload, &text) && jsonFormat(text, 0, &ignored)) return ReplyKind::Json;
    if (payload.size() == 4 && (apiId == LK_API_WATCH || apiId == LK_API_PING))
        return ReplyKind::Handle;
    if (payload.size() == 1 && apiId == LK_API_RADIO) return ReplyKind::Bool;
    return ReplyKind::Hex;
}

}  // namespace

std::string formatReplyPayload(uint8_t apiId, ReplyKind show,
                               const std::vector<unsigned char>& payload) {
    if (payload.empty()) return "";
    if (show == ReplyKind::Auto) show = guessKind(apiId, payload);
    std::string_view text;
    std::string out;
    switch (show) {
        case ReplyKind::Json:
            if (asJsonText(payload, &text) && jsonFormat(text, 2, &out)) return out;
            break;
        case ReplyKind::Handle:
            if (payload.size() == 4) return std::to_string(littleEndian32(payload));
            break;
        case ReplyKind::Bool:
            if (payload.size() == 1) return payload[0] ? "true" : "false";
            break;
        default:
            break;
    }
    return hexDump(payload);
}

std::string statusText(int status) {
    std::string out = std::to_string(status);
    if (status == 0) return out + " (ok)";
    if (status == 255) return out + " (no handler)";
    return out + " (" + strerror(status) + ")";
}

std::string formatMessageLine(uint8_t apiId, const std::vector<unsigned char>& payload) {
    std::string_view text;
    std::string out;
    if (asJsonText(payload, &text) && jsonFormat(text, 0, &out)) return out;
    return "{\"message\":" + std::to_string(apiId) + ",\"hex\":\"" + hexDump(payload) + "\"}";
}
