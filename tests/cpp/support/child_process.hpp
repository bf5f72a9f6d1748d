#pragma once
// Runs a test body in a forked child, so that a crash, a stack overflow or an exhausted address
// space is reported instead of ending the test run, and the child's peak memory can be measured.
// Header-only.
//
//   auto r = velmo::test::run_in_child([] { return reader::open_workbook(path) ? 1 : 0; });
//   EXPECT_TRUE(r.exited_with(0));
//   EXPECT_LT(r.peak_rss_bytes, 256u << 20);

#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <functional>
#include <string>

namespace velmo::test {

struct ChildResult {
    int status = 0;               // as waitpid reports it
    std::uint64_t peak_rss_bytes = 0;

    bool exited_with(int code) const { return WIFEXITED(status) && WEXITSTATUS(status) == code; }
    std::string describe() const {
        if (WIFEXITED(status)) return "exited with " + std::to_string(WEXITSTATUS(status));
        if (WIFSIGNALED(status)) return "killed by signal " + std::to_string(WTERMSIG(status));
        return "status " + std::to_string(status);
    }
};

// `body` returns the child's exit code. Output buffers are flushed first so nothing is printed twice.
inline ChildResult run_in_child(const std::function<int()>& body) {
    std::fflush(nullptr);
    const pid_t pid = ::fork();
    if (pid < 0) return {-1, 0};
    if (pid == 0) {
        int code = 125;
        try {
            code = body();
        } catch (...) {
            code = 124;
        }
        std::fflush(nullptr);
        ::_exit(code);
    }
    ChildResult r;
    struct rusage usage {};
    while (::wait4(pid, &r.status, 0, &usage) < 0) {
    }
    r.peak_rss_bytes = static_cast<std::uint64_t>(usage.ru_maxrss) * 1024;  // Linux reports KiB
    return r;
}

// The peak resident size of this process so far, for a baseline.
inline std::uint64_t own_peak_rss_bytes() {
    struct rusage usage {};
    ::getrusage(RUSAGE_SELF, &usage);
    return static_cast<std::uint64_t>(usage.ru_maxrss) * 1024;
}

}  // namespace velmo::test
