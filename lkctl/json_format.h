#pragma once
// A small JSON re-formatter for showing replies and events: it checks the text's structure
// and writes it again, pretty-printed or on one line. Strings and numbers are copied as they
// stand (escapes included), so nothing is lost or re-encoded on the way.
#include <string>
#include <string_view>

// indent > 0: one member or element per line, indented by that many blanks per level;
// indent 0: compact, one line. False (out unspecified) when text is not one JSON value.
bool jsonFormat(std::string_view text, int indent, std::string* out);
// A JSON string literal (with quotes) holding text, escaped by the JSON reader's escaper.
std::string jsonQuote(std::string_view text);
