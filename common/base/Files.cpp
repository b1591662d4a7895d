#include "Files.h"

#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <random>

namespace korva {
namespace {

// Links followed before a path counts as a loop (the kernel's own limit).
constexpr int kMaxLinks = 40;
// Unique names tried before giving up on a folder.
constexpr int kTempAttempts = 16;

std::string Folder(const std::string& path) {
    const std::size_t slash = path.rfind('/');
    if (slash == std::string::npos) return ".";
    if (slash == 0) return "/";
    return path.substr(0, slash);
}

std::string BaseName(const std::string& path) {
    const std::size_t slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

bool WriteAll(int fd, std::string_view data) {
    while (!data.empty()) {
        const ssize_t n = ::write(fd, data.data(), data.size());
        if (n < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        data.remove_prefix(static_cast<std::size_t>(n));
    }
    return true;
}

// Writing beyond the file size limit (ulimit -f) raises SIGXFSZ, which ends
// the process unless handled: a save would kill the program instead of
// failing. Held back on this thread while writing and taken off again, so
// the write fails with EFBIG like any full disk.
bool WriteAllWithinLimit(int fd, std::string_view data) {
    sigset_t limit;
    sigemptyset(&limit);
    sigaddset(&limit, SIGXFSZ);
    sigset_t previous;
    const bool blocked = ::pthread_sigmask(SIG_BLOCK, &limit, &previous) == 0;
    const bool ok = WriteAll(fd, data);
    const int err = errno;
    if (blocked) {
        if (!ok && err == EFBIG && !sigismember(&previous, SIGXFSZ)) {
            const struct timespec now { 0, 0 };
            (void)::sigtimedwait(&limit, nullptr, &now);
        }
        ::pthread_sigmask(SIG_SETMASK, &previous, nullptr);
    }
    errno = err;
    return ok;
}

bool Fail(std::string* error, std::string why) {
    if (error) *error = std::move(why);
    return false;
}

// A new file beside target, created exclusively, mode 0666 less the umask
// (as any new document). -1 with errno set when the folder refuses.
int CreateSibling(const std::string& target, std::string* name) {
    static std::atomic<unsigned> counter{0};
    thread_local std::mt19937 random{std::random_device{}()};
    const std::string stem = Folder(target) + "/." + BaseName(target) + ".";
    for (int attempt = 0; attempt < kTempAttempts; ++attempt) {
        *name = stem + std::to_string(::getpid()) + "-" + std::to_string(counter.fetch_add(1)) +
                "-" + std::to_string(random() % 1000000) + ".tmp";
        const int fd = ::open(name->c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (fd >= 0 || errno != EEXIST) return fd;
    }
    errno = EEXIST;
    return -1;
}

}  // namespace

std::string ErrnoText(int err) {
    char buf[256];
    // The GNU variant returns the text, which may or may not be in buf.
    return strerror_r(err, buf, sizeof buf);
}

std::string ResolveLinks(const std::string& path, std::string* error) {
    std::string current = path;
    for (int hops = 0; hops <= kMaxLinks; ++hops) {
        struct stat st {};
        if (::lstat(current.c_str(), &st) != 0 || !S_ISLNK(st.st_mode)) return current;
        std::string target(static_cast<std::size_t>(st.st_size > 0 ? st.st_size : 4096) + 1, '\0');
        const ssize_t n = ::readlink(current.c_str(), target.data(), target.size());
        if (n < 0 || static_cast<std::size_t>(n) >= target.size()) {
            Fail(error, "cannot read the link " + current + ": " + ErrnoText(n < 0 ? errno : EIO));
            return {};
        }
        target.resize(static_cast<std::size_t>(n));
        current = target.front() == '/' ? target : Folder(current) + "/" + target;
    }
    Fail(error, path + ": " + ErrnoText(ELOOP));
    return {};
}

FileRead ReadRegularFile(const std::string& path, std::size_t maxBytes, std::string* content,
                         std::string* error) {
    content->clear();
    if (path.empty()) return FileRead::kMissing;
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) {
        if (errno == ENOENT || errno == ENOTDIR) return FileRead::kMissing;
        Fail(error, "cannot open " + path + ": " + ErrnoText(errno));
        return FileRead::kFailed;
    }
    // Checked before opening: opening a FIFO waits for a writer, a device may react.
    if (!S_ISREG(st.st_mode)) {
        Fail(error, path + " is not a regular file");
        return FileRead::kFailed;
    }
    // O_NONBLOCK still, in case the path was swapped for a FIFO in between.
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
    if (fd < 0) {
        if (errno == ENOENT) return FileRead::kMissing;
        Fail(error, "cannot open " + path + ": " + ErrnoText(errno));
        return FileRead::kFailed;
    }
    std::string why;
    if (::fstat(fd, &st) != 0) {
        why = "cannot read " + path + ": " + ErrnoText(errno);
    } else if (!S_ISREG(st.st_mode)) {
        why = path + " is not a regular file";
    } else if (static_cast<unsigned long long>(st.st_size) > maxBytes) {
        why = path + " is too large (" + std::to_string(st.st_size) + " bytes, at most " +
              std::to_string(maxBytes) + ")";
    } else {
        content->reserve(static_cast<std::size_t>(st.st_size));
        char buf[65536];
        for (;;) {
            const ssize_t n = ::read(fd, buf, sizeof buf);
            if (n > 0) {
                if (content->size() + static_cast<std::size_t>(n) > maxBytes) {
                    why = path + " grew beyond " + std::to_string(maxBytes) + " bytes while read";
                    break;
                }
                content->append(buf, static_cast<std::size_t>(n));
                continue;
            }
            if (n == 0) break;
            if (errno == EINTR) continue;
            why = "cannot read " + path + ": " + ErrnoText(errno);
            break;
        }
    }
    ::close(fd);
    if (why.empty()) return FileRead::kRead;
    content->clear();
    Fail(error, why);
    return FileRead::kFailed;
}

bool ReplaceFile(const std::string& path, std::string_view data, std::string* error) {
    if (path.empty()) return Fail(error, "no file name");
    // Replacing a link would cut it off from the file it shares; replace
    // the file it names instead.
    const std::string target = ResolveLinks(path, error);
    if (target.empty()) return false;
    struct stat old {};
    const bool exists = ::stat(target.c_str(), &old) == 0;
    if (!exists && errno != ENOENT) {
        return Fail(error, "cannot replace " + path + ": " + ErrnoText(errno));
    }
    if (exists && !S_ISREG(old.st_mode)) return Fail(error, path + " is not a regular file");

    std::string temp;
    const int fd = CreateSibling(target, &temp);
    if (fd < 0) {
        // Never fall back to writing in place: a failure there loses the old file.
        return Fail(error, "cannot create a new file in " + Folder(target) + " to replace " + path +
                               ": " + ErrnoText(errno));
    }
    std::string why;
    if (exists) {
        // The owner first: changing it clears set-id bits, which the mode restores.
        if (::fchown(fd, old.st_uid, old.st_gid) != 0) {
            // Only the owner's group may be kept by an ordinary user; a file
            // another user owns becomes ours, as with any editor that saves
            // by renaming.
            (void)::fchown(fd, static_cast<uid_t>(-1), old.st_gid);
        }
        if (::fchmod(fd, old.st_mode & 07777) != 0) {
            why = "cannot give " + temp + " the mode of " + path + ": " + ErrnoText(errno);
        }
    }
    if (why.empty() && !WriteAllWithinLimit(fd, data)) {
        why = "cannot write " + path + ": " + ErrnoText(errno);
    }
    if (why.empty() && ::fsync(fd) != 0) why = "cannot write " + path + ": " + ErrnoText(errno);
    if (::close(fd) != 0 && why.empty()) why = "cannot write " + path + ": " + ErrnoText(errno);
    if (why.empty() && ::rename(temp.c_str(), target.c_str()) != 0) {
        why = "cannot replace " + path + ": " + ErrnoText(errno);
    }
    if (!why.empty()) {
        ::unlink(temp.c_str());
        return Fail(error, why);
    }
    // The rename itself is durable only once the folder is.
    const int dir = ::open(Folder(target).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dir >= 0) {
        (void)::fsync(dir);
        ::close(dir);
    }
    return true;
}

}  // namespace korva
