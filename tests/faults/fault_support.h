#pragma once
// A strict reader of the result files and the command line of a run, for the
// fault-injection tests.

#include <filesystem>
#include <map>
#include <string>
#include <vector>

namespace quellmark::test {

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
