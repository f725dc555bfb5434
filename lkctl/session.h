#pragma once
// lkctl's end of one bus connection: accept linkKeeper, show its identity, send requests and
// show replies, and print the messages it sends on its own (events, ping results).
#include <cstdint>
#include <cstdio>

#include "lkctl/request_args.h"
#include "lkctl/trel_server.h"
#include "platform/platform.h"

// Exit statuses of lkctl's own failures; a reply's status (1 to 255, errno values or 255 for
// "no handler") is never in 240..254 for this service.
constexpr int LKCTL_EXIT_USAGE = 250;
constexpr int LKCTL_EXIT_NO_CONNECTION = 251;
constexpr int LKCTL_EXIT_TIMEOUT = 252;
constexpr int LKCTL_EXIT_CLOSED = 253;

struct LkSession {
    UniqueFd fd;
    uint16_t txSequence = 0;
    int timeoutMs = 10000;  // for each reply; < 0 waits for ever
    TrelWireFrame frame;
};

// Accepts one connection within acceptTimeoutMs and reads its identity; prints the identity
// pretty-printed to identityOut unless that is null. 0 or LKCTL_EXIT_NO_CONNECTION.
int sessionOpen(LkSession* session, int listenFd, int acceptTimeoutMs, FILE* identityOut);
// Sends the request; with a reply wanted waits for it and prints the status to stderr and the
// payload to stdout (messages arriving meanwhile are printed as lines). The exit status:
// the reply's status, or one of LKCTL_EXIT_*.
int sessionCall(LkSession* session, const LkRequest& request);
// Prints one line per message for seconds (0: until the connection closes). 0, or
// LKCTL_EXIT_CLOSED when a timed listen ends early.
int sessionListen(LkSession* session, int seconds);
