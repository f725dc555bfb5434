#pragma once
// Read access to a reply's JSON for the printers, over the JSON reader: members by name,
// elements by index. An absent member, null or a value of another type reads as empty, 0 or
// false, so a printer shows "-" rather than failing on a reply of an older or newer daemon.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "json/json.h"

class JsonView {
  public:
    JsonView() = default;
    explicit JsonView(JsonValue value) : value_(value) {}
    // The payload as the daemon sends it (text and a NUL, or text alone); false when it is not
    // valid JSON.
    static bool parse(const std::vector<unsigned char>& payload, JsonView* out);

    JsonView operator[](const char* name) const { return JsonView(json_object_get(value_, name)); }
    JsonView at(size_t index) const { return JsonView(json_array_get(value_, index)); }
    size_t size() const { return json_array_count(value_); }
    JsonType type() const { return json_type(value_); }
    bool present() const { return json_exists(value_); }
    // Present and not null.
    bool has() const { return json_exists(value_) && json_type(value_) != JSON_TYPE_NULL; }
    std::string str() const;
    int64_t num() const { return json_int64(value_); }
    bool yes() const { return json_type(value_) == JSON_TYPE_TRUE; }
    // The value's text as it stands in the reply.
    std::string_view raw() const;
    // Iteration: an array's elements; an object's member names, each followed by its value.
    JsonView first() const { return JsonView(json_first(value_)); }
    JsonView next() const { return JsonView(json_next(value_)); }

  private:
    JsonValue value_{};
};

// The payload's JSON text without its NUL.
std::string_view payloadText(const std::vector<unsigned char>& payload);
