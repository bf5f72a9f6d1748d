#include "writer/atomic_save.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#if defined(__linux__)
#include <sys/random.h>
#endif

#include <array>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>

namespace velmo::writer {
namespace {

constexpr std::string_view kAlphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
constexpr int kNameAttempts = 65536;

VelmoError io_error(int err, std::string_view path = {}) {
    std::string text;
    if (!path.empty()) {
        text.append(path);
        text += ": ";
    }
    text += std::strerror(err);
    return VelmoError::io(std::move(text), err);
}

// Random bytes for a temporary name. Exclusive creation makes collisions harmless, so when the
// system source fails a clock-and-counter mix is good enough.
void random_bytes(unsigned char* out, size_t n) {
#if defined(__APPLE__)
    arc4random_buf(out, n);
    return;
#else
    size_t got = 0;
#if defined(__linux__)
    while (got < n) {
        ssize_t r = ::getrandom(out + got, n - got, 0);
        if (r < 0) {
            if (errno == EINTR) continue;
            break;
        }
        got += static_cast<size_t>(r);
    }
#endif
    if (got == n) return;
    static std::atomic<uint64_t> counter{0};
    uint64_t x = static_cast<uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count()) ^
                 (static_cast<uint64_t>(::getpid()) << 32) ^ (counter.fetch_add(1) * 0x9E3779B97F4A7C15ull);
    for (size_t i = got; i < n; ++i) {
        // splitmix64 step
        x += 0x9E3779B97F4A7C15ull;
        uint64_t z = x;
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
        out[i] = static_cast<unsigned char>(z ^ (z >> 31));
    }
#endif
}

std::string temporary_name() {
    std::string name = ".tmp";
    size_t filled = 0;
    while (filled < 6) {
        std::array<unsigned char, 16> bytes{};
        random_bytes(bytes.data(), bytes.size());
        for (unsigned char b : bytes) {
            // 248 = 4 * 62: rejecting the rest keeps every character equally likely.
            if (b >= 248) continue;
            name += kAlphabet[b % kAlphabet.size()];
            if (++filled == 6) break;
        }
    }
    return name;
}

// Flushes a file's data and metadata to stable storage, riding out interruptions. On macOS a
// plain fsync only reaches the drive's cache; F_FULLFSYNC asks for the platter.
int full_sync(int fd) {
    for (;;) {
#if defined(__APPLE__)
        int r = ::fcntl(fd, F_FULLFSYNC);
#else
        int r = ::fsync(fd);
#endif
        if (r == 0) return 0;
        if (errno != EINTR) return errno;
    }
}

// Closes a descriptor once; a close interrupted by a signal has still released it on Linux.
int close_fd(int& fd) {
    if (fd < 0) return 0;
    int r = ::close(fd);
    fd = -1;
    return (r == 0 || errno == EINTR) ? 0 : errno;
}

// Owns the temporary file until it has been renamed: removes it on every other way out.
class TempFile {
public:
    TempFile(int dir_fd, std::string name, int fd) : dir_fd_(dir_fd), name_(std::move(name)), fd_(fd) {}
    TempFile(const TempFile&) = delete;
    TempFile& operator=(const TempFile&) = delete;
    ~TempFile() {
        close_fd(fd_);
        if (!renamed_) ::unlinkat(dir_fd_, name_.c_str(), 0);
    }
    int fd() const { return fd_; }
    int close() { return close_fd(fd_); }
    const std::string& name() const { return name_; }
    void mark_renamed() { renamed_ = true; }

private:
    int dir_fd_;
    std::string name_;
    int fd_;
    bool renamed_ = false;
};

class DirFd {
public:
    explicit DirFd(int fd) : fd_(fd) {}
    DirFd(const DirFd&) = delete;
    DirFd& operator=(const DirFd&) = delete;
    ~DirFd() { close_fd(fd_); }
    int get() const { return fd_; }

private:
    int fd_;
};

}  // namespace

std::string parent_directory(std::string_view destination) {
    std::string_view p = destination;
    while (p.size() > 1 && p.back() == '/') p.remove_suffix(1);
    const size_t slash = p.rfind('/');
    if (slash == std::string_view::npos) return ".";
    std::string_view dir = p.substr(0, slash);
    while (dir.size() > 1 && dir.back() == '/') dir.remove_suffix(1);
    if (dir.empty()) return "/";
    return std::string(dir);
}

Result<void> sync_parent_directory(const std::string& directory) {
    int fd = ::open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return fail(io_error(errno, directory));
    const int err = full_sync(fd);
    close_fd(fd);
    if (err != 0) return fail(io_error(err, directory));
    return {};
}

Result<void> atomic_replace(std::string_view destination_view, const FileBuilder& build) {
    const std::string destination(destination_view);
    if (destination.find('\0') != std::string::npos) return fail(io_error(EINVAL, destination));

    // What the destination is now, without following a final symbolic link: a link is never
    // replaced (the rename would replace the link, not its target, which is rarely what the
    // caller means), nor a FIFO, device or socket (the name stands for something else than a
    // file's bytes: a pipe to a reader, /dev/null), and an existing file's mode is kept.
    bool existed = false;
    mode_t mode = 0666;
    struct stat st{};
    if (::lstat(destination.c_str(), &st) == 0) {
        if (S_ISLNK(st.st_mode)) return fail(VelmoError::invalid_format(std::string(kSymlinkRefusal)));
        if (!S_ISREG(st.st_mode) && !S_ISDIR(st.st_mode))
            return fail(VelmoError::invalid_format(std::string(kSpecialFileRefusal)));
        existed = true;
        mode = st.st_mode & 07777;
    } else if (errno != ENOENT) {
        return fail(io_error(errno, destination));
    }

    const std::string directory = parent_directory(destination);
    DirFd dir(::open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (dir.get() < 0) return fail(io_error(errno, directory));

    // Created exclusively and written through this very descriptor: nothing can be swapped in
    // under the name between creation and build. An existing destination's mode is applied
    // with fchmod afterwards, so a read-only mode does not stop us writing and the umask does
    // not narrow it; until then only the owner can open the file.
    std::optional<TempFile> temp;
    for (int attempt = 0; attempt < kNameAttempts && !temp; ++attempt) {
        std::string name = temporary_name();
        int fd = ::openat(dir.get(), name.c_str(), O_CREAT | O_EXCL | O_WRONLY | O_CLOEXEC | O_NOFOLLOW,
                          existed ? mode_t{0600} : mode_t{0666});
        if (fd >= 0) {
            temp.emplace(dir.get(), std::move(name), fd);
        } else if (errno != EEXIST) {
            return fail(io_error(errno, directory + "/" + name));
        }
    }
    if (!temp) return fail(VelmoError::io("too many temporary files exist", EEXIST));

    if (auto built = build(temp->fd()); !built) return fail(std::move(built.error()));

    if (existed && ::fchmod(temp->fd(), mode) != 0) return fail(io_error(errno, directory + "/" + temp->name()));
    if (int err = full_sync(temp->fd()); err != 0) return fail(io_error(err, directory + "/" + temp->name()));
    if (int err = temp->close(); err != 0) return fail(io_error(err, directory + "/" + temp->name()));

    if (::renameat(dir.get(), temp->name().c_str(), AT_FDCWD, destination.c_str()) != 0)
        return fail(io_error(errno, destination));
    temp->mark_renamed();

    // The rename is only durable once the folder itself is flushed; failing here would report
    // an error for a save that has in fact replaced the file, so the result is ignored.
    (void)full_sync(dir.get());
    return {};
}

}  // namespace velmo::writer
