#include "nm/nm_sysfs.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "platform/platform.h"

namespace {

constexpr int kFailed = -EINVAL;

}  // namespace

int nmhelper_querySysFsNetProperty(const char* ifname, const char* attribute, char* out, int size) {
    if (!ifname || !attribute || !out || size < 1) return kFailed;
    char path[256];
    int length = snprintf(path, sizeof path, "%s%s/%s", "/sys/class/net/", ifname, attribute);
    if (length < 0 || length > 255) return kFailed;
    // A plain read rather than stdio: the details request reads two attributes every time, and
    // an attribute file holds one short line.
    UniqueFd file(open(path, O_RDONLY | O_CLOEXEC));
    if (!file) return kFailed;
    char line[256];
    ssize_t got;
    do {
        got = read(file.get(), line, sizeof line - 1);
    } while (got < 0 && errno == EINTR);
    if (got <= 0) return -EIO;  // empty, or the kernel refuses the value (no link, no driver)
    line[got] = '\0';
    if (char* newline = strchr(line, '\n')) newline[1] = '\0';  // the first line only
    strncpy(out, line, size - 1);
    out[size - 1] = '\0';
    size_t copied = strlen(out);
    if (copied > 0 && out[copied - 1] == '\n') out[copied - 1] = '\0';
    return 0;
}
