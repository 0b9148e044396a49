// The ffprobe JSON reader over arbitrary bytes: a result or the parse error, never a crash.
#include <cmath>
#include <cstdlib>
#include <string_view>

#include "media/metadata_probe.h"

using namespace quellmark;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const auto result = parseProbeReport(std::string_view(reinterpret_cast<const char*>(data), size));
    if (result && !std::isnan(result->durationSec) && !(result->durationSec > 0)) std::abort();
    return 0;
}
