#pragma once
// A fresh directory under the system's temporary folder, removed with everything in it when the
// object goes away.

#include <stdlib.h>

#include <filesystem>
#include <string>
#include <string_view>

namespace velmo::test {

class TempDir {
public:
    explicit TempDir(std::string_view prefix) {
        std::string tmpl = (std::filesystem::temp_directory_path() / (std::string(prefix) + "_XXXXXX")).string();
        path_ = ::mkdtemp(tmpl.data());
    }
    ~TempDir() { std::filesystem::remove_all(path_); }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    std::string file(std::string_view name) const { return (path_ / name).string(); }

private:
    std::filesystem::path path_;
};

}  // namespace velmo::test
