// The settings decoder over arbitrary bytes: no crash, and a decoded value
// survives a save and a load unchanged.
#include <cstdlib>
#include <string_view>

#include "settings/app_settings.h"

using namespace quellmark;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const auto decoded = decodeSettings(std::string_view(reinterpret_cast<const char*>(data), size));
    if (!decoded) return 0;
    const auto encoded = encodeSettings(*decoded);
    if (!encoded) return 0;  // a non-finite number cannot have come from JSON, but be lenient
    const auto again = decodeSettings(*encoded);
    if (!again || !(*again == *decoded)) std::abort();
    return 0;
}
