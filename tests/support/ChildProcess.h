#pragma once
// Runs a piece of a test in a child process, so it can fail in ways the test
// process must not: a file size limit (a full disk as the writer sees it),
// another user id, a private mount of a tiny file system.
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <functional>

namespace korva::test {

// The child's exit status (0..255), or -1 when it could not run or died.
inline int RunInChild(const std::function<int()>& body) {
    const pid_t pid = ::fork();
    if (pid < 0) return -1;
    if (pid == 0) ::_exit(body());
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0) {
        if (errno != EINTR) return -1;
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// In a child: files may not grow beyond maxBytes, and writing past that
// fails with EFBIG instead of killing the process.
inline void LimitFileSize(rlim_t maxBytes) {
    ::signal(SIGXFSZ, SIG_IGN);
    struct rlimit limit {
        maxBytes, maxBytes
    };
    ::setrlimit(RLIMIT_FSIZE, &limit);
}

// Runs body as a writer whose files cannot grow beyond maxBytes; true when
// the child ran and body returned true.
inline bool WithFullDisk(rlim_t maxBytes, const std::function<bool()>& body) {
    return RunInChild([&] {
               LimitFileSize(maxBytes);
               return body() ? 0 : 1;
           }) == 0;
}

}  // namespace korva::test
