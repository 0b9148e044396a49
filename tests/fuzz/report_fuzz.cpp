// ffmpeg's report reader over arbitrary text and durations: no crash, and
// silences are never negative.
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <string_view>

#include "media/loudness.h"

using namespace quellmark;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    // A double from the front of the input, so that NaN and infinities get explored too.
    double numbers[1] = {0};
    std::string_view text(reinterpret_cast<const char*>(data), size);
    if (text.size() >= sizeof numbers) {
        std::memcpy(numbers, text.data(), sizeof numbers);
        text.remove_prefix(sizeof numbers);
    }
    if (const auto m = parseLoudnessReport(text, numbers[0])) {
        if (m->leadingSilenceSec < 0 || m->trailingSilenceSec < 0) std::abort();
    }
    return 0;
}
