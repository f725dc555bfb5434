#pragma once
// How lkctl shows what linkKeeper sends: reply payloads, status codes and message lines.
#include <cstdint>
#include <string>
#include <vector>

#include "lkctl/request_args.h"

// The reply payload as text for standard output: pretty JSON, a decoded handle or boolean,
// or a hex dump. Empty payload: empty text.
std::string formatReplyPayload(uint8_t apiId, ReplyKind show,
                               const std::vector<unsigned char>& payload);
// "0 (ok)", "255 (no handler)", "2 (No such file or directory)", ...
std::string statusText(int status);
// One line (no newline) for a message frame: its JSON text compacted, or, when it is not JSON,
// {"message":ID,"hex":"..."}.
std::string formatMessageLine(uint8_t apiId, const std::vector<unsigned char>& payload);
