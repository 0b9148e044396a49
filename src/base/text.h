#pragma once
// Small text helpers shared by every layer. Like job_error.h, this depends on
// nothing else of the project. Numbers never go through the process locale:
// Qt adopts the environment's locale, and a comma-decimal locale must not
// change a byte that Quellmark reads or writes.

#include <optional>
#include <string>
#include <string_view>

namespace quellmark {

/// True when `bytes` is well-formed UTF-8 (no overlongs, surrogates or values above U+10FFFF).
bool isValidUtf8(std::string_view bytes);

/// `bytes` decoded as UTF-8 with every invalid sequence replaced by U+FFFD
/// (one replacement per maximal invalid subpart, as the Unicode standard advises).
std::string repairUtf8(std::string_view bytes);

/// Strict C-locale number: the whole text must be one decimal floating-point
/// number as strtod in the C locale reads it ("inf" and "nan" included, a
/// leading "+" allowed); empty text, leading white space or any trailing
/// character give nullopt. Hexadecimal floats are not accepted.
std::optional<double> parseCLocaleDouble(std::string_view text);

/// `text` without white space and line breaks at either end, Unicode ones
/// included (U+0085, U+00A0, U+1680, U+2000..U+200A, U+2028, U+2029, U+202F,
/// U+205F, U+3000), as the tags and `which` output are trimmed.
std::string_view trimWhitespace(std::string_view text);

}  // namespace quellmark
