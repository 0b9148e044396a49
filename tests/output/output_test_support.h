#pragma once
// What the output tests share: the header line, rows, and the using-lists.

#include <filesystem>
#include <limits>
#include <string>

#include "output/analyze_result.h"
#include "output/meta_entry.h"
#include "support/temp_dir.h"

namespace quellmark {
namespace fs = std::filesystem;
using test::readFile;
using test::TempDir;
using test::writeFile;

inline const double kNaN = std::numeric_limits<double>::quiet_NaN();
inline const std::string kHeader = readFile(QUELLMARK_TEST_DATA_DIR "/csv-header.txt");

/// A measured row and its CSV line.
inline AnalyzeResult okRow(const std::string& path, double gain = -3.5) {
    return {path, path, "T", "A", 10.5, -14.5, -0.5, gain, RowStatus::ok, 0.4, 1.2, true};
}
inline std::string okLine(const std::string& path) { return path + "," + path + ",T,A,10.5,-14.5,-0.5,-3.5,ok,0.4,1.2\n"; }

inline AnalyzeResult failedRow(const std::string& path) {
    return {path, path, path, "", kNaN, kNaN, kNaN, 0, RowStatus::decodeFailed, 0, 0, true};
}
}  // namespace quellmark
