#include "platform/fileutil.h"

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "platform/clock.h"
#include "platform/log.h"
#include "platform/unique_fd.h"

namespace {

constexpr size_t kPathSize = 256;
constexpr size_t kCopyChunk = 4096;
constexpr size_t kDrainChunk = 256;

bool makeDir(const char* path, unsigned mode) {
    return mkdir(path, static_cast<mode_t>(mode)) == 0 || errno == EEXIST;
}

// Copies until end of file; false on a read error or a short write.
bool copyContents(int from, int to) {
    char chunk[kCopyChunk];
    for (;;) {
        ssize_t count = read(from, chunk, sizeof chunk);
        if (count == 0) return true;
        if (count < 0 || write(to, chunk, static_cast<size_t>(count)) != count) return false;
    }
}

}  // namespace

int yebMkdirs(const char* path, unsigned mode) {
    size_t length = std::strlen(path);
    if (length >= kPathSize) {
        errno = ENAMETOOLONG;
        return -1;
    }
    char work[kPathSize];
    std::memcpy(work, path, length + 1);
    if (length > 0 && work[length - 1] == '/') work[--length] = '\0';
    if (length == 0) {
        errno = ENOENT;
        return -1;
    }
    // Never try to create the root itself.
    for (char* slash = work + 1; (slash = std::strchr(slash, '/')) != nullptr; ++slash) {
        *slash = '\0';
        bool made = makeDir(work, mode);
        *slash = '/';
        if (!made) return -1;
    }
    return makeDir(work, mode) ? 0 : -1;
}

int yebCopyFile(const char* source, const char* destination, unsigned mode) {
    UniqueFd from{open(source, O_RDONLY | O_CLOEXEC)};
    if (!from) return -1;
    UniqueFd to{
        open(destination, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, static_cast<mode_t>(mode))};
    if (!to) return -1;
    if (copyContents(from.get(), to.get())) return 0;
    int saved = errno;
    to.reset();
    unlink(destination);
    errno = saved;
    return -1;
}

int yebFileExists(const char* path) {
    return access(path, F_OK) == 0 ? 1 : 0;
}

int yebDirExists(const char* path) {
    DIR* dir = opendir(path);
    if (dir == nullptr) return 0;
    closedir(dir);
    return 1;
}

int yebCreateFile(const char* path, unsigned mode) {
    if (access(path, F_OK) == 0) return 0;
    UniqueFd fd{open(path, O_RDONLY | O_CREAT | O_CLOEXEC, static_cast<mode_t>(mode))};
    return fd ? 0 : -1;
}

void yebDrain(int fd) {
    char scratch[kDrainChunk];
    struct pollfd entry {
        fd, POLLIN, 0
    };
    // A closed stream stays readable, so end of stream ends the loop as well.
    while (poll(&entry, 1, 0) > 0 && (entry.revents & (POLLERR | POLLHUP)) == 0) {
        if (read(fd, scratch, sizeof scratch) <= 0) return;
    }
}

int yebReadWithTimeout(int fd, unsigned char* buffer, int length, int timeoutMs) {
    int64_t start = yebMonoTimeMs();
    int total = 0;
    int wait = timeoutMs;
    for (;;) {
        struct pollfd entry {
            fd, POLLIN, 0
        };
        if (poll(&entry, 1, wait) <= 0) return total;
        ssize_t count = read(fd, buffer + total, static_cast<size_t>(length - total));
        if (count < 0) return -1;
        if (count == 0) return total;
        total += static_cast<int>(count);
        if (total >= length) return total;
        int64_t left = timeoutMs - (yebMonoTimeMs() - start);
        if (left <= 0) return total;
        wait = static_cast<int>(left);
    }
}
