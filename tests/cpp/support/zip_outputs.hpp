#pragma once
// Archive outputs for tests: one that collects bytes, one that fails like a full disk.

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>

#include "model/error.hpp"
#include "zip/output.hpp"

namespace velmo::test {

struct StringOutput final : zip::Output {
    std::string bytes;
    int writes = 0;
    Result<void> write(std::string_view b) override {
        ++writes;
        bytes.append(b);
        return {};
    }
};

// Accepts `budget` bytes, then fails (keeping what fit, as a short write before ENOSPC would).
struct FailingOutput final : zip::Output {
    explicit FailingOutput(uint64_t budget) : budget(budget) {}
    uint64_t budget;
    std::string bytes;
    Result<void> write(std::string_view b) override {
        if (b.size() > budget - bytes.size()) {
            bytes.append(b.substr(0, budget - bytes.size()));
            return fail(VelmoError::io(std::strerror(ENOSPC), ENOSPC));
        }
        bytes.append(b);
        return {};
    }
};

}  // namespace velmo::test
