#pragma once
// Loads a hand-made package through the real open path: written to a temporary file, opened,
// and removed again. Header-only.

#include <unistd.h>

#include <filesystem>
#include <string>

#include "model/workbook.hpp"
#include "reader/reader.hpp"
#include "support/package_builder.hpp"

namespace velmo::test {

inline Result<Workbook> open_package(const Package& p) {
    std::string path = (std::filesystem::temp_directory_path() / "velmo-pkg-XXXXXX").string();
    const int fd = ::mkstemp(path.data());
    if (fd < 0) return fail(VelmoError::io("mkstemp failed"));
    ::close(fd);
    write_file(path, p.build());
    auto wb = reader::open_workbook(path);
    std::filesystem::remove(path);
    return wb;
}

}  // namespace velmo::test
