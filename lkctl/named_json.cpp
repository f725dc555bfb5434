#include "lkctl/named_json.h"

#include <cstring>

#include "lkctl/json_format.h"
#include "lkctl/names.h"

namespace {

constexpr int kMaxDepth = 64;  // deeper than any reply; hostile text cannot exhaust the stack

class Namer {
  public:
    explicit Namer(bool showSecrets) : showSecrets_(showSecrets) {}

    void value(JsonView value, int depth) {
        if (depth > kMaxDepth) {
            out += "null";
        } else if (value.type() == JSON_TYPE_OBJECT) {
            object(value, depth);
        } else if (value.type() == JSON_TYPE_ARRAY) {
            out += '[';
            for (JsonView element = value.first(); element.present(); element = element.next()) {
                if (out.back() != '[') out += ',';
                this->value(element, depth + 1);
            }
            out += ']';
        } else {
            out += value.raw();
        }
    }

    std::string out;

  private:
    void member(const char* name) {
        if (out.back() != '{') out += ',';
        out += jsonQuote(name) + ":";
    }

    void ssid(JsonView encoded) {
        std::string bytes;
        if (encoded.type() != JSON_TYPE_STRING || !base64Decode(encoded.str(), &bytes)) {
            member("ssid");
            out += encoded.raw();
        } else if (validUtf8(bytes)) {
            member("ssid");
            out += jsonQuote(bytes);
        } else {
            member("ssid-hex");
            out += jsonQuote(hexBytes(bytes));
        }
    }

    // One member, renamed or converted when it is one of NetworkManager's numbers or bytes.
    void named(const std::string& name, JsonView value, JsonView object, int depth) {
        if (name == "nmdevicestate" && value.type() == JSON_TYPE_NUMBER) {
            member("state");
            out += jsonQuote(deviceStateName(value.num()));
        } else if (name == "reason" && value.type() == JSON_TYPE_NUMBER) {
            member("reason");
            out += jsonQuote(stateReasonName(value.num()));
        } else if (name == "ssid") {
            ssid(value);
        } else if (name == "apFlags" || name == "wpaFlags" || name == "rsnFlags") {
            if (securityDone_) return;
            securityDone_ = true;
            member("security");
            out += jsonQuote(securityName(object["apFlags"].num(), object["wpaFlags"].num(),
                                          object["rsnFlags"].num()));
        } else if (name == "psk" && !showSecrets_) {
            member("psk");
            out += "null";
        } else {
            member(name == "yebtype" ? "class" : name.c_str());
            this->value(value, depth + 1);
        }
    }

    void object(JsonView object, int depth) {
        out += '{';
        bool outerSecurity = securityDone_;
        securityDone_ = false;
        for (JsonView name = object.first(); name.present(); name = name.next().next()) {
            named(name.str(), name.next(), object, depth);
        }
        securityDone_ = outerSecurity;
        out += '}';
    }

    bool showSecrets_;
    bool securityDone_ = false;  // the flag words of this object are shown already
};

}  // namespace

std::string namedJson(JsonView value, bool showSecrets) {
    Namer namer(showSecrets);
    namer.value(value, 0);
    return namer.out;
}
