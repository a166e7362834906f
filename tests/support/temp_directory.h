#pragma once
// A fresh directory under the system temp folder, removed with everything in
// it when the test ends.

#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

namespace kelvaro::testing_support {

class TempDirectory {
public:
    TempDirectory() {
        std::error_code error;
        std::string pattern = (std::filesystem::temp_directory_path(error) / "kelvaro-XXXXXX").string();
        if (mkdtemp(pattern.data()) != nullptr) path_ = pattern;
    }
    ~TempDirectory() {
        std::error_code error;
        if (!path_.empty()) std::filesystem::remove_all(path_, error);
    }
    TempDirectory(const TempDirectory&) = delete;
    TempDirectory& operator=(const TempDirectory&) = delete;

    // Empty when the directory could not be made.
    const std::string& path() const { return path_; }
    std::string file(const std::string& name) const { return path_ + "/" + name; }

    // Writes name inside the directory with exactly these bytes.
    void write(const std::string& name, const std::string& contents) const {
        std::ofstream file(path_ + "/" + name, std::ios::binary | std::ios::trunc);
        file << contents;
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

}  // namespace kelvaro::testing_support
