#pragma once
// linkKeeper's protocol on the bus and on the control socket, shared by the daemon and lkctl:
// the request and message ids, the limits the daemon holds a request to (lkctl checks them
// before it sends, so that a typo costs no round trip), the default paths, and how long a peer
// may take over one frame.
#include <cstddef>
#include <cstdint>

// Ids on the default interface: requests get a reply; messages (LK_MSG_*) are sent unasked.
enum LkApi : uint8_t {
    LK_API_LIST_INTERFACES = 1,
    LK_API_INTERFACE_DETAILS = 2,
    LK_API_SET_CONNECTION = 3,
    LK_API_GET_CONNECTION = 4,
    LK_API_WATCH = 5,
    LK_MSG_EVENT = 6,
    LK_API_INTERFACE_CLASSES = 7,
    LK_API_ENABLE = 8,
    LK_API_RADIO = 9,
    LK_API_ACCESS_POINTS = 10,
    LK_API_SCAN = 11,
    LK_API_PING = 12,
    LK_MSG_PING_RESULT = 13,
    LK_API_RESET = 14,
    LK_API_CONFIRM_CHECKPOINT = 15,
    LK_API_ROLLBACK_CHECKPOINT = 16,
    LK_API_CANCEL_PING = 17,
    LK_API_PENDING_CHECKPOINTS = 18,
};

// Request 3: name servers and IPv6 addresses per family, the SSID's bytes, and the seconds of
// "wait" (1 to the maximum) and "rollback" (minimum to maximum).
constexpr size_t LK_IP4_DNS_MAX = 2;
constexpr size_t LK_IP6_DNS_MAX = 2;
constexpr size_t LK_IP6_ADDRESSES_MAX = 4;
constexpr size_t LK_SSID_MAX = 32;
constexpr uint32_t LK_WAIT_MAX_S = 120;
constexpr uint32_t LK_ROLLBACK_MIN_S = 5;
constexpr uint32_t LK_ROLLBACK_MAX_S = 3600;
// Request 3's "verify": seconds 1 to the maximum, the default when none are given.
constexpr uint32_t LK_VERIFY_MAX_S = 120;
constexpr uint32_t LK_VERIFY_DEFAULT_S = 10;

// Request 12: a probe can neither flood the link nor run for years.
constexpr uint32_t LK_PING_INTERVAL_MIN_MS = 10;
constexpr uint32_t LK_PING_TIMEOUT_MAX_MS = 60000;
constexpr uint32_t LK_PING_COUNT_MAX = 65535;
constexpr uint64_t LK_PING_RUN_MAX_MS = 3600000;

// The control socket lkctl talks to, unless the daemon's -C or this properties key says
// otherwise; and the platform's properties file, read when no other is given.
constexpr const char* LK_DEFAULT_CONTROL_PATH = "/run/linkKeeper/control";
constexpr const char* LK_CONTROL_KEY = "linkKeeper.control";
constexpr const char* LK_PROPERTIES_PATH = "/etc/yeb.properties";
// The daemon's runtime directory (-r), where the changes pending a confirm are recorded.
constexpr const char* LK_RUNTIME_DIR = "/run/linkKeeper";
// The control socket's group: its members may send the requests that only read (Debian's group
// for network tools), unless this properties key names another.
constexpr const char* LK_CONTROL_GROUP_KEY = "linkKeeper.controlGroup";
constexpr const char* LK_DEFAULT_CONTROL_GROUP = "netdev";
// A control client that has sent nothing for this many seconds, and holds nothing (watch,
// probe, request in progress), is closed, so that idle tools cannot keep others out; this
// properties key sets the time (1 to 3600 s) for slow consoles or, in tests, a short one.
constexpr const char* LK_CONTROL_IDLE_KEY = "linkKeeper.controlIdleSeconds";
constexpr int LK_CONTROL_IDLE_DEFAULT_S = 60;
constexpr int LK_CONTROL_IDLE_MAX_S = 3600;

// The longest a peer may hold up a reader or a sender: the rest of a frame must arrive, and a
// frame must be written, within this time; otherwise the connection is given up.
constexpr int TREL_FRAME_DEADLINE_MS = 5000;
