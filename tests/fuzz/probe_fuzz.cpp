// The ffprobe JSON reader over arbitrary bytes: a result or the parse error, never a crash.
#include <cmath>
#include <cstdlib>

#include "fuzz_support.h"
#include "media/metadata_probe.h"

using namespace quellmark;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const auto result = parseProbeReport(fuzz::asText(data, size));
    if (result && !std::isnan(result->durationSec) && !(result->durationSec > 0)) std::abort();
    return 0;
}
