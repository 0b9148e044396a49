#pragma once

#include <filesystem>
#include <string>
#include <string_view>

namespace quellmark::test {

/// A fresh folder under the system's temporary folder, removed with everything
/// in it (permissions restored first) when the object goes.
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const std::filesystem::path& path() const { return m_path; }
    std::filesystem::path operator/(const std::filesystem::path& relative) const { return m_path / relative; }

private:
    std::filesystem::path m_path;
};

/// Writes `bytes` to `path`, creating parent folders.
void writeFile(const std::filesystem::path& path, std::string_view bytes);
/// The whole file, or an empty text when it cannot be read.
std::string readFile(const std::filesystem::path& path);

}  // namespace quellmark::test
