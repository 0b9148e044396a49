// ffmpeg's report readers over arbitrary text and durations: no crash, and
// silences are never negative.
#include <cmath>
#include <cstdlib>

#include "fuzz_support.h"
#include "media/loudness.h"

using namespace quellmark;

namespace {
const char* const kPatterns[] = {
    R"((?m)^\s*I:\s*(-?\d+(?:\.\d+)?)\s*LUFS)",
    R"((?m)^\s*Peak:\s*(-?\d+(?:\.\d+)?)\s*dBFS)",
    R"(silence_start:\s*(-?\d+(?:\.\d+)?(?:[eE][-+]?\d+)?))",
};
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    double duration = 0;
    double decoded = 0;
    auto text = fuzz::takeDouble(fuzz::asText(data, size), duration);
    text = fuzz::takeDouble(text, decoded);
    for (const char* pattern : kPatterns) (void)lastCapturedNumber(text, pattern);
    const auto edges = silenceEdges(text, duration, decoded);
    if (edges.leadingSec < 0 || edges.trailingSec < 0) std::abort();
    if (const auto m = parseLoudnessReport(text, duration)) {
        if (m->leadingSilenceSec < 0 || m->trailingSilenceSec < 0) std::abort();
    }
    return 0;
}
