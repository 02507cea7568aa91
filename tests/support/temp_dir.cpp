#include "support/temp_dir.h"

#include <atomic>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>

namespace fs = std::filesystem;

TempDir::TempDir(const std::string& tag) {
    static std::atomic<unsigned> counter{0};
    std::random_device rd;
    fs::path base = fs::temp_directory_path() /
                    ("vds-" + tag + "-" + std::to_string(rd()) + "-" + std::to_string(counter.fetch_add(1)));
    fs::create_directories(base);
    path_.assign(base.string());
    path_ += fs::path::preferred_separator == '\\' ? '\\' : '/';
}

TempDir::~TempDir() {
    std::error_code ec;
    fs::remove_all(fs::path(path_), ec);
}

std::string readWholeFile(const std::string& path) {
    std::ifstream in(fs::path(path), std::ios::binary);
    std::ostringstream out;
    out << in.rdbuf();
    return out.str();
}

void writeWholeFile(const std::string& path, const std::string& data) {
    std::ofstream out(fs::path(path), std::ios::binary | std::ios::trunc);
    out << data;
}
