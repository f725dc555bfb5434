#include "platform/fileutil.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <string>
#include <thread>

#include "platform/unique_fd.h"
#include "tests/platform/temp_dir.h"

namespace {

bool isDir(const std::string& path) {
    struct stat info {};
    return stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

TEST(Mkdirs, CreatesEveryComponentAndTakesExistingNamesAsSuccess) {
    TempDir dir;
    ASSERT_EQ(chdir(dir.path().c_str()), 0);
    EXPECT_EQ(yebMkdirs("a/b/c/", 0755), 0) << "relative, with a trailing slash";
    EXPECT_TRUE(isDir(dir.path("a/b/c")));
    EXPECT_EQ(yebMkdirs("a/b/c/", 0755), 0) << "an existing path";
    ASSERT_EQ(chdir("/"), 0);
    writeText(dir.path("file"), "x");
    EXPECT_EQ(yebMkdirs(dir.path("file").c_str(), 0755), 0) << "a regular file at the full path";
    EXPECT_EQ(yebMkdirs(dir.path("file/sub/leaf").c_str(), 0755), -1);
    EXPECT_EQ(errno, ENOTDIR);
}

TEST(Mkdirs, RejectsOverlongEmptyAndRootPaths) {
    TempDir dir;
    std::string longPath = dir.path(std::string(256 - dir.path().size() - 1, 'n'));
    ASSERT_EQ(longPath.size(), 256u);
    EXPECT_EQ(yebMkdirs(longPath.c_str(), 0755), -1);
    EXPECT_FALSE(yebFileExists(longPath.c_str()));
    EXPECT_EQ(yebMkdirs("", 0755), -1);
    EXPECT_EQ(yebMkdirs("/", 0755), -1);
    EXPECT_EQ(yebMkdirs(longPath.substr(0, 255).c_str(), 0755), 0);
}

TEST(CopyFile, CopiesContentLargerThanOneChunkWithTheGivenMode) {
    TempDir dir;
    std::string content;
    for (int i = 0; i < 10000; ++i) content += static_cast<char>(i * 7);
    writeText(dir.path("src"), content);
    mode_t previous = umask(0);
    int result = yebCopyFile(dir.path("src").c_str(), dir.path("dst").c_str(), 0640);
    umask(previous);
    ASSERT_EQ(result, 0);
    EXPECT_EQ(readText(dir.path("dst")), content);
    struct stat info {};
    ASSERT_EQ(stat(dir.path("dst").c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0640u);
}

TEST(CopyFile, EmptySourceGivesEmptyDestination) {
    TempDir dir;
    writeText(dir.path("src"), "");
    EXPECT_EQ(yebCopyFile(dir.path("src").c_str(), dir.path("dst").c_str(), 0644), 0);
    EXPECT_TRUE(yebFileExists(dir.path("dst").c_str()));
    EXPECT_EQ(readText(dir.path("dst")), "");
}

TEST(CopyFile, FailuresTouchNoExistingFileAndLeaveNoPartialDestination) {
    TempDir dir;
    writeText(dir.path("src"), "new");
    writeText(dir.path("dst"), "old");
    EXPECT_EQ(yebCopyFile(dir.path("src").c_str(), dir.path("dst").c_str(), 0644), -1);
    EXPECT_EQ(errno, EEXIST);
    EXPECT_EQ(readText(dir.path("src")), "new");
    EXPECT_EQ(readText(dir.path("dst")), "old");
    EXPECT_EQ(yebCopyFile(dir.path("absent").c_str(), dir.path("new").c_str(), 0644), -1);
    EXPECT_FALSE(yebFileExists(dir.path("new").c_str()));
    // A directory opens read-only but every read fails (EISDIR): the partial copy is removed.
    EXPECT_EQ(yebCopyFile(dir.path().c_str(), dir.path("new").c_str(), 0644), -1);
    EXPECT_FALSE(yebFileExists(dir.path("new").c_str()));
}

TEST(CreateFile, CreatesAnEmptyFileAndLeavesAnExistingOneAlone) {
    TempDir dir;
    EXPECT_EQ(yebCreateFile(dir.path("new").c_str(), 0644), 0);
    EXPECT_EQ(readText(dir.path("new")), "");
    writeText(dir.path("full"), "content");
    EXPECT_EQ(yebCreateFile(dir.path("full").c_str(), 0644), 0);
    EXPECT_EQ(readText(dir.path("full")), "content");
    EXPECT_EQ(yebCreateFile(dir.path("absent/new").c_str(), 0644), -1);
}

struct Pipe {
    Pipe() {
        int ends[2];
        if (pipe2(ends, O_CLOEXEC) == 0) {
            readEnd.reset(ends[0]);
            writeEnd.reset(ends[1]);
        }
    }
    UniqueFd readEnd;
    UniqueFd writeEnd;
};

bool readable(int fd) {
    struct pollfd entry {
        fd, POLLIN, 0
    };
    return poll(&entry, 1, 0) > 0;
}

TEST(Drain, DiscardsEverythingPendingAndReturnsWhileTheWriterStaysOpen) {
    Pipe p;
    std::string data(1000, 'd');
    ASSERT_EQ(write(p.writeEnd.get(), data.data(), data.size()), 1000);
    yebDrain(p.readEnd.get());
    EXPECT_FALSE(readable(p.readEnd.get()));
}

TEST(Drain, ReturnsOnAStreamWhosePeerHasClosed) {
    int ends[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, ends), 0);
    UniqueFd mine{ends[0]};
    UniqueFd peer{ends[1]};
    ASSERT_EQ(write(peer.get(), "abc", 3), 3);
    ASSERT_EQ(shutdown(peer.get(), SHUT_WR), 0);
    yebDrain(mine.get());
    char byte;
    EXPECT_EQ(read(mine.get(), &byte, 1), 0) << "pending bytes were discarded";
    peer.reset();
    yebDrain(mine.get());
}

TEST(ReadWithTimeout, ReturnsWhatArrivedWhenTheTimeoutEnds) {
    Pipe p;
    ASSERT_EQ(write(p.writeEnd.get(), "1234", 4), 4);
    unsigned char buffer[10];
    EXPECT_EQ(yebReadWithTimeout(p.readEnd.get(), buffer, 10, 50), 4);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(buffer), 4), "1234");
}

TEST(ReadWithTimeout, ReturnsAtOnceWhenTheWriterCloses) {
    Pipe p;
    ASSERT_EQ(write(p.writeEnd.get(), "1234", 4), 4);
    p.writeEnd.reset();
    unsigned char buffer[10];
    // A long limit: the call must come back on end of stream, not on the clock.
    EXPECT_EQ(yebReadWithTimeout(p.readEnd.get(), buffer, 10, 600000), 4);
}

TEST(ReadWithTimeout, CollectsPiecesUntilTheLengthIsReached) {
    Pipe p;
    std::thread writer([fd = p.writeEnd.get()] {
        for (const char* piece : {"ab", "cd", "ef"}) {
            if (write(fd, piece, 2) != 2) return;
            // Let the reader see separate pieces; correctness does not depend on it.
            std::this_thread::yield();
        }
    });
    unsigned char buffer[6];
    int count = yebReadWithTimeout(p.readEnd.get(), buffer, 6, 600000);
    writer.join();
    ASSERT_EQ(count, 6);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(buffer), 6), "abcdef");
}

TEST(ReadWithTimeout, ZeroTimeoutTakesOnlyWhatIsWaiting) {
    Pipe p;
    unsigned char buffer[4];
    EXPECT_EQ(yebReadWithTimeout(p.readEnd.get(), buffer, 4, 0), 0);
    ASSERT_EQ(write(p.writeEnd.get(), "123456", 6), 6);
    EXPECT_EQ(yebReadWithTimeout(p.readEnd.get(), buffer, 4, 0), 4);
    EXPECT_EQ(yebReadWithTimeout(p.readEnd.get(), buffer, 4, 0), 2);
}

TEST(ReadWithTimeout, FailedReadGivesMinusOne) {
    TempDir dir;
    // A directory descriptor polls readable but every read fails.
    UniqueFd fd{open(dir.path().c_str(), O_RDONLY | O_CLOEXEC)};
    unsigned char buffer[4];
    EXPECT_EQ(yebReadWithTimeout(fd.get(), buffer, 4, 1000), -1);
}

}  // namespace
