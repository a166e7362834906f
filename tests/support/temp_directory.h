#pragma once
// A fresh directory under the system temp folder, removed with everything in
// it when the test ends.

#include <stdlib.h>

#include <filesystem>
#include <fstream>
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

    const std::string& path() const { return path_; }

    // Writes name inside the directory with exactly these bytes.
    void write(const std::string& name, const std::string& contents) const {
        std::ofstream file(path_ + "/" + name, std::ios::binary | std::ios::trunc);
        file << contents;
    }

private:
    std::string path_;
};

}  // namespace kelvaro::testing_support
