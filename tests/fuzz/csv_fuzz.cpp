// parseCSVLine and loadPreviousRows over arbitrary bytes: no crash, and every
// row that comes back survives being written and read again.
#include <unistd.h>

#include <cstdlib>
#include <string>
#include <string_view>

#include "output/analyze_result.h"

using namespace quellmark;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    const auto fields = parseCSVLine(text);
    if (fields.empty()) std::abort();
    if (fields.size() >= 9) (void)resultFromFields(fields);

    // The loader reads a file: keep one per process in memory-backed /dev/shm.
    static const std::string path = "/dev/shm/quellmark-csv-fuzz-" + std::to_string(getpid());
    if (FILE* f = std::fopen(path.c_str(), "wb")) {
        std::fwrite(text.data(), 1, text.size(), f);
        std::fclose(f);
    }
    for (const auto& [key, row] : loadPreviousRows(path)) {
        if (key != row.relative_path) std::abort();
        const auto fields2 = csvFields(row);
        const auto reread = parseCSVLine(csvLine(fields2));
        if (reread != fields2) std::abort();
    }
    return 0;
}
