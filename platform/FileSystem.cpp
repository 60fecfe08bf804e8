#include "platform/FileSystem.h"

#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <dirent.h>
#include <fcntl.h>
#include <ftw.h>
#include <pwd.h>
#include <random>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace platform {

namespace {

std::string baseNameOf(const std::string& path) {
    size_t slash = path.find_last_of('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

uint64_t randomBits() {
    uint64_t v = 0;
    if (getrandom(&v, sizeof v, GRND_NONBLOCK) != sizeof v) {
        static thread_local std::mt19937_64 fallback(std::random_device{}() ^
                                                     static_cast<uint64_t>(getpid()));
        v = fallback();
    }
    return v;
}

constexpr std::string_view kTempMarker = ".tmp-";
constexpr size_t kTempDigits = 16;

// A fresh name beside `path` for a file or folder being prepared there:
// "." + its name + ".tmp-" + 16 hex digits.
std::string siblingTempName(const std::string& path) {
    char suffix[32];
    std::snprintf(suffix, sizeof suffix, ".tmp-%0*llx", static_cast<int>(kTempDigits),
                  static_cast<unsigned long long>(randomBits()));
    std::string dir = parentFolder(path);
    std::string base = "." + baseNameOf(path) + suffix;
    return dir == "/" ? "/" + base : dir + "/" + base;
}

bool writeAll(int fd, std::string_view bytes) {
    const char* p = bytes.data();
    size_t left = bytes.size();
    while (left > 0) {
        ssize_t n = ::write(fd, p, left);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return false; // ENOSPC, EFBIG, EIO, ...
        }
        p += n;
        left -= static_cast<size_t>(n);
    }
    return true;
}

void fsyncDirectoryOf(const std::string& path) {
    int dfd = ::open(parentFolder(path).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dfd < 0)
        return;
    // Some file systems cannot sync a folder (EINVAL); the rename itself has
    // happened either way.
    ::fsync(dfd);
    ::close(dfd);
}

// Reads `fd` to its end in chunks, handing each to `take`; false on a read
// error or when `take` refuses a chunk.
template <typename Take> bool readChunks(int fd, Take take) {
    char buf[1 << 16];
    for (;;) {
        ssize_t n = ::read(fd, buf, sizeof buf);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            return false;
        if (n == 0)
            return true;
        if (!take(std::string_view(buf, static_cast<size_t>(n))))
            return false;
    }
}

int removeEntry(const char* path, const struct stat*, int type, struct FTW*) {
    int rc = (type == FTW_DP || type == FTW_D) ? ::rmdir(path) : ::unlink(path);
    return rc == 0 ? 0 : -1;
}

bool copyFile(const std::string& from, const std::string& to, mode_t mode) {
    int in = ::open(from.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
    if (in < 0)
        return false;
    int out = ::open(to.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (out < 0) {
        ::close(in);
        return false;
    }
    bool ok = readChunks(in, [out](std::string_view chunk) { return writeAll(out, chunk); });
    ok = ok && ::fchmod(out, mode & 0777) == 0;
    ok = (::close(out) == 0) && ok;
    ::close(in);
    return ok;
}

// Copies one entry (file, folder with its contents, or symbolic link) to a
// path where nothing exists.
bool copyEntry(const std::string& from, const std::string& to, int depth) {
    if (depth > 256)
        return false;
    struct stat st;
    if (::lstat(from.c_str(), &st) != 0)
        return false;
    if (S_ISLNK(st.st_mode)) {
        std::vector<char> target(static_cast<size_t>(st.st_size > 0 ? st.st_size : PATH_MAX) + 1);
        ssize_t n = ::readlink(from.c_str(), target.data(), target.size());
        if (n < 0 || static_cast<size_t>(n) >= target.size())
            return false;
        target[static_cast<size_t>(n)] = '\0';
        return ::symlink(target.data(), to.c_str()) == 0;
    }
    if (S_ISREG(st.st_mode))
        return copyFile(from, to, st.st_mode);
    if (!S_ISDIR(st.st_mode))
        return false; // devices, sockets and pipes have no place in what we copy
    // Filled while private and writable, given the source's mode at the end,
    // so that a read-only source folder can still be copied. The owner keeps
    // write access to every copied folder: a copy must stay removable by the
    // user who made it (the installed agent is removed again on request).
    if (::mkdir(to.c_str(), 0700) != 0)
        return false;
    DIR* dir = ::opendir(from.c_str());
    if (!dir)
        return false;
    bool ok = true;
    while (ok) {
        errno = 0;
        struct dirent* entry = ::readdir(dir);
        if (!entry) {
            ok = errno == 0;
            break;
        }
        if (std::strcmp(entry->d_name, ".") == 0 || std::strcmp(entry->d_name, "..") == 0)
            continue;
        ok = copyEntry(from + "/" + entry->d_name, to + "/" + entry->d_name, depth + 1);
    }
    ::closedir(dir);
    return ok && ::chmod(to.c_str(), (st.st_mode & 0777) | S_IRWXU) == 0;
}

} // namespace

std::string parentFolder(const std::string& path) {
    size_t slash = path.find_last_of('/');
    if (slash == std::string::npos)
        return ".";
    if (slash == 0)
        return "/";
    return path.substr(0, slash);
}

std::string homeDirectory() {
    const char* home = std::getenv("HOME");
    if (home && *home)
        return home;
    struct passwd pw;
    struct passwd* result = nullptr;
    std::vector<char> buf(16384);
    if (getpwuid_r(getuid(), &pw, buf.data(), buf.size(), &result) == 0 && result && result->pw_dir)
        return result->pw_dir;
    return "/";
}

std::string expandTilde(std::string_view path) {
    if (path == "~")
        return homeDirectory();
    if (path.size() >= 2 && path[0] == '~' && path[1] == '/') {
        std::string home = homeDirectory();
        while (home.size() > 1 && home.back() == '/')
            home.pop_back();
        if (home == "/")
            home.clear();
        return home + std::string(path.substr(1));
    }
    return std::string(path);
}

bool pathExists(const std::string& path) {
    struct stat st;
    return ::lstat(path.c_str(), &st) == 0;
}

bool isDirectory(const std::string& path) {
    struct stat st;
    return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool createDirectory(const std::string& path) {
    if (::mkdir(path.c_str(), 0777) == 0)
        return true;
    // The folder is there, whoever made it: what the caller wanted holds.
    return errno == EEXIST && isDirectory(path);
}

bool removePath(const std::string& path) {
    struct stat st;
    if (::lstat(path.c_str(), &st) != 0)
        return false;
    if (!S_ISDIR(st.st_mode))
        return ::unlink(path.c_str()) == 0;
    // Depth first, never following links, never leaving this file system.
    return ::nftw(path.c_str(), removeEntry, 32, FTW_DEPTH | FTW_PHYS | FTW_MOUNT) == 0;
}

bool copyTree(const std::string& from, const std::string& to) {
    if (pathExists(to) || !pathExists(from))
        return false;
    // Built under a temporary name and moved into place at the end, so that
    // an interrupted copy never looks like a finished one.
    const std::string temp = siblingTempName(to);
    if (!copyEntry(from, temp, 0)) {
        if (pathExists(temp))
            removePath(temp);
        return false;
    }
    if (::renameat2(AT_FDCWD, temp.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) != 0) {
        removePath(temp);
        return false;
    }
    return true;
}

bool writeFileAtomically(const std::string& path, std::string_view bytes) {
    std::string target = path;
    // Writing through a symbolic link keeps the link (a user's dotfile setup,
    // say) and replaces the file it points to.
    struct stat lst;
    if (::lstat(path.c_str(), &lst) == 0 && S_ISLNK(lst.st_mode)) {
        if (char* resolved = ::realpath(path.c_str(), nullptr)) {
            target = resolved;
            std::free(resolved);
        }
    }
    std::string temp;
    int fd = -1;
    for (int attempt = 0; attempt < 100 && fd < 0; ++attempt) {
        temp = siblingTempName(target);
        // 0644 before the umask, like any newly created file.
        fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
        if (fd < 0 && errno != EEXIST)
            return false;
    }
    if (fd < 0)
        return false;
    bool ok = writeAll(fd, bytes);
    // A replaced file keeps the permissions it had.
    struct stat st;
    if (ok && ::stat(target.c_str(), &st) == 0 && S_ISREG(st.st_mode))
        ok = ::fchmod(fd, st.st_mode & 07777) == 0;
    ok = ok && ::fsync(fd) == 0;
    ok = (::close(fd) == 0) && ok;
    ok = ok && ::rename(temp.c_str(), target.c_str()) == 0;
    if (!ok) {
        ::unlink(temp.c_str());
        return false;
    }
    fsyncDirectoryOf(target);
    return true;
}

namespace {

bool isTempName(std::string_view name) {
    if (name.size() < 1 + kTempMarker.size() + kTempDigits || name[0] != '.')
        return false;
    const std::string_view tail = name.substr(name.size() - kTempDigits - kTempMarker.size());
    if (tail.substr(0, kTempMarker.size()) != kTempMarker)
        return false;
    for (char c : tail.substr(kTempMarker.size()))
        if (!std::isxdigit(static_cast<unsigned char>(c)))
            return false;
    return true;
}

} // namespace

int removeStaleTemporaryFiles(const std::string& folder, std::chrono::seconds minAge) {
    DIR* dir = ::opendir(folder.c_str());
    if (!dir)
        return 0;
    const time_t cutoff = ::time(nullptr) - static_cast<time_t>(minAge.count());
    int removed = 0;
    while (const dirent* e = ::readdir(dir)) {
        if (!isTempName(e->d_name))
            continue;
        struct stat st;
        // Only plain files: a folder being copied into place is not ours to judge.
        if (::fstatat(::dirfd(dir), e->d_name, &st, AT_SYMLINK_NOFOLLOW) != 0 ||
            !S_ISREG(st.st_mode) || st.st_mtime > cutoff)
            continue;
        if (::unlinkat(::dirfd(dir), e->d_name, 0) == 0)
            ++removed;
    }
    ::closedir(dir);
    return removed;
}

bool readFile(const std::string& path, std::string& out, size_t maxBytes) {
    out.clear();
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return false;
    struct stat st;
    if (::fstat(fd, &st) != 0 || S_ISDIR(st.st_mode) ||
        (S_ISREG(st.st_mode) && static_cast<uint64_t>(st.st_size) > maxBytes)) {
        ::close(fd);
        return false;
    }
    if (S_ISREG(st.st_mode))
        out.reserve(static_cast<size_t>(st.st_size));
    bool ok = readChunks(fd, [&out, maxBytes](std::string_view chunk) {
        if (out.size() + chunk.size() > maxBytes)
            return false;
        out.append(chunk);
        return true;
    });
    ::close(fd);
    if (!ok)
        out.clear();
    return ok;
}

} // namespace platform
