#include "lkctl/session.h"

#include <algorithm>
#include <string>
#include <string_view>

#include "lkctl/json_format.h"
#include "lkctl/reply_print.h"

namespace {

void printLine(FILE* out, const std::string& line) {
    fprintf(out, "%s\n", line.c_str());
    fflush(out);
}

// Messages go to stdout as JSON lines; stray replies are only noted.
void showUnsolicited(const TrelWireFrame& frame) {
    if (frame.header.control & TREL_WIRE_MESSAGE) {
        printLine(stdout, formatMessageLine(trelWireApiId(frame.header.control), frame.payload));
    } else {
        fprintf(stderr, "lkctl: reply to unknown sequence %u dropped\n",
                frame.header.control & TREL_WIRE_SEQUENCE_MASK);
    }
}

int showReply(const LkRequest& request, const TrelWireFrame& reply) {
    fprintf(stderr, "status %s\n", statusText(reply.header.status).c_str());
    std::string text = formatReplyPayload(request.apiId, request.show, reply.payload);
    if (!text.empty()) printLine(stdout, text);
    return reply.header.status;
}

}  // namespace

int sessionOpen(LkSession* session, int listenFd, int acceptTimeoutMs, FILE* identityOut) {
    session->fd = trelServerAccept(listenFd, acceptTimeoutMs);
    if (!session->fd) {
        fprintf(stderr, "lkctl: no connection from linkKeeper\n");
        return LKCTL_EXIT_NO_CONNECTION;
    }
    session->txSequence = 0;
    std::string identity;
    if (trelServerReadIdentity(session->fd.get(), &identity, acceptTimeoutMs) != 1) {
        fprintf(stderr, "lkctl: no identity received\n");
        return LKCTL_EXIT_NO_CONNECTION;
    }
    if (!identityOut) return 0;
    std::string pretty;
    printLine(identityOut, jsonFormat(identity, 2, &pretty) ? pretty : jsonQuote(identity));
    return 0;
}

int sessionCall(LkSession* session, const LkRequest& request) {
    uint16_t sequence = session->txSequence++ & TREL_WIRE_SEQUENCE_MASK;
    TrelWireHeader header{request.magic, 0, trelWireControl(request.apiId, 0, request.replyWanted),
                          static_cast<uint32_t>(request.payload.size()), sequence};
    if (trelServerSendFrame(session->fd.get(), header, request.payload.data()) != 0) {
        fprintf(stderr, "lkctl: sending the request failed\n");
        return LKCTL_EXIT_CLOSED;
    }
    if (!request.replyWanted) return 0;
    int64_t deadline = session->timeoutMs < 0 ? -1 : yebMonoTimeMs() + session->timeoutMs;
    for (;;) {
        int left =
            deadline < 0 ? -1 : static_cast<int>(std::max<int64_t>(0, deadline - yebMonoTimeMs()));
        int got = trelServerReadFrame(session->fd.get(), &session->frame, left);
        if (got == 0) {
            fprintf(stderr, "lkctl: no reply to request %u within the time-out\n", request.apiId);
            return LKCTL_EXIT_TIMEOUT;
        }
        if (got < 0) {
            fprintf(stderr, "lkctl: connection closed before the reply\n");
            return LKCTL_EXIT_CLOSED;
        }
        const TrelWireHeader& h = session->frame.header;
        if (!(h.control & TREL_WIRE_MESSAGE) && h.control == sequence)
            return showReply(request, session->frame);
        showUnsolicited(session->frame);
    }
}

int sessionListen(LkSession* session, int seconds) {
    int64_t deadline = seconds > 0 ? yebMonoTimeMs() + int64_t{seconds} * 1000 : -1;
    for (;;) {
        int left =
            deadline < 0 ? -1 : static_cast<int>(std::max<int64_t>(0, deadline - yebMonoTimeMs()));
        int got = trelServerReadFrame(session->fd.get(), &session->frame, left);
        if (got == 0) return 0;
        if (got < 0) return seconds > 0 ? LKCTL_EXIT_CLOSED : 0;
        showUnsolicited(session->frame);
    }
}
