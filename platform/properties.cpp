#include "platform/properties.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "platform/c_owners.h"

namespace {

// Characters the reader would otherwise take as syntax: escaped on save so values survive.
constexpr const char* kEscaped = "\\:=!#";

using CharPtr = MallocPtr<char>;

int compareKeys(const void* a, const void* b) {
    return std::strcmp(static_cast<const char*>(a), static_cast<const char*>(b));
}

bool isBlank(char c) {
    return std::isspace(static_cast<unsigned char>(c)) != 0;
}

char* skipBlanks(char* text) {
    while (isBlank(*text)) ++text;
    return text;
}

void trimTrailing(char* begin, char* end) {
    while (end > begin && isBlank(end[-1])) --end;
    *end = '\0';
}

// Each backslash is dropped and the character after it taken literally.
void unescape(char* text) {
    char* out = text;
    for (const char* in = text; *in != '\0'; ++in) {
        if (*in == '\\' && *++in == '\0') break;
        *out++ = *in;
    }
    *out = '\0';
}

// Splits one line in place; false for comments, lines without "=" and empty keys.
bool parseLine(char* line, char** key, char** value) {
    char* start = skipBlanks(line);
    if (*start == '#') return false;
    char* equals = std::strchr(start, '=');
    if (equals == nullptr) return false;
    trimTrailing(start, equals);
    if (*start == '\0') return false;
    char* text = skipBlanks(equals + 1);
    trimTrailing(text, text + std::strlen(text));
    unescape(text);
    *key = start;
    *value = text;
    return true;
}

void loadLines(Properties* props, FILE* file) {
    char* raw = nullptr;
    size_t capacity = 0;
    while (getline(&raw, &capacity, file) >= 0) {
        char* key = nullptr;
        char* value = nullptr;
        if (parseLine(raw, &key, &value)) propSet(props, key, value);
    }
    std::free(raw);
}

void writeValue(FILE* file, const char* value) {
    for (const char* c = value; *c != '\0'; ++c) {
        if (std::strchr(kEscaped, *c) != nullptr) std::fputc('\\', file);
        std::fputc(*c, file);
    }
}

// In-order walk, so the file lists keys in strcmp order.
void propWriteEntries(FILE* file, const RbTree& tree, const RbNode* node) {
    if (node == &tree.sentinel) return;
    propWriteEntries(file, tree, node->left);
    if (node->value != nullptr) {
        std::fputs(static_cast<const char*>(node->key), file);
        std::fputc('=', file);
        writeValue(file, static_cast<const char*>(node->value));
        std::fputc('\n', file);
    }
    propWriteEntries(file, tree, node->right);
}

// Writes every entry to the already created temporary file; closes fd in every case.
bool writeTemporary(Properties* props, int fd) {
    FILE* file = fdopen(fd, "w");
    if (file == nullptr) {
        close(fd);
        return false;
    }
    propWriteEntries(file, props->tree, props->tree.root);
    bool failed = std::ferror(file) != 0;
    return std::fclose(file) == 0 && !failed;
}

}  // namespace

Properties* propCreate() {
    auto* props = static_cast<Properties*>(std::malloc(sizeof(Properties)));
    if (props == nullptr) return nullptr;
    rbTreeCreate(&props->tree, compareKeys, std::free, std::free);
    return props;
}

Properties* propLoad(const char* path) {
    FilePtr file{std::fopen(path, "re")};
    if (!file) return nullptr;
    Properties* props = propCreate();
    if (props != nullptr) loadLines(props, file.get());
    return props;
}

int propSave(Properties* props, const char* path) {
    size_t length = std::strlen(path);
    CharPtr temporary{static_cast<char*>(std::malloc(length + sizeof "-XXXXXX"))};
    if (!temporary) return -1;
    std::memcpy(temporary.get(), path, length);
    std::memcpy(temporary.get() + length, "-XXXXXX", sizeof "-XXXXXX");
    int fd = mkstemp(temporary.get());
    if (fd < 0) return -1;
    if (!writeTemporary(props, fd) || std::rename(temporary.get(), path) != 0) {
        unlink(temporary.get());
        return -1;
    }
    chmod(path, 0666);
    return 0;
}

int propContainsKey(Properties* props, const char* key) {
    return rbTreeContainsKey(&props->tree, key);
}

const char* propGet(Properties* props, const char* key) {
    return static_cast<const char*>(rbTreeGet(&props->tree, key));
}

const char* propGetWithDefault(Properties* props, const char* key, const char* fallback) {
    // One look-up for the common case; only a stored null needs the second to tell it apart.
    const char* value = propGet(props, key);
    if (value != nullptr || propContainsKey(props, key)) return value;
    return fallback;
}

bool propParseNumber(const char* text, long min, long max, long* value) {
    if (text == nullptr || !std::isdigit(static_cast<unsigned char>(*text))) return false;
    char* end = nullptr;
    errno = 0;
    long parsed = std::strtol(text, &end, 10);
    if (*end != '\0' || errno == ERANGE || parsed < min || parsed > max) return false;
    *value = parsed;
    return true;
}

int propSet(Properties* props, const char* key, const char* value) {
    CharPtr keyCopy{strdup(key)};
    CharPtr valueCopy{value != nullptr ? strdup(value) : nullptr};
    if (!keyCopy || (value != nullptr && !valueCopy)) return -1;
    if (rbTreePut(&props->tree, keyCopy.get(), valueCopy.get()) != 0) return -1;
    (void)keyCopy.release();
    (void)valueCopy.release();
    return 0;
}

int propRemove(Properties* props, const char* key) {
    return rbTreeRemove(&props->tree, key);
}

void propFree(Properties* props) {
    if (props == nullptr) return;
    rbTreeDestroy(&props->tree);
    std::free(props);
}
