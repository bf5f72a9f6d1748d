#pragma once
// Replacing a file atomically: the new content is built into a temporary file created
// exclusively beside the destination, flushed, and renamed over it, so a reader of the
// destination sees the old file or the complete new one, never a partial one.

#include <functional>
#include <string>
#include <string_view>

#include "model/error.hpp"

namespace velmo::writer {

inline constexpr std::string_view kSymlinkRefusal = "refusing to replace a symbolic-link destination";
inline constexpr std::string_view kSpecialFileRefusal = "refusing to replace a destination that is not a regular file";

// Writes the whole new content into `fd` (opened write-only, positioned at its start). The
// descriptor belongs to the caller of the builder; the builder must not close it.
using FileBuilder = std::function<Result<void>(int fd)>;

// Replaces `destination` by what `build` writes:
//  - a destination that is a symbolic link (dangling or not) is refused with InvalidFormat
//    kSymlinkRefusal, one that is a FIFO, a device or a socket with kSpecialFileRefusal (a
//    folder fails at the rename); other status failures than "not found" are Io;
//  - the temporary file ".tmp" + six random letters or digits is created in the destination's
//    folder with O_CREAT|O_EXCL|O_NOFOLLOW, mode 0666 under the umask for a new destination;
//  - an existing destination's permission bits (set-id and sticky bits included) are given to
//    the new file whatever the umask and whether or not they allow the owner to write;
//  - the file is flushed to stable storage, renamed over the destination, and the folder is
//    flushed (a failure of that last flush is ignored).
// On any failure the temporary file is removed and the destination is left untouched.
Result<void> atomic_replace(std::string_view destination, const FileBuilder& build);

// Opens `directory` and flushes it to stable storage. Io on failure.
Result<void> sync_parent_directory(const std::string& directory);

// The folder the temporary file goes to: the destination's parent, or "." for a bare name.
std::string parent_directory(std::string_view destination);

}  // namespace velmo::writer
