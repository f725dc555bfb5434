// The platform runtime's pure pieces, and the facts and files it reads at their real paths
// (inside the private file system of scripts/sandbox-fs.sh).
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <random>
#include <string>

#include "platform/platform.h"

namespace {

namespace fs = std::filesystem;

void writeText(const std::string& path, const std::string& text) {
    std::ofstream(path, std::ios::binary) << text;
}

std::string readText(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

struct ScratchDir {
    std::string path = fs::temp_directory_path() / ("lk-platform-" + std::to_string(getpid()));
    ScratchDir() { fs::create_directories(path); }
    ~ScratchDir() { fs::remove_all(path); }
    std::string operator/(const std::string& name) const { return path + "/" + name; }
};

int compareInts(const void* a, const void* b) {
    int x = *static_cast<const int*>(a), y = *static_cast<const int*>(b);
    return (x > y) - (x < y);
}

// Black height of the subtree; fails on a red node with a red child, a broken parent link or
// keys out of order.
int blackHeight(const RbTree& tree, const RbNode* node, const int* low, const int* high) {
    if (node == &tree.sentinel) return 1;
    int key = *static_cast<int*>(node->key);
    EXPECT_TRUE((!low || *low < key) && (!high || key < *high)) << key;
    for (const RbNode* child : {node->left, node->right}) {
        EXPECT_TRUE(child == &tree.sentinel || child->parent == node) << key;
        EXPECT_TRUE(node->colour == 1 || child->colour == 1) << "red-red at " << key;
    }
    int left = blackHeight(tree, node->left, low, &key);
    EXPECT_EQ(left, blackHeight(tree, node->right, &key, high)) << key;
    return left + node->colour;
}

TEST(RbTree, RandomPutsAndRemovesMatchStdMapAndKeepTheInvariants) {
    RbTree tree;
    ASSERT_EQ(rbTreeCreate(&tree, compareInts, std::free, std::free), 0);
    std::mt19937 rng(7);
    std::map<int, int> oracle;
    for (int step = 0; step < 4000; ++step) {
        int key = static_cast<int>(rng() % 300);
        if (rng() % 100 < (step < 2000 ? 70u : 35u)) {
            int value = static_cast<int>(rng());
            ASSERT_EQ(rbTreePut(&tree, new (std::malloc(sizeof(int))) int(key),
                                new (std::malloc(sizeof(int))) int(value)),
                      0);
            oracle[key] = value;
        } else {
            ASSERT_EQ(rbTreeRemove(&tree, &key), oracle.erase(key) ? 0 : -1);
        }
        ASSERT_EQ(tree.root->colour, 1);
        blackHeight(tree, tree.root, nullptr, nullptr);
        for (const auto& [k, v] : oracle) {
            auto* found = static_cast<int*>(rbTreeGet(&tree, &k));
            ASSERT_TRUE(found && *found == v) << "key " << k << " at step " << step;
        }
        ASSERT_FALSE(HasFailure()) << "step " << step;
    }
    rbTreeDestroy(&tree);  // LeakSanitizer checks that every key and value went
}

struct PropFree {
    void operator()(Properties* props) const { propFree(props); }
};
using PropertiesPtr = std::unique_ptr<Properties, PropFree>;

TEST(Properties, LoadTrimsUnescapesAndSkipsCommentsThenSaveRoundTrips) {
    ScratchDir dir;
    writeText(dir / "in",
              "  key \t=  value  \r\n# k=v\nesc=a\\=b\\\\c\\n\nkey: ignored\n=empty key\nlast=1\n"
              "last=2\nlong=" +
                  std::string(5000, 'v'));
    PropertiesPtr props(propLoad((dir / "in").c_str()));
    ASSERT_TRUE(props);
    const std::pair<const char*, const char*> expected[] = {{"key", "value"},
                                                            {"esc", "a=b\\cn"},
                                                            {"last", "2"},
                                                            {"# k", nullptr},
                                                            {"key: ignored", nullptr}};
    for (const auto& [key, value] : expected) {
        const char* got = propGet(props.get(), key);
        EXPECT_EQ(got ? std::string(got) : "<none>", value ? value : "<none>") << key;
    }
    EXPECT_EQ(std::string(propGet(props.get(), "long")).size(), 5000u);
    EXPECT_STREQ(propGetWithDefault(props.get(), "absent", "d"), "d");
    EXPECT_EQ(propSet(props.get(), "a:b!c#", "x =\\y"), 0);
    EXPECT_EQ(propRemove(props.get(), "long"), 0);
    EXPECT_EQ(propRemove(props.get(), "long"), -1);
    ASSERT_EQ(propSave(props.get(), (dir / "out").c_str()), 0);
    PropertiesPtr again(propLoad((dir / "out").c_str()));
    ASSERT_TRUE(again);
    EXPECT_STREQ(propGet(again.get(), "a:b!c#"), "x =\\y") << readText(dir / "out");
    EXPECT_EQ(propContainsKey(again.get(), "long"), 0);
    EXPECT_EQ(propLoad((dir / "absent").c_str()), nullptr);
    EXPECT_EQ(propSave(props.get(), (dir / "no/such/dir").c_str()), -1);
}

TEST(Properties, NumbersAreWholeDecimalsWithinTheirRange) {
    long value = 0;
    for (const char* text :
         {"0", "3601", "-5", "+5", " 5", "5 ", "5s", "", "0x10", "9999999999999999999999"})
        EXPECT_FALSE(propParseNumber(text, 1, 3600, &value)) << text;
    EXPECT_TRUE(propParseNumber("1", 1, 3600, &value) && value == 1);
    EXPECT_TRUE(propParseNumber("3600", 1, 3600, &value) && value == 3600);
}

TEST(FileHelpers, CreateCopyAndReadWithoutPartialResults) {
    ScratchDir dir;
    EXPECT_EQ(yebMkdirs((dir / "a/b/c").c_str(), 0755), 0);
    EXPECT_EQ(yebMkdirs((dir / "a/b/c").c_str(), 0755), 0) << "an existing path is fine";
    EXPECT_EQ(yebDirExists((dir / "a/b/c").c_str()), 1);
    EXPECT_EQ(yebCreateFile((dir / "a/f").c_str(), 0600), 0);
    EXPECT_EQ(yebMkdirs((dir / "a/f/g").c_str(), 0755), -1) << "a file in the way";
    EXPECT_EQ(yebFileExists((dir / "a/f").c_str()), 1);

    std::string content(10000, '\0');
    for (size_t i = 0; i < content.size(); ++i) content[i] = static_cast<char>(i * 7);
    writeText(dir / "src", content);
    EXPECT_EQ(yebCopyFile((dir / "src").c_str(), (dir / "copy").c_str(), 0640), 0);
    EXPECT_EQ(readText(dir / "copy"), content);
    EXPECT_EQ(yebCopyFile((dir / "src").c_str(), (dir / "copy").c_str(), 0640), -1)
        << "never over an existing file";
    EXPECT_EQ(yebCopyFile((dir / "absent").c_str(), (dir / "new").c_str(), 0640), -1);
    EXPECT_EQ(yebFileExists((dir / "new").c_str()), 0);

    int ends[2];
    ASSERT_EQ(pipe(ends), 0);
    UniqueFd reader(ends[0]), writer(ends[1]);
    ASSERT_EQ(write(writer.get(), "abcdef", 6), 6);
    unsigned char buffer[4];
    EXPECT_EQ(yebReadWithTimeout(reader.get(), buffer, 4, 100), 4);
    yebDrain(reader.get());
    EXPECT_EQ(yebReadWithTimeout(reader.get(), buffer, 4, 50), 0) << "drained, then silence";
}

std::string shown(const char* text) {
    return text ? text : "<null>";
}

TEST(NodeFacts, AreReadTrimmedWithDefaultsAndFlagsCountByExistence) {
    if (!getenv("LK_SANDBOX_FS")) GTEST_SKIP() << "needs scripts/sandbox-fs.sh";
    fs::remove_all("/run/yeb");
    fs::create_directories("/run/yeb");
    EXPECT_EQ(shown(yebNodeName()), "<null>");
    EXPECT_EQ(shown(yebArch()), "unknown");
    EXPECT_EQ(yebIsProdMode(), 1);
    writeText("/run/yeb/nodeName", "  \tnode-1 \n");
    writeText("/run/yeb/nodeType", "  \n");
    writeText("/run/yeb/boardType", "  " + std::string(150, 'a'));
    for (const char* flag : {"primary", "simulator", "dev", "testMode"}) {
        writeText(std::string("/run/yeb/") + flag, "0");
    }
    EXPECT_EQ(shown(yebNodeName()), "node-1");
    EXPECT_EQ(shown(yebNodeType()), "<null>") << "only blanks";
    EXPECT_EQ(shown(yebBoardType()), std::string(77, 'a')) << "79 bytes read, then trimmed";
    EXPECT_EQ(yebIsPrimary() + yebIsSimulator() + yebIsDev() + yebNodeTypeExists(), 4);
    EXPECT_EQ(yebIsProdMode(), 0);
    EXPECT_EQ(yebWriteFile("/run/yeb/arch", "x86"), 0);
    EXPECT_EQ(shown(yebArch()), "x86");
    EXPECT_EQ(yebWriteFile("/run/yeb/arch", nullptr), 0);
    EXPECT_EQ(yebFileExists("/run/yeb/arch"), 0);
}

TEST(ConsoleLog, WritesStampedLinesDropsMessagesOf2048BytesOrMoreAndLimitsALineKind) {
    ScratchDir dir;
    fflush(stdout);
    int saved = dup(STDOUT_FILENO);
    ASSERT_NE(freopen((dir / "out").c_str(), "w", stdout), nullptr);
    yebLog("%s", std::string(2047, 'k').c_str());
    yebLog("%s", std::string(2048, 'd').c_str());
    yebLog("ms %d\n", 7);
    YebLogLimit limit(2, "echoes");
    std::string admitted;
    for (int64_t ms : {0, 1, 999, 999, 1000, 1500, 1600}) admitted += limit.admit(ms) ? "y" : "n";
    limit.flush();
    limit.flush();
    fflush(stdout);
    dup2(saved, STDOUT_FILENO);
    close(saved);
    std::string out = readText(dir / "out");
    EXPECT_NE(out.find(" | " + std::string(2047, 'k') + "\n"), std::string::npos);
    EXPECT_EQ(out.find("ddd"), std::string::npos);
    EXPECT_NE(out.find(" | ms 7\n"), std::string::npos);
    EXPECT_EQ(admitted, "yynnyyn");
    EXPECT_NE(out.find(" | echoes left out: 2\n"), std::string::npos) << out;  // at 1000
    EXPECT_NE(out.find(" | echoes left out: 1\n"), std::string::npos) << out;  // at the flush
    EXPECT_EQ(std::count(out.begin(), out.end(), '\n'), 4) << out;
}

// Peer text in a log line: one line, well-formed UTF-8 kept, anything else as \xNN.
TEST(ConsoleLog, EscapesControlCharactersAndBytesThatAreNotUtf8) {
    const std::pair<std::string, std::string> cases[] = {
        {"eth0\n12:00 forged line", "eth0\\x0a12:00 forged line"},
        {"a\rb\tc\x7f", "a\\x0db\\x09c\\x7f"},
        {"caf\xc3\xa9 \xe2\x82\xac \xf0\x9f\x98\x80", "caf\xc3\xa9 \xe2\x82\xac \xf0\x9f\x98\x80"},
        {"\xc0\xaf \xe0\x80\xaf", "\\xc0\\xaf \\xe0\\x80\\xaf"},  // overlong
        {"\xed\xa0\x80", "\\xed\\xa0\\x80"},                      // a surrogate
        {"\xf4\x90\x80\x80", "\\xf4\\x90\\x80\\x80"},             // above U+10FFFF
        {"cut \xe2\x82", "cut \\xe2\\x82"},
    };
    for (const auto& [text, shown] : cases) {
        std::string out(text.size() * 4 + 1, '\0');
        out.resize(yebLogEscape(text.data(), text.size(), out.data()));
        EXPECT_EQ(out, shown);
    }
}

}  // namespace
