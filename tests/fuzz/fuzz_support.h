#pragma once
// libFuzzer entry points get raw bytes; these helpers turn them into the texts
// and numbers the parsers take.

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>

namespace quellmark::fuzz {

inline std::string_view asText(const std::uint8_t* data, std::size_t size) {
    return {reinterpret_cast<const char*>(data), size};
}

/// Takes a double from the front of the input (8 bytes) so that durations,
/// NaN and infinities all get explored; returns the rest as text.
inline std::string_view takeDouble(std::string_view text, double& value) {
    value = 0;
    if (text.size() < sizeof(double)) return text;
    std::memcpy(&value, text.data(), sizeof(double));
    return text.substr(sizeof(double));
}

}  // namespace quellmark::fuzz
