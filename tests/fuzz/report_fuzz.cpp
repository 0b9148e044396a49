// ffmpeg's report readers over arbitrary text and durations: no crash, and
// silences are never negative.
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <string_view>

#include "media/loudness.h"

using namespace quellmark;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    // Two doubles from the front of the input, so that NaN and infinities get explored too.
    double numbers[2] = {0, 0};
    std::string_view text(reinterpret_cast<const char*>(data), size);
    if (text.size() >= sizeof numbers) {
        std::memcpy(numbers, text.data(), sizeof numbers);
        text.remove_prefix(sizeof numbers);
    }
    for (const char* pattern : {R"((?m)^\s*I:\s*(-?\d+(?:\.\d+)?)\s*LUFS)", R"((?m)^\s*Peak:\s*(-?\d+(?:\.\d+)?)\s*dBFS)",
                                R"(silence_start:\s*(-?\d+(?:\.\d+)?(?:[eE][-+]?\d+)?))"}) {
        (void)lastCapturedNumber(text, pattern);
    }
    const auto edges = silenceEdges(text, numbers[0], numbers[1]);
    if (edges.leadingSec < 0 || edges.trailingSec < 0) std::abort();
    if (const auto m = parseLoudnessReport(text, numbers[0])) {
        if (m->leadingSilenceSec < 0 || m->trailingSilenceSec < 0) std::abort();
    }
    return 0;
}
