#pragma once
// Turns the words of one "call" (from the command line or a script line) into a request:
// the request id (a number or a name such as "classes") and the payload built from the
// field options in the order given.
#include <cstdint>
#include <string>
#include <vector>

#include "bus/bus.h"

// How the reply payload is shown; Auto decides by its content and the request id.
enum class ReplyKind { Auto, Json, Handle, Bool, Hex };

struct LkRequest {
    uint8_t apiId = 0;
    std::vector<unsigned char> payload;
    bool replyWanted = true;
    uint8_t magic = 0x24;
    ReplyKind show = ReplyKind::Auto;
};

// words: ID [--json TEXT | --str TEXT | --byte N | --flag-name N NAME | --u32 N | --hex HEX]...
// [--no-reply] [--magic N] [--as json|handle|bool|hex]. False with *error set on bad words.
bool parseCall(const std::vector<std::string>& words, LkRequest* request, std::string* error);
// Splits a script line into words: blanks separate, single or double quotes group; inside
// double quotes \" and \\ stand for " and \. False on an unterminated quote.
bool splitWords(const std::string& line, std::vector<std::string>* words);
// The help text for the request names and field options.
const char* requestArgsHelp();
