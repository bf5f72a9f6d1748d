#pragma once
// Where an archive being written goes. An interface so that tests can inject write failures.

#include <string_view>

#include "model/error.hpp"

namespace velmo::zip {

class Output {
public:
    virtual ~Output() = default;
    // Writes all of `bytes` or fails.
    virtual Result<void> write(std::string_view bytes) = 0;
};

// Writes to a file descriptor that the caller owns and closes, riding out short writes and
// interrupted calls. Failures are Io errors carrying errno.
class FdOutput final : public Output {
public:
    explicit FdOutput(int fd) : fd_(fd) {}
    Result<void> write(std::string_view bytes) override;

private:
    int fd_;
};

}  // namespace velmo::zip
