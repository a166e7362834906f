#pragma once
// A fresh directory under the system's temporary directory, removed with
// everything in it when the object goes. Tests write their kelvaro.ini and
// find their statistics files here.

#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

namespace kelvaro::testing {

class TempDirectory {
public:
    TempDirectory() {
        std::string pattern = (std::filesystem::temp_directory_path() / "kelvaro-XXXXXX").string();
        if (mkdtemp(pattern.data()) != nullptr) path_ = pattern;
    }
    ~TempDirectory() {
        std::error_code ignored;
        if (!path_.empty()) std::filesystem::remove_all(path_, ignored);
    }
    TempDirectory(const TempDirectory&) = delete;
    TempDirectory& operator=(const TempDirectory&) = delete;

    // Empty when the directory could not be made.
    const std::string& path() const { return path_; }
    std::string file(const std::string& name) const { return path_ + "/" + name; }

    void write(const std::string& name, const std::string& bytes) const {
        std::ofstream out(file(name), std::ios::binary | std::ios::trunc);
        out << bytes;
    }

    bool exists(const std::string& name) const { return std::filesystem::exists(file(name)); }

    // The whole file, or "<missing>" when it cannot be read.
    std::string read(const std::string& name) const {
        std::ifstream in(file(name), std::ios::binary);
        if (!in) return "<missing>";
        return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    }

private:
    std::string path_;
};

}  // namespace kelvaro::testing
