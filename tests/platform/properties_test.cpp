#include "platform/properties.h"

#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "tests/platform/temp_dir.h"

namespace {

struct PropFree {
    void operator()(Properties* p) const { propFree(p); }
};
using PropPtr = std::unique_ptr<Properties, PropFree>;

PropPtr loadText(const TempDir& dir, const std::string& text) {
    writeText(dir.path("in.properties"), text);
    return PropPtr(propLoad(dir.path("in.properties").c_str()));
}

// Every entry in key order, read through the tree so that nothing is taken from the file twice.
std::map<std::string, std::string> entries(Properties* props) {
    std::map<std::string, std::string> out;
    std::function<void(RbNode*)> walk = [&](RbNode* node) {
        if (node == &props->tree.sentinel) return;
        walk(node->left);
        out[static_cast<char*>(node->key)] = static_cast<char*>(node->value);
        walk(node->right);
    };
    walk(props->tree.root);
    return out;
}

using Entries = std::map<std::string, std::string>;

struct LoadCase {
    const char* name;
    const char* text;
    Entries expected;
};

class PropertiesLoad : public ::testing::TestWithParam<LoadCase> {};

TEST_P(PropertiesLoad, GivesExactlyTheseEntries) {
    TempDir dir;
    PropPtr props = loadText(dir, GetParam().text);
    ASSERT_NE(props, nullptr);
    EXPECT_EQ(entries(props.get()), GetParam().expected);
}

const LoadCase kLoadCases[] = {
    {"BlanksAroundKeyEqualsAndValueAreTrimmed", "  key \t=  value  \n", {{"key", "value"}}},
    {"BackslashEqualsLoadsAsPlainEquals", "k=a\\=b\n", {{"k", "a=b"}}},
    {"DoubledBackslashLoadsAsOne", "k=a\\\\b\n", {{"k", "a\\b"}}},
    {"SingleBackslashValueIsEmpty", "k=\\\n", {{"k", ""}}},
    {"BackslashLetterIsTheLetterOnly", "k=a\\nb\\t\n", {{"k", "anbt"}}},
    {"TrailingBackslashDoesNotJoinTheNextLine", "a=x\\\nb=y\n", {{"a", "x"}, {"b", "y"}}},
    {"KeyColonValueIsIgnored", "key: value\nk=v\n", {{"k", "v"}}},
    {"LineStartingWithEqualsIsIgnored", "=value\n  = x\n", {}},
    {"KeyWithEqualsOnlyHasEmptyValue", "key=\n", {{"key", ""}}},
    {"IndentedHashIsAComment", "   # k=v\n#x=y\n", {}},
    {"ValueStartingWithHashIsAValue", "k=#v\n", {{"k", "#v"}}},
    {"ExclamationStartsAKeyNotAComment", "!k=v\n", {{"!k", "v"}}},
    {"LaterDuplicateKeyWins", "k=1\nk=2\n", {{"k", "2"}}},
    {"CrLfLoadsLikeLf", "a=1\r\nb = 2 \r\n", {{"a", "1"}, {"b", "2"}}},
    {"FurtherEqualsBelongToTheValue", "k=a=b=c\n", {{"k", "a=b=c"}}},
    {"BackslashInKeyStays", "a\\b=v\n", {{"a\\b", "v"}}},
    {"LastLineWithoutNewlineCounts", "a=1\nb=2", {{"a", "1"}, {"b", "2"}}},
    {"EmptyFileIsAnEmptySet", "", {}},
    {"EscapedTrailingBlankIsTrimmedBeforeUnescaping", "k=a\\ \n", {{"k", "a"}}},
};

INSTANTIATE_TEST_SUITE_P(Lines, PropertiesLoad, ::testing::ValuesIn(kLoadCases),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(PropertiesLoadFile, LinesLongerThanAnyBufferLoadWhole) {
    TempDir dir;
    std::string value(100000, 'v');
    PropPtr props = loadText(dir, "k=" + value + "\n");
    ASSERT_NE(props, nullptr);
    EXPECT_EQ(propGet(props.get(), "k"), value);
}

TEST(PropertiesLoadFile, MissingFileGivesNull) {
    TempDir dir;
    EXPECT_EQ(propLoad(dir.path("absent").c_str()), nullptr);
}

TEST(PropertiesAccess, EmptyValueAndAbsentKeyAreTold) {
    PropPtr props(propCreate());
    ASSERT_EQ(propSet(props.get(), "empty", ""), 0);
    EXPECT_EQ(propContainsKey(props.get(), "empty"), 1);
    EXPECT_STREQ(propGet(props.get(), "empty"), "");
    EXPECT_STREQ(propGetWithDefault(props.get(), "empty", "fallback"), "");
    EXPECT_EQ(propContainsKey(props.get(), "absent"), 0);
    EXPECT_EQ(propGet(props.get(), "absent"), nullptr);
    EXPECT_STREQ(propGetWithDefault(props.get(), "absent", "fallback"), "fallback");
    EXPECT_EQ(propRemove(props.get(), "absent"), -1);
    EXPECT_EQ(propRemove(props.get(), "empty"), 0);
    EXPECT_EQ(propContainsKey(props.get(), "empty"), 0);
}

TEST(PropertiesSave, WritesEscapedValuesInStrcmpOrderAndSkipsNullValues) {
    TempDir dir;
    PropPtr props(propCreate());
    propSet(props.get(), "a", "x:y");
    propSet(props.get(), "B", "\\=!#");
    propSet(props.get(), "c", "plain value");
    propSet(props.get(), "null", nullptr);
    ASSERT_EQ(propSave(props.get(), dir.path("out").c_str()), 0);
    EXPECT_EQ(readText(dir.path("out")), "B=\\\\\\=\\!\\#\na=x\\:y\nc=plain value\n");
}

// Texts the writer promises to carry through a save and a load unchanged.
std::string randomText(std::mt19937& rng, bool isKey) {
    static const std::string kAlphabet = "abcXYZ019_.-/\\:=!# \t\"'$%&*()[]{}";
    std::string text;
    size_t length = rng() % 12 + (isKey ? 1 : 0);
    for (size_t i = 0; i < length; ++i) text += kAlphabet[rng() % kAlphabet.size()];
    if (isKey) std::erase(text, '=');
    auto blank = [](char c) { return c == ' ' || c == '\t'; };
    while (!text.empty() && blank(text.front())) text.erase(0, 1);
    while (!text.empty() && blank(text.back())) text.pop_back();
    if (isKey && !text.empty() && text[0] == '#') text[0] = 'h';
    return isKey && text.empty() ? "k" : text;
}

TEST(PropertiesSave, RoundTripKeepsEveryGeneratedEntry) {
    TempDir dir;
    std::mt19937 rng(2024);
    for (int round = 0; round < 20; ++round) {
        PropPtr props(propCreate());
        Entries expected;
        for (int i = 0; i < 200; ++i) {
            std::string key = randomText(rng, true);
            std::string value = randomText(rng, false);
            ASSERT_EQ(propSet(props.get(), key.c_str(), value.c_str()), 0);
            expected[key] = value;
        }
        ASSERT_EQ(propSave(props.get(), dir.path("round").c_str()), 0);
        PropPtr loaded(propLoad(dir.path("round").c_str()));
        ASSERT_NE(loaded, nullptr);
        ASSERT_EQ(entries(loaded.get()), expected) << "round " << round;
    }
}

TEST(PropertiesSave, ReplacesTheFileWithMode0666WhateverTheUmask) {
    TempDir dir;
    std::string path = dir.path("props");
    writeText(path, "old=1\n");
    chmod(path.c_str(), 0600);
    mode_t previous = umask(077);
    PropPtr props(propCreate());
    propSet(props.get(), "new", "2");
    int result = propSave(props.get(), path.c_str());
    umask(previous);
    ASSERT_EQ(result, 0);
    struct stat info {};
    ASSERT_EQ(stat(path.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 07777, 0666u);
    EXPECT_EQ(readText(path), "new=2\n");
    // Only the file itself is left: no temporary sibling.
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.path()), {}), 1);
}

TEST(PropertiesSave, FailedRenameLeavesTheOldFileAndNoTemporary) {
    TempDir dir;
    // A non-empty directory at the path makes the final rename fail after the write succeeded.
    std::string path = dir.path("props");
    std::filesystem::create_directory(path);
    writeText(path + "/keep", "x");
    PropPtr props(propCreate());
    propSet(props.get(), "k", "v");
    EXPECT_EQ(propSave(props.get(), path.c_str()), -1);
    EXPECT_EQ(readText(path + "/keep"), "x");
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.path()), {}), 1);
}

TEST(PropertiesSave, FailedWriteLeavesTheOldFileAndNoTemporary) {
    TempDir dir;
    std::string path = dir.path("props");
    writeText(path, "old=1\n");
    // A file-size limit makes the stream's writes fail (EFBIG) even for root; it is set in a
    // child so that this process keeps its limits.
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        signal(SIGXFSZ, SIG_IGN);
        struct rlimit limit {
            1024, 1024
        };
        setrlimit(RLIMIT_FSIZE, &limit);
        Properties* props = propCreate();
        propSet(props, "k", std::string(100000, 'v').c_str());
        _exit(propSave(props, path.c_str()) == -1 ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0) << "propSave must report the failed write";
    EXPECT_EQ(readText(path), "old=1\n");
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.path()), {}), 1);
}

}  // namespace
