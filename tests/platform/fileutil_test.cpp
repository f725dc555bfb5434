#include "platform/fileutil.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <thread>

#include "platform/unique_fd.h"
#include "tests/platform/temp_dir.h"

namespace {

TEST(Mkdirs, CreatesEveryComponentOfPathsUpTo255Bytes) {
    TempDir dir;
    writeText(dir.path("file"), "x");
    const std::string root = dir.path() + "/";
    const std::string longest = root + std::string(255 - root.size(), 'n');
    const std::pair<std::string, int> cases[] = {
        {root + "a/b/c/", 0}, {root + "a/b/c", 0}, {root + "a/b", 0}, {root + "file/sub", -1},
        {longest + "n", -1},  {longest, 0},        {"", -1},          {"/", -1},
    };
    for (const auto& [path, result] : cases) {
        EXPECT_EQ(yebMkdirs(path.c_str(), 0755), result) << path;
        EXPECT_TRUE(result != 0 || yebDirExists(path.c_str())) << path;
    }
    EXPECT_EQ(yebFileExists((longest + "n").c_str()), 0);
    EXPECT_EQ(yebMkdirs((root + "file").c_str(), 0755), 0) << "a file at the full path";
}

TEST(CopyFile, CopiesWithTheModeAndLeavesNoPartialDestination) {
    TempDir dir;
    std::string content;
    for (int i = 0; i < 10000; ++i) content += static_cast<char>(i * 7);
    writeText(dir.path("src"), content);
    writeText(dir.path("old"), "old");
    mode_t previous = umask(0);
    EXPECT_EQ(yebCopyFile(dir.path("src").c_str(), dir.path("copy").c_str(), 0640), 0);
    umask(previous);
    EXPECT_EQ(readText(dir.path("copy")), content);
    struct stat info {};
    ASSERT_EQ(stat(dir.path("copy").c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0640u);

    EXPECT_EQ(yebCopyFile(dir.path("src").c_str(), dir.path("old").c_str(), 0644), -1);
    EXPECT_EQ(readText(dir.path("old")), "old") << "an existing destination is never touched";
    // A missing source, and a directory, which opens but fails every read.
    for (const std::string& source : {dir.path("absent"), dir.path()}) {
        EXPECT_EQ(yebCopyFile(source.c_str(), dir.path("new").c_str(), 0644), -1);
        EXPECT_EQ(yebFileExists(dir.path("new").c_str()), 0) << source;
    }
}

struct Pipe {
    Pipe() {
        int ends[2];
        if (pipe2(ends, O_CLOEXEC) == 0) readEnd.reset(ends[0]), writeEnd.reset(ends[1]);
    }
    UniqueFd readEnd, writeEnd;
};

TEST(Drain, DiscardsWhatIsPendingWithoutWaitingForTheWriterOrAClosedPeer) {
    Pipe p;
    ASSERT_EQ(write(p.writeEnd.get(), std::string(1000, 'd').data(), 1000), 1000);
    yebDrain(p.readEnd.get());
    struct pollfd entry {
        p.readEnd.get(), POLLIN, 0
    };
    EXPECT_EQ(poll(&entry, 1, 0), 0);

    int ends[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, ends), 0);
    UniqueFd mine{ends[0]}, peer{ends[1]};
    ASSERT_EQ(write(peer.get(), "abc", 3), 3);
    peer.reset();
    yebDrain(mine.get());  // returns although the closed stream stays readable
}

TEST(ReadWithTimeout, ReturnsPartialDataAtTheTimeoutAtOnceOnEofAndStopsAtTheLength) {
    unsigned char buffer[10];
    Pipe p;
    EXPECT_EQ(yebReadWithTimeout(p.readEnd.get(), buffer, 4, 0), 0);
    ASSERT_EQ(write(p.writeEnd.get(), "123456", 6), 6);
    EXPECT_EQ(yebReadWithTimeout(p.readEnd.get(), buffer, 4, 0), 4);
    EXPECT_EQ(yebReadWithTimeout(p.readEnd.get(), buffer, 10, 50), 2);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(buffer), 2), "56");
    ASSERT_EQ(write(p.writeEnd.get(), "78", 2), 2);
    p.writeEnd.reset();
    // A long limit: the call must come back on end of stream, not on the clock.
    EXPECT_EQ(yebReadWithTimeout(p.readEnd.get(), buffer, 10, 600000), 2);

    TempDir dir;  // a directory descriptor polls readable but every read fails
    UniqueFd fd{open(dir.path().c_str(), O_RDONLY | O_CLOEXEC)};
    EXPECT_EQ(yebReadWithTimeout(fd.get(), buffer, 4, 1000), -1);
}

TEST(ReadWithTimeout, CollectsPiecesUntilTheLengthIsReached) {
    Pipe p;
    std::thread writer([fd = p.writeEnd.get()] {
        for (const char* piece : {"ab", "cd", "ef"}) {
            if (write(fd, piece, 2) != 2) return;
            std::this_thread::yield();  // separate pieces are likely, not required
        }
    });
    unsigned char buffer[6];
    int count = yebReadWithTimeout(p.readEnd.get(), buffer, 6, 600000);
    writer.join();
    ASSERT_EQ(count, 6);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(buffer), 6), "abcdef");
}

}  // namespace
