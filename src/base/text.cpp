#include "base/text.h"

#include <charconv>
#include <cmath>
#include <cstdint>

namespace quellmark {
namespace {

// Length of the valid UTF-8 sequence at the start of `s`, or 0 when it is not one.
size_t validSequenceLength(std::string_view s) {
    const auto b0 = static_cast<unsigned char>(s[0]);
    if (b0 < 0x80) return 1;
    size_t len = 0;
    unsigned char lo = 0x80, hi = 0xBF;
    if (b0 >= 0xC2 && b0 <= 0xDF) {
        len = 2;
    } else if (b0 >= 0xE0 && b0 <= 0xEF) {
        len = 3;
        if (b0 == 0xE0) lo = 0xA0;
        if (b0 == 0xED) hi = 0x9F;
    } else if (b0 >= 0xF0 && b0 <= 0xF4) {
        len = 4;
        if (b0 == 0xF0) lo = 0x90;
        if (b0 == 0xF4) hi = 0x8F;
    } else {
        return 0;
    }
    if (s.size() < len) return 0;
    const auto b1 = static_cast<unsigned char>(s[1]);
    if (b1 < lo || b1 > hi) return 0;
    for (size_t i = 2; i < len; ++i) {
        const auto b = static_cast<unsigned char>(s[i]);
        if (b < 0x80 || b > 0xBF) return 0;
    }
    return len;
}

// Bytes of the maximal invalid subpart at the start of `s` (at least 1).
size_t invalidSubpartLength(std::string_view s) {
    const auto b0 = static_cast<unsigned char>(s[0]);
    size_t want = 0;
    unsigned char lo = 0x80, hi = 0xBF;
    if (b0 >= 0xC2 && b0 <= 0xDF) {
        want = 2;
    } else if (b0 >= 0xE0 && b0 <= 0xEF) {
        want = 3;
        if (b0 == 0xE0) lo = 0xA0;
        if (b0 == 0xED) hi = 0x9F;
    } else if (b0 >= 0xF0 && b0 <= 0xF4) {
        want = 4;
        if (b0 == 0xF0) lo = 0x90;
        if (b0 == 0xF4) hi = 0x8F;
    } else {
        return 1;
    }
    size_t i = 1;
    for (; i < want && i < s.size(); ++i) {
        const auto b = static_cast<unsigned char>(s[i]);
        const unsigned char l = (i == 1) ? lo : 0x80;
        const unsigned char h = (i == 1) ? hi : 0xBF;
        if (b < l || b > h) break;
    }
    return i;
}

// Decodes the code point of a valid sequence.
char32_t decode(std::string_view s, size_t len) {
    const auto b = [&](size_t i) { return static_cast<char32_t>(static_cast<unsigned char>(s[i])); };
    switch (len) {
        case 1: return b(0);
        case 2: return ((b(0) & 0x1F) << 6) | (b(1) & 0x3F);
        case 3: return ((b(0) & 0x0F) << 12) | ((b(1) & 0x3F) << 6) | (b(2) & 0x3F);
        default: return ((b(0) & 0x07) << 18) | ((b(1) & 0x3F) << 12) | ((b(2) & 0x3F) << 6) | (b(3) & 0x3F);
    }
}

bool isUnicodeWhitespace(char32_t c) {
    return (c >= 0x09 && c <= 0x0D) || c == 0x20 || c == 0x85 || c == 0xA0 || c == 0x1680 ||
           (c >= 0x2000 && c <= 0x200A) || c == 0x2028 || c == 0x2029 || c == 0x202F ||
           c == 0x205F || c == 0x3000;
}

}  // namespace

bool isValidUtf8(std::string_view bytes) {
    size_t i = 0;
    while (i < bytes.size()) {
        const size_t len = validSequenceLength(bytes.substr(i));
        if (len == 0) return false;
        i += len;
    }
    return true;
}

std::string repairUtf8(std::string_view bytes) {
    std::string out;
    out.reserve(bytes.size());
    size_t i = 0;
    while (i < bytes.size()) {
        const auto rest = bytes.substr(i);
        if (const size_t len = validSequenceLength(rest)) {
            out.append(rest.substr(0, len));
            i += len;
        } else {
            out.append("\xEF\xBF\xBD");
            i += invalidSubpartLength(rest);
        }
    }
    return out;
}

std::optional<double> parseCLocaleDouble(std::string_view text) {
    if (text.empty()) return std::nullopt;
    // strtod allows one leading "+"; from_chars does not.
    if (text.front() == '+') {
        text.remove_prefix(1);
        if (text.empty() || text.front() == '+' || text.front() == '-') return std::nullopt;
    }
    double value = 0;
    const auto* end = text.data() + text.size();
    const auto [ptr, ec] = std::from_chars(text.data(), end, value, std::chars_format::general);
    if (ptr != end) return std::nullopt;
    // Out of range: strtod gives ±HUGE_VAL or a denormal/zero; keep that reading.
    if (ec == std::errc::result_out_of_range) {
        const bool negative = text.front() == '-';
        const auto e = text.find_first_of("eE");
        const bool tiny = e != std::string_view::npos && text.substr(e + 1).starts_with('-');
        if (tiny) return negative ? -0.0 : 0.0;
        return negative ? -HUGE_VAL : HUGE_VAL;
    }
    if (ec != std::errc()) return std::nullopt;
    return value;
}

std::string_view trimWhitespace(std::string_view text) {
    // Leading side.
    size_t start = 0;
    while (start < text.size()) {
        const size_t len = validSequenceLength(text.substr(start));
        if (len == 0 || !isUnicodeWhitespace(decode(text.substr(start), len))) break;
        start += len;
    }
    // Trailing side: step back over whole sequences.
    size_t end = text.size();
    while (end > start) {
        size_t begin = end - 1;
        while (begin > start && (static_cast<unsigned char>(text[begin]) & 0xC0) == 0x80 && end - begin < 4) --begin;
        const auto piece = text.substr(begin, end - begin);
        const size_t len = validSequenceLength(piece);
        if (len != piece.size() || !isUnicodeWhitespace(decode(piece, len))) break;
        end = begin;
    }
    return text.substr(start, end - start);
}

}  // namespace quellmark
