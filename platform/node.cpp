#include "platform/node.h"

#include <fcntl.h>
#include <unistd.h>

#include <cctype>
#include <cstring>

#include "platform/unique_fd.h"

namespace {

// Node facts are one short line; callers keep the returned pointers, so the buffers are static.
constexpr int kFactSize = 80;

int fileExists(const char* path) {
    return access(path, F_OK) == 0 ? 1 : 0;
}

template <int N>
char* readFact(const char* path, char (&buffer)[N], const char* fallback) {
    return yebReadFile(path, buffer, N, fallback);
}

char* nonEmptyOrNull(char* text) {
    return text[0] != '\0' ? text : nullptr;
}

// Trims in place and moves the text to the start of buffer; false when nothing is left.
bool trimInPlace(char* buffer) {
    char* begin = buffer;
    while (*begin != '\0' && std::isspace(static_cast<unsigned char>(*begin))) ++begin;
    char* end = begin + std::strlen(begin);
    while (end > begin && std::isspace(static_cast<unsigned char>(end[-1]))) --end;
    if (end == begin) return false;
    *end = '\0';
    std::memmove(buffer, begin, static_cast<size_t>(end - begin) + 1);
    return true;
}

}  // namespace

char* yebReadFile(const char* path, char* buffer, int size, const char* fallback) {
    if (size < 1) return buffer;
    ssize_t count = -1;
    if (UniqueFd fd{open(path, O_RDONLY | O_CLOEXEC)}) {
        count = read(fd.get(), buffer, static_cast<size_t>(size - 1));
    }
    if (count > 0) {
        buffer[count] = '\0';
        if (trimInPlace(buffer)) return buffer;
    }
    buffer[0] = '\0';
    if (fallback != nullptr) {
        std::strncpy(buffer, fallback, static_cast<size_t>(size - 1));
        buffer[size - 1] = '\0';
    }
    return buffer;
}

int yebWriteFile(const char* path, const char* text) {
    if (text == nullptr) {
        unlink(path);
        return 0;
    }
    UniqueFd fd{open(path, O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0644)};
    if (!fd) return -1;
    size_t length = std::strlen(text);
    ssize_t written = write(fd.get(), text, length);
    return written >= 0 && static_cast<size_t>(written) == length ? 0 : -1;
}

int yebIsProdMode() {
    return fileExists("/run/yeb/testMode") ? 0 : 1;
}
int yebIsPrimary() {
    return fileExists("/run/yeb/primary");
}
int yebIsSimulator() {
    return fileExists("/run/yeb/simulator");
}
int yebIsDev() {
    return fileExists("/run/yeb/dev");
}
int yebNodeTypeExists() {
    return fileExists("/run/yeb/nodeType");
}
int yebNodeNameExists() {
    return fileExists("/run/yeb/nodeName");
}

char* yebVendorAuthority() {
    static char buffer[kFactSize];
    return readFact("/run/yeb/authority", buffer, "");
}

char* yebMfgAuthority() {
    static char buffer[kFactSize];
    return readFact("/run/yeb/mfgAuthority", buffer, "");
}

char* yebArch() {
    static char buffer[kFactSize];
    return readFact("/run/yeb/arch", buffer, "unknown");
}

char* yebBoardType() {
    static char buffer[kFactSize];
    return readFact("/run/yeb/boardType", buffer, "");
}

char* yebSomType() {
    static char buffer[kFactSize];
    return readFact("/run/yeb/somType", buffer, "");
}

char* yebPrimaryNodeId() {
    static char buffer[kFactSize];
    return readFact("/run/yeb/primaryNodeId", buffer, "");
}

char* yebNodeType() {
    static char buffer[kFactSize];
    return nonEmptyOrNull(readFact("/run/yeb/nodeType", buffer, ""));
}

char* yebNodeName() {
    static char buffer[kFactSize];
    return nonEmptyOrNull(readFact("/run/yeb/nodeName", buffer, ""));
}

int yebEndian() {
    return 0;
}
