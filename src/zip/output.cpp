#include "zip/output.hpp"

#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace velmo::zip {

Result<void> FdOutput::write(std::string_view bytes) {
    while (!bytes.empty()) {
        ssize_t n = ::write(fd_, bytes.data(), bytes.size());
        if (n < 0) {
            if (errno == EINTR) continue;
            int err = errno;
            return fail(VelmoError::io(std::strerror(err), err));
        }
        // A regular file never accepts nothing; treat it as a failed write rather than spin.
        if (n == 0) return fail(VelmoError::io(std::strerror(EIO), EIO));
        bytes.remove_prefix(static_cast<size_t>(n));
    }
    return {};
}

}  // namespace velmo::zip
