#include "platform/FileSystem.h"
#include "platform/Plist.h"

#include "TempDir.h"

#include <atomic>
#include <csignal>
#include <dirent.h>
#include <fcntl.h>
#include <fstream>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

using namespace platform;
using testutil::TempDir;

namespace {

std::vector<std::string> entriesOf(const std::string& dir) {
    std::vector<std::string> names;
    if (DIR* d = opendir(dir.c_str())) {
        while (dirent* e = readdir(d))
            if (std::string(e->d_name) != "." && std::string(e->d_name) != "..")
                names.push_back(e->d_name);
        closedir(d);
    }
    std::sort(names.begin(), names.end());
    return names;
}

std::string contentsOf(const std::string& path) {
    std::string out;
    readFile(path, out);
    return out;
}

mode_t modeOf(const std::string& path) {
    struct stat st {};
    lstat(path.c_str(), &st);
    return st.st_mode & 07777;
}

class ScopedEnv {
public:
    ScopedEnv(const char* name, const std::string& value) : name_(name) {
        if (const char* old = getenv(name))
            old_ = old;
        setenv(name, value.c_str(), 1);
    }
    ~ScopedEnv() {
        if (old_)
            setenv(name_, old_->c_str(), 1);
        else
            unsetenv(name_);
    }

private:
    const char* name_;
    std::optional<std::string> old_;
};

} // namespace

TEST(FileSystem, ExpandsTildeToHome) {
    ScopedEnv home("HOME", "/home/someone");
    EXPECT_EQ(expandTilde("~"), "/home/someone");
    EXPECT_EQ(expandTilde("~/Library/Preferences"), "/home/someone/Library/Preferences");
    EXPECT_EQ(expandTilde("~other/x"), "~other/x");
    EXPECT_EQ(expandTilde("/abs/~/x"), "/abs/~/x");
    EXPECT_EQ(expandTilde(""), "");
    ScopedEnv slashHome("HOME", "/home/someone/");
    EXPECT_EQ(expandTilde("~/a"), "/home/someone/a");
}

TEST(FileSystem, CreatesOneFolderLevel) {
    TempDir dir;
    EXPECT_TRUE(createDirectory(dir / "a"));
    EXPECT_TRUE(isDirectory(dir / "a"));
    EXPECT_TRUE(createDirectory(dir / "a")) << "an existing folder is what was asked for";
    EXPECT_FALSE(createDirectory(dir / "missing/b")) << "one level only";
    ASSERT_TRUE(writeFileAtomically(dir / "file", "x"));
    EXPECT_FALSE(createDirectory(dir / "file"));
    EXPECT_TRUE(pathExists(dir / "file"));
    EXPECT_FALSE(pathExists(dir / "nothing"));
}

TEST(FileSystem, RemovesTreesWithoutFollowingLinks) {
    TempDir dir;
    // Something outside the tree that links inside it must survive.
    ASSERT_TRUE(createDirectory(dir / "outside"));
    ASSERT_TRUE(writeFileAtomically(dir / "outside/keep", "keep"));
    ASSERT_TRUE(createDirectory(dir / "tree"));
    ASSERT_TRUE(createDirectory(dir / "tree/sub"));
    ASSERT_TRUE(createDirectory(dir / "tree/sub/deeper"));
    ASSERT_TRUE(writeFileAtomically(dir / "tree/sub/deeper/f", "f"));
    ASSERT_TRUE(writeFileAtomically(dir / "tree/g", "g"));
    ASSERT_EQ(symlink((dir / "outside").c_str(), (dir / "tree/sub/link").c_str()), 0);
    ASSERT_EQ(chmod((dir / "tree/sub/deeper").c_str(), 0500), 0);

    EXPECT_TRUE(removePath(dir / "tree"));
    EXPECT_FALSE(pathExists(dir / "tree"));
    EXPECT_EQ(contentsOf(dir / "outside/keep"), "keep");

    // A link to a folder is removed itself; the folder stays.
    ASSERT_EQ(symlink((dir / "outside").c_str(), (dir / "link").c_str()), 0);
    EXPECT_TRUE(removePath(dir / "link"));
    EXPECT_TRUE(isDirectory(dir / "outside"));

    EXPECT_TRUE(removePath(dir / "outside/keep"));
    EXPECT_FALSE(removePath(dir / "outside/keep")) << "nothing there";
}

TEST(FileSystem, CopiesATreeWithModesAndLinks) {
    TempDir dir;
    const std::string from = dir / "Dial Ledger.app";
    ASSERT_TRUE(createDirectory(from));
    ASSERT_TRUE(createDirectory(from + "/Contents"));
    ASSERT_TRUE(createDirectory(from + "/Contents/MacOS"));
    ASSERT_TRUE(writeFileAtomically(from + "/Contents/MacOS/dialledger", "#!/bin/sh\n"));
    ASSERT_EQ(chmod((from + "/Contents/MacOS/dialledger").c_str(), 0755), 0);
    ASSERT_TRUE(writeFileAtomically(from + "/Contents/private", std::string(200000, 'p')));
    ASSERT_EQ(chmod((from + "/Contents/private").c_str(), 0600), 0);
    ASSERT_EQ(symlink("MacOS/dialledger", (from + "/Contents/current").c_str()), 0);
    ASSERT_EQ(chmod((from + "/Contents/MacOS").c_str(), 0555), 0);

    const std::string to = dir / "copy.app";
    ASSERT_TRUE(copyTree(from, to));
    EXPECT_EQ(contentsOf(to + "/Contents/MacOS/dialledger"), "#!/bin/sh\n");
    EXPECT_EQ(modeOf(to + "/Contents/MacOS/dialledger"), 0755u);
    EXPECT_EQ(contentsOf(to + "/Contents/private"), std::string(200000, 'p'));
    EXPECT_EQ(modeOf(to + "/Contents/private"), 0600u);
    EXPECT_EQ(modeOf(to + "/Contents/MacOS"), 0755u) << "a copied folder stays removable";
    char target[256] = {};
    ASSERT_GT(readlink((to + "/Contents/current").c_str(), target, sizeof target - 1), 0);
    EXPECT_STREQ(target, "MacOS/dialledger");

    // Only to a free path: what is there stays as it was.
    ASSERT_TRUE(createDirectory(dir / "taken"));
    ASSERT_TRUE(writeFileAtomically(dir / "taken/mine", "mine"));
    EXPECT_FALSE(copyTree(from, dir / "taken"));
    EXPECT_EQ(entriesOf(dir / "taken"), std::vector<std::string>{"mine"});
    EXPECT_FALSE(copyTree(dir / "no such source", dir / "new"));
    EXPECT_FALSE(pathExists(dir / "new"));
    EXPECT_TRUE(removePath(to));
    EXPECT_TRUE(removePath(from));
}

TEST(FileSystem, AFailedCopyLeavesNothing) {
    TempDir dir;
    ASSERT_TRUE(createDirectory(dir / "src"));
    ASSERT_TRUE(writeFileAtomically(dir / "src/a", "a"));
    // A named pipe cannot be copied as a file; the copy fails part-way.
    ASSERT_EQ(mkfifo((dir / "src/pipe").c_str(), 0644), 0);
    ASSERT_TRUE(createDirectory(dir / "dest"));
    EXPECT_FALSE(copyTree(dir / "src", dir / "dest/copy"));
    EXPECT_TRUE(entriesOf(dir / "dest").empty());
}

TEST(FileSystem, AtomicWriteCreatesReplacesAndKeepsModesAndLinks) {
    TempDir dir;
    const std::string path = dir / "file";
    const mode_t oldMask = umask(022);
    ASSERT_TRUE(writeFileAtomically(path, "one"));
    umask(oldMask);
    EXPECT_EQ(contentsOf(path), "one");
    EXPECT_EQ(modeOf(path), 0644u);

    ASSERT_EQ(chmod(path.c_str(), 0600), 0);
    ASSERT_TRUE(writeFileAtomically(path, "two"));
    EXPECT_EQ(contentsOf(path), "two");
    EXPECT_EQ(modeOf(path), 0600u) << "a replaced file keeps its permissions";

    ASSERT_EQ(symlink("file", (dir / "link").c_str()), 0);
    ASSERT_TRUE(writeFileAtomically(dir / "link", "three"));
    struct stat st {};
    ASSERT_EQ(lstat((dir / "link").c_str(), &st), 0);
    EXPECT_TRUE(S_ISLNK(st.st_mode));
    EXPECT_EQ(contentsOf(path), "three");

    ASSERT_TRUE(writeFileAtomically(path, ""));
    EXPECT_EQ(contentsOf(path), "");
    EXPECT_FALSE(writeFileAtomically(dir / "missing/file", "x"));
    EXPECT_EQ(entriesOf(dir.path()), (std::vector<std::string>{"file", "link"}))
        << "no temporary file is left behind";
}

// A reader that keeps rereading while the file is replaced over and over only
// ever sees one whole version, never a mix or a cut.
TEST(FileSystem, ConcurrentReaderNeverSeesAHalfWrittenFile) {
    TempDir dir;
    const std::string path = dir / "log.plist";
    auto makeLog = [](size_t records, uint32_t marker) {
        Array log;
        for (size_t i = 0; i < records; ++i) {
            Dictionary r;
            r.set("date", Value(Date{1700000000 + int64_t(i)}));
            r.set("timeElapsed", Value(marker));
            log.emplace_back(std::move(r));
        }
        return Value(std::move(log));
    };
    const Value a = makeLog(20000, 1), b = makeLog(15000, 2);
    const std::string textA = toXml(a), textB = toXml(b);
    ASSERT_TRUE(writeXmlFile(path, a));

    std::atomic<bool> done{false};
    std::atomic<int> reads{0}, torn{0};
    std::thread reader([&] {
        std::string text;
        while (!done.load() || reads.load() < 20) {
            if (!readFile(path, text) || (text != textA && text != textB))
                ++torn;
            ++reads;
        }
    });
    for (int i = 0; i < 60; ++i)
        ASSERT_TRUE(writeXmlFile(path, i % 2 ? a : b));
    done = true;
    reader.join();
    EXPECT_EQ(torn.load(), 0) << "of " << reads.load() << " reads";
    auto last = readArrayFile(path);
    ASSERT_TRUE(last);
    EXPECT_EQ(Value(*last), a);
}

// A write that the file system refuses part-way (here: the file size limit,
// the same path as a full disk) reports failure and leaves the old file whole.
TEST(FileSystem, FailedWriteLeavesTheOldFileWhole) {
    TempDir dir;
    const std::string path = dir / "log.plist";
    Array original{Value("old")};
    ASSERT_TRUE(writeXmlFile(path, Value(original)));
    const std::string before = contentsOf(path);

    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        signal(SIGXFSZ, SIG_IGN);
        struct rlimit limit {
            4096, 4096
        };
        setrlimit(RLIMIT_FSIZE, &limit);
        const bool raw = writeFileAtomically(path, std::string(1 << 20, 'x'));
        const bool xml = writeXmlFile(path, Value(Array(5000, Value("a longer replacement"))));
        _exit(!raw && !xml ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status)) << "the writer must not be killed by the size limit";
    EXPECT_EQ(WEXITSTATUS(status), 0) << "both writes must report failure";
    EXPECT_EQ(contentsOf(path), before);
    EXPECT_EQ(readArrayFile(path), original);
    EXPECT_EQ(entriesOf(dir.path()), std::vector<std::string>{"log.plist"});
}

TEST(FileSystem, ReadFileHonoursItsLimit) {
    TempDir dir;
    ASSERT_TRUE(writeFileAtomically(dir / "f", std::string(1000, 'a')));
    std::string out;
    EXPECT_TRUE(readFile(dir / "f", out, 1000));
    EXPECT_EQ(out.size(), 1000u);
    EXPECT_FALSE(readFile(dir / "f", out, 999));
    EXPECT_TRUE(out.empty());
    EXPECT_FALSE(readFile(dir / "none", out));
    EXPECT_FALSE(readFile(dir.path(), out));
}

// A writer killed between creating its temporary file and the rename leaves
// that file behind; the cleanup takes only such leftovers, and only once they
// are old enough that no write can still be in flight.
TEST(FileSystem, RemovesOnlyStaleTemporaryFiles) {
    TempDir dir;
    ASSERT_TRUE(writeFileAtomically(dir / "log", "history"));
    auto make = [&](const std::string& name, bool old) {
        ASSERT_TRUE(writeFileAtomically(dir / name, "x"));
        if (old) {
            timespec times[2] = {{0, UTIME_OMIT}, {time(nullptr) - 3600, 0}};
            ASSERT_EQ(utimensat(AT_FDCWD, (dir / name).c_str(), times, AT_SYMLINK_NOFOLLOW), 0);
        }
    };
    make(".log.tmp-0123456789abcdef", true);  // a killed writer's leftover
    make(".log.tmp-fedcba9876543210", false); // a write that may be in flight
    make(".log.tmp-0123456789abcdeg", true);  // not our name
    make(".log.tmp-0123", true);              // not our name
    make("log.tmp-0123456789abcdef", true);   // not hidden: not ours
    ASSERT_EQ(mkdir((dir / ".bundle.tmp-0123456789abcdef").c_str(), 0755), 0);

    EXPECT_EQ(removeStaleTemporaryFiles(dir.path(), std::chrono::seconds(60)), 1);
    EXPECT_EQ(entriesOf(dir.path()),
              (std::vector<std::string>{".bundle.tmp-0123456789abcdef", ".log.tmp-0123",
                                        ".log.tmp-0123456789abcdeg", ".log.tmp-fedcba9876543210",
                                        "log", "log.tmp-0123456789abcdef"}));
    EXPECT_EQ(contentsOf(dir / "log"), "history");
    EXPECT_EQ(removeStaleTemporaryFiles(dir / "missing", std::chrono::seconds(0)), 0);
}
