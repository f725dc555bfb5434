#include "lkctl/json_format.h"

#include <cctype>
#include <cstring>

#include "json/json.h"

namespace {

// Deep enough for any reply of the service; a cap so that hostile text cannot exhaust the stack.
constexpr int MAX_DEPTH = 64;

class Formatter {
  public:
    Formatter(std::string_view text, int indent, std::string* out)
        : text_(text), indent_(indent), out_(out) {}

    bool run() {
        out_->clear();
        skipBlank();
        if (!value(0)) return false;
        skipBlank();
        return pos_ == text_.size();
    }

  private:
    bool value(int depth) {
        if (depth > MAX_DEPTH || pos_ >= text_.size()) return false;
        char c = text_[pos_];
        if (c == '{') return container(depth, '}', true);
        if (c == '[') return container(depth, ']', false);
        if (c == '"') return string();
        if (c == '-' || (c >= '0' && c <= '9')) return number();
        return literal("true") || literal("false") || literal("null");
    }

    // Objects and arrays share everything but the member names.
    bool container(int depth, char close, bool members) {
        out_->push_back(text_[pos_++]);
        skipBlank();
        if (peek() == close) {
            out_->push_back(text_[pos_++]);
            return true;
        }
        for (;;) {
            newline(depth + 1);
            if (members) {
                if (peek() != '"' || !string()) return false;
                skipBlank();
                if (peek() != ':') return false;
                ++pos_;
                out_->append(indent_ > 0 ? ": " : ":");
                skipBlank();
            }
            if (!value(depth + 1)) return false;
            skipBlank();
            char c = peek();
            ++pos_;
            if (c == close) break;
            if (c != ',') return false;
            out_->push_back(',');
            skipBlank();
        }
        newline(depth);
        out_->push_back(close);
        return true;
    }

    bool string() {
        size_t start = pos_++;
        while (pos_ < text_.size()) {
            unsigned char c = static_cast<unsigned char>(text_[pos_++]);
            if (c == '"') {
                out_->append(text_.substr(start, pos_ - start));
                return true;
            }
            if (c < 0x20) return false;
            if (c == '\\' && !escape()) return false;
        }
        return false;
    }

    bool escape() {
        if (pos_ >= text_.size()) return false;
        char c = text_[pos_++];
        if (c != 'u') return strchr("\"\\/bfnrt", c) != nullptr;
        for (int i = 0; i < 4; ++i, ++pos_)
            if (pos_ >= text_.size() || !isxdigit(static_cast<unsigned char>(text_[pos_])))
                return false;
        return true;
    }

    bool number() {
        size_t start = pos_;
        if (peek() == '-') ++pos_;
        if (peek() == '0') {
            ++pos_;
        } else if (!digits()) {
            return false;
        }
        if (peek() == '.') {
            ++pos_;
            if (!digits()) return false;
        }
        if (peek() == 'e' || peek() == 'E') {
            ++pos_;
            if (peek() == '+' || peek() == '-') ++pos_;
            if (!digits()) return false;
        }
        out_->append(text_.substr(start, pos_ - start));
        return true;
    }

    bool digits() {
        size_t start = pos_;
        while (pos_ < text_.size() && text_[pos_] >= '0' && text_[pos_] <= '9') ++pos_;
        return pos_ > start;
    }

    bool literal(std::string_view word) {
        if (text_.substr(pos_, word.size()) != word) return false;
        out_->append(word);
        pos_ += word.size();
        return true;
    }

    void newline(int depth) {
        if (indent_ <= 0) return;
        out_->push_back('\n');
        out_->append(static_cast<size_t>(depth * indent_), ' ');
    }

    void skipBlank() {
        while (pos_ < text_.size() && strchr(" \t\r\n", text_[pos_]) && text_[pos_] != '\0') ++pos_;
    }

    char peek() const { return pos_ < text_.size() ? text_[pos_] : '\0'; }

    std::string_view text_;
    size_t pos_ = 0;
    int indent_;
    std::string* out_;
};

}  // namespace

bool jsonFormat(std::string_view text, int indent, std::string* out) {
    return Formatter(text, indent, out).run();
}

std::string jsonQuote(std::string_view text) {
    // Room for the worst case, every byte a \u00xx escape, and the quotes.
    std::string out(text.size() * JSON_ESCAPE_MAX_UNIT + 2, '"');
    const JsonEscapeProgress step = json_escape_into(text.data(), text.size(), out.data() + 1,
                                                     out.size() - 2, JSON_ESCAPE_DEFAULT);
    out[step.produced + 1] = '"';
    out.resize(step.produced + 2);
    return out;
}
