// A fresh directory for one test, removed with its contents afterwards.
#pragma once
#include <filesystem>
#include <string>

// The directory's path with a trailing separator; `/` joins a name to it as std::filesystem does.
struct TempPath : std::string {
    using std::string::string;
    operator std::filesystem::path() const { return std::filesystem::path(static_cast<const std::string&>(*this)); }
    std::filesystem::path operator/(const std::string& name) const {
        return std::filesystem::path(*this) / name;
    }
};

class TempDir {
public:
    explicit TempDir(const std::string& tag = "test");
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const TempPath& path() const { return path_; }
    std::string file(const std::string& name) const { return path_ + name; }
    std::filesystem::path operator/(const std::string& name) const { return path_ / name; }

private:
    TempPath path_;
};

std::string readWholeFile(const std::string& path);
void writeWholeFile(const std::string& path, const std::string& data);
