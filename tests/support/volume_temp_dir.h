// A fresh directory under the system's temporary directory, removed with its contents.
#pragma once
#include <filesystem>
#include <string>

namespace voltest {

class TempDir {
public:
    explicit TempDir(const std::string& tag);
    ~TempDir();
    const std::filesystem::path& path() const { return path_; }
    std::filesystem::path operator/(const std::string& name) const { return path_ / name; }

private:
    std::filesystem::path path_;
};

}  // namespace voltest
