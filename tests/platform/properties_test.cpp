#include "platform/properties.h"

#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <filesystem>
#include <map>
#include <memory>
#include <random>
#include <string>

#include "tests/platform/temp_dir.h"

namespace {

struct PropFree {
    void operator()(Properties* p) const { propFree(p); }
};
using PropPtr = std::unique_ptr<Properties, PropFree>;
using Entries = std::map<std::string, std::string>;

// Every entry, read through the tree so that nothing is taken from the file twice.
void collect(Properties* props, RbNode* node, Entries* out) {
    if (node == &props->tree.sentinel) return;
    collect(props, node->left, out);
    (*out)[static_cast<char*>(node->key)] = static_cast<char*>(node->value);
    collect(props, node->right, out);
}

Entries loaded(const std::string& path) {
    PropPtr props(propLoad(path.c_str()));
    Entries out{{"<no properties>", ""}};
    if (props) out.clear(), collect(props.get(), props->tree.root, &out);
    return out;
}

size_t entriesIn(const TempDir& dir) {
    return std::distance(std::filesystem::directory_iterator(dir.path()), {});
}

TEST(PropertiesLoad, TrimsUnescapesAndSkipsLinesAsTheFormatSays) {
    const std::string longValue(100000, 'v');
    const std::pair<std::string, Entries> cases[] = {
        {"  key \t=  value  \n", {{"key", "value"}}},
        {"k=a\\=b\n", {{"k", "a=b"}}},
        {"k=a\\\\b\n", {{"k", "a\\b"}}},
        {"k=\\\n", {{"k", ""}}},
        {"k=a\\nb\\t\n", {{"k", "anbt"}}},           // a backslash and letter is the letter
        {"a=x\\\nb=y\n", {{"a", "x"}, {"b", "y"}}},  // a trailing backslash joins nothing
        {"key: value\nk=v\n", {{"k", "v"}}},         // no colon form
        {"=value\n  = x\n", {}},                     // no empty key
        {"key=\n", {{"key", ""}}},
        {"   # k=v\n#x=y\n", {}},
        {"k=#v\n", {{"k", "#v"}}},
        {"!k=v\n", {{"!k", "v"}}},  // no ! comments
        {"k=1\nk=2\n", {{"k", "2"}}},
        {"a=1\r\nb = 2 \r\n", {{"a", "1"}, {"b", "2"}}},
        {"k=a=b=c\n", {{"k", "a=b=c"}}},
        {"a\\b=v\n", {{"a\\b", "v"}}},  // keys are not unescaped
        {"a=1\nb=2", {{"a", "1"}, {"b", "2"}}},
        {"", {}},
        {"k=a\\ \n", {{"k", "a"}}},  // trimmed before unescaping
        {"k=" + longValue + "\n", {{"k", longValue}}},
    };
    TempDir dir;
    for (const auto& [text, expected] : cases) {
        writeText(dir.path("in"), text);
        EXPECT_EQ(loaded(dir.path("in")), expected) << text.substr(0, 40);
    }
    EXPECT_EQ(loaded(dir.path("absent")), (Entries{{"<no properties>", ""}}));
}

TEST(PropertiesSave, ReplacesTheFileWithMode0666AndEscapedEntriesInStrcmpOrder) {
    TempDir dir;
    std::string path = dir.path("props");
    writeText(path, "old=1\n");
    chmod(path.c_str(), 0600);
    PropPtr props(propCreate());
    propSet(props.get(), "a", "x:y");
    propSet(props.get(), "B", "\\=!#");
    propSet(props.get(), "c", "plain value");
    propSet(props.get(), "null", nullptr);
    propSet(props.get(), "gone", "x");
    EXPECT_EQ(propRemove(props.get(), "gone"), 0);
    EXPECT_EQ(propRemove(props.get(), "gone"), -1);
    propSet(props.get(), "empty", "");
    EXPECT_STREQ(propGetWithDefault(props.get(), "empty", "fb"), "");
    EXPECT_STREQ(propGetWithDefault(props.get(), "gone", "fb"), "fb");
    mode_t previous = umask(077);
    EXPECT_EQ(propSave(props.get(), path.c_str()), 0);
    umask(previous);
    EXPECT_EQ(readText(path), "B=\\\\\\=\\!\\#\na=x\\:y\nc=plain value\nempty=\n");
    struct stat info {};
    ASSERT_EQ(stat(path.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 07777, 0666u);
    EXPECT_EQ(entriesIn(dir), 1u) << "no temporary file is left";
}

// Keys and values the writer promises to carry through a save and a load unchanged: no blanks
// at either end, and keys without '=' or a leading '#'.
std::string randomText(std::mt19937& rng, bool isKey) {
    static const std::string kAlphabet = "abcXYZ019_.-/\\:=!# \t\"'$%&*()[]{}";
    std::string text;
    for (size_t n = rng() % 12; n > 0; --n) text += kAlphabet[rng() % kAlphabet.size()];
    if (isKey) std::erase(text, '=');
    while (!text.empty() && (text.back() == ' ' || text.back() == '\t')) text.pop_back();
    while (!text.empty() && (text[0] == ' ' || text[0] == '\t' || (isKey && text[0] == '#')))
        text.erase(0, 1);
    return isKey && text.empty() ? "k" : text;
}

TEST(PropertiesSave, RoundTripKeepsEveryGeneratedEntry) {
    TempDir dir;
    std::mt19937 rng(2024);
    for (int round = 0; round < 20; ++round) {
        PropPtr props(propCreate());
        Entries expected;
        for (int i = 0; i < 200; ++i) {
            std::string key = randomText(rng, true), value = randomText(rng, false);
            ASSERT_EQ(propSet(props.get(), key.c_str(), value.c_str()), 0);
            expected[key] = value;
        }
        ASSERT_EQ(propSave(props.get(), dir.path("round").c_str()), 0);
        ASSERT_EQ(loaded(dir.path("round")), expected) << "round " << round;
    }
}

TEST(PropertiesSave, FailedRenameOrWriteLeavesTheOldFileAndNoTemporary) {
    TempDir dir;
    // A non-empty directory at the path makes the final rename fail after the write succeeded.
    std::string path = dir.path("props");
    std::filesystem::create_directory(path);
    writeText(path + "/keep", "x");
    PropPtr props(propCreate());
    propSet(props.get(), "k", std::string(100000, 'v').c_str());
    EXPECT_EQ(propSave(props.get(), path.c_str()), -1);
    EXPECT_EQ(readText(path + "/keep"), "x");
    EXPECT_EQ(entriesIn(dir), 1u);

    // A file-size limit makes the writes fail (EFBIG) even for root; set in a child so that
    // this process keeps its limits.
    path = dir.path("props2");
    writeText(path, "old=1\n");
    pid_t child = fork();
    if (child == 0) {
        signal(SIGXFSZ, SIG_IGN);
        struct rlimit limit {
            1024, 1024
        };
        setrlimit(RLIMIT_FSIZE, &limit);
        _exit(propSave(props.get(), path.c_str()) == -1 ? 0 : 1);
    }
    int status = -1;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    EXPECT_EQ(status, 0) << "propSave must report the failed write";
    EXPECT_EQ(readText(path), "old=1\n");
    EXPECT_EQ(entriesIn(dir), 2u);
}

}  // namespace
