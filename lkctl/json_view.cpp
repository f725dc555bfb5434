#include "lkctl/json_view.h"

std::string_view payloadText(const std::vector<unsigned char>& payload) {
    std::string_view text(reinterpret_cast<const char*>(payload.data()), payload.size());
    if (!text.empty() && text.back() == '\0') text.remove_suffix(1);
    return text;
}

bool JsonView::parse(const std::vector<unsigned char>& payload, JsonView* out) {
    std::string_view text = payloadText(payload);
    if (text.empty() || !json_validn(text.data(), static_cast<int64_t>(text.size())).valid) {
        return false;
    }
    *out = JsonView(json_parsen(text.data(), text.size()));
    return true;
}

std::string JsonView::str() const {
    if (json_type(value_) != JSON_TYPE_STRING) return "";
    std::string out(json_string_length(value_), '\0');
    json_string_copy(value_, out.data(), out.size() + 1);
    return out;
}

std::string_view JsonView::raw() const {
    if (!json_exists(value_)) return {};
    return std::string_view(json_raw(value_), json_raw_length(value_));
}
