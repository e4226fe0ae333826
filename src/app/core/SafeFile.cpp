#include "app/core/SafeFile.hpp"

#include "app/core/Paths.hpp"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <random>
#include <sys/stat.h>
#include <unistd.h>

namespace app {
namespace {

void SetError(std::string* error, const std::string& what, const std::string& path, int err)
{
    if (error)
        *error = what + " \"" + path + "\": " + std::strerror(err);
}

std::string DirOf(const std::string& path)
{
    const std::size_t slash = path.find_last_of('/');
    if (slash == std::string::npos)
        return ".";
    if (slash == 0)
        return "/";
    return path.substr(0, slash);
}

std::string BaseOf(const std::string& path)
{
    const std::size_t slash = path.find_last_of('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

// A temporary file beside path, created exclusively.
int CreateTemp(const std::string& path, std::string& tempPath, mode_t mode)
{
    thread_local std::mt19937_64 rng;
    thread_local pid_t seededIn = 0;
    // A forked child must not retry the names its parent (or a killed sibling) left behind.
    if (seededIn != getpid()) {
        rng.seed(std::random_device{}());
        seededIn = getpid();
    }
    for (int attempt = 0; attempt < 20; ++attempt) {
        char suffix[24];
        std::snprintf(suffix, sizeof suffix, ".%012llx.tmp",
                      static_cast<unsigned long long>(rng() & 0xffffffffffffULL));
        tempPath = JoinPath(DirOf(path), "." + BaseOf(path) + suffix);
        const int fd = open(tempPath.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, mode);
        if (fd >= 0 || errno != EEXIST)
            return fd;
    }
    errno = EEXIST;
    return -1;
}

bool WriteAll(int fd, std::string_view bytes)
{
    while (!bytes.empty()) {
        const ssize_t n = write(fd, bytes.data(), bytes.size());
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return false;
        }
        if (n == 0) {
            errno = ENOSPC;
            return false;
        }
        bytes.remove_prefix(static_cast<std::size_t>(n));
    }
    return true;
}

// Resolves a symbolic link, so the file it points to is the one replaced.
std::string Target(const std::string& path)
{
    struct stat st {};
    if (lstat(path.c_str(), &st) == 0 && S_ISLNK(st.st_mode)) {
        char target[PATH_MAX];
        if (realpath(path.c_str(), target))
            return target;
    }
    return path;
}

// Makes a rename in the folder durable.
int SyncDir(const std::string& dir)
{
    const int dirFd = open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dirFd < 0)
        return errno;
    const int err = fsync(dirFd) == 0 ? 0 : errno;
    close(dirFd);
    return err;
}

} // namespace

bool FileExists(const std::string& path)
{
    struct stat st {};
    return lstat(path.c_str(), &st) == 0;
}

bool WriteFileAtomic(const std::string& linkOrPath, std::string_view bytes, int mode, std::string* error,
                     SyncMode sync)
{
    const std::string path = Target(linkOrPath);
    struct stat st {};
    const bool exists = stat(path.c_str(), &st) == 0;
    if (exists && !S_ISREG(st.st_mode)) {
        SetError(error, "Cannot write", path, EISDIR);
        return false;
    }
    // Renaming over a file needs only the folder's permission; a file the
    // user made read-only must still not be replaced.
    if (exists && access(path.c_str(), W_OK) != 0) {
        SetError(error, "Cannot write", path, errno);
        return false;
    }
    mode_t finalMode;
    bool setMode = true;
    if (mode >= 0) {
        finalMode = static_cast<mode_t>(mode);
    } else if (exists) {
        finalMode = st.st_mode & 07777;
    } else {
        finalMode = 0666;
        setMode = false; // let the umask apply, as for any new file
    }
    std::string tempPath;
    // Created with the tighter of the final mode and 0600, so a secret is never readable by others.
    const int fd = CreateTemp(path, tempPath, setMode ? (finalMode & 0600) : 0666);
    if (fd < 0) {
        SetError(error, "Cannot write", path, errno);
        return false;
    }
    int err = 0;
    if (!WriteAll(fd, bytes))
        err = errno;
    else if (setMode && fchmod(fd, finalMode) != 0)
        err = errno;
    else if (sync == SyncMode::Now && fsync(fd) != 0)
        err = errno;
    if (close(fd) != 0 && err == 0)
        err = errno;
    if (err == 0 && rename(tempPath.c_str(), path.c_str()) != 0)
        err = errno;
    if (err != 0) {
        unlink(tempPath.c_str());
        SetError(error, "Cannot write", path, err);
        return false;
    }
    if (sync == SyncMode::Now)
        SyncDir(DirOf(path));
    return true;
}

bool SyncFile(const std::string& linkOrPath, std::string* error)
{
    const std::string path = Target(linkOrPath);
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        SetError(error, "Cannot flush", path, errno);
        return false;
    }
    int err = fsync(fd) == 0 ? 0 : errno;
    close(fd);
    if (err == 0)
        err = SyncDir(DirOf(path));
    if (err != 0) {
        SetError(error, "Cannot flush", path, err);
        return false;
    }
    return true;
}

bool ReadWholeFile(const std::string& path, std::string& bytes, std::string* error)
{
    bytes.clear();
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        SetError(error, "Cannot read", path, errno);
        return false;
    }
    char buffer[65536];
    for (;;) {
        const ssize_t n = read(fd, buffer, sizeof buffer);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            const int err = errno;
            close(fd);
            bytes.clear();
            SetError(error, "Cannot read", path, err);
            return false;
        }
        if (n == 0)
            break;
        bytes.append(buffer, static_cast<std::size_t>(n));
    }
    close(fd);
    return true;
}

std::vector<std::string> SplitLines(std::string_view text)
{
    std::vector<std::string> lines;
    std::size_t start = 0;
    while (start < text.size()) {
        std::size_t end = text.find('\n', start);
        const std::size_t next = end == std::string_view::npos ? text.size() : end + 1;
        if (end == std::string_view::npos)
            end = text.size();
        std::size_t stop = end;
        if (stop > start && text[stop - 1] == '\r' && end < text.size())
            --stop;
        lines.emplace_back(text.substr(start, stop - start));
        start = next;
    }
    return lines;
}

bool ReadLines(const std::string& path, std::vector<std::string>& lines, std::string* error)
{
    std::string bytes;
    lines.clear();
    if (!ReadWholeFile(path, bytes, error))
        return false;
    lines = SplitLines(bytes);
    return true;
}

std::string JoinLinesCrLf(const std::vector<std::string>& lines)
{
    std::string text;
    for (const std::string& line : lines) {
        text += line;
        text += "\r\n";
    }
    return text;
}

} // namespace app
