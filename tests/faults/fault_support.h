#pragma once
// A folder of stand-in audio files whose every version the harness remembers,
// and a strict reader of the result files, for the fault-injection tests.

#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "output/meta_entry.h"

namespace quellmark::test {

/// Stand-in audio files named "f<i>.flac" (a few in a subfolder). Every
/// rewrite gives the file a new version, visible in its title ("f3 v2"), a
/// new loudness and a modification time no other version shares.
class FakeLibrary {
public:
    FakeLibrary(std::filesystem::path folder, int count, double ffmpegDelaySeconds);

    const std::filesystem::path& folder() const { return m_folder; }
    const std::vector<std::string>& relativePaths() const { return m_paths; }
    /// Writes a new version of file `index`.
    void rewrite(int index);
    /// The stamps the file had, one per version.
    const std::vector<MetaEntry>& stamps(const std::string& relativePath) const { return m_stamps.at(relativePath); }

private:
    std::filesystem::path m_folder;
    double m_delay;
    std::vector<std::string> m_paths;
    std::map<std::string, std::vector<MetaEntry>> m_stamps;
};

/// A volume_gains.csv (or its temporary file) read strictly: the exact header,
/// every line ending in a line feed and holding eleven fields, one row per
/// path. `problem` is empty when it is so.
struct StrictCsv {
    std::string problem;
    std::map<std::string, std::vector<std::string>> rows;  // by relative_path
};
StrictCsv readStrictCsv(const std::filesystem::path& csvFile);

/// The environment for quellmark-cli: its own settings folder, the stand-in log.
std::map<std::string, std::string> cliEnvironment(const std::filesystem::path& dir);
/// The arguments of a run over `folder` with the stand-in tools.
std::vector<std::string> cliArguments(const std::filesystem::path& folder, bool full);

}  // namespace quellmark::test
