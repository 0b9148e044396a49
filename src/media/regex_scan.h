#pragma once
// PCRE2 patterns compiled once per process and shared by every thread: every
// file of a run reads its report with the same few patterns, and compiling per
// call would cost more than the matching.

#include <cstddef>
#include <optional>
#include <string_view>

namespace quellmark {

struct RegexMatch {
    enum class Kind { none, complete, partial };
    Kind kind = Kind::none;
    /// Where the match, complete or partial, begins and (complete only) ends.
    size_t start = 0;
    size_t end = 0;
    /// Group 1 of a complete match; nullopt when it did not take part.
    std::optional<std::string_view> capture;
};

/// One compiled pattern. Immutable after construction, so any number of threads
/// may match with it at once (each call owns its match data).
class RegexPattern {
public:
    /// The cached compilation of `pattern`, or null when it does not compile.
    /// The returned object lives until the process ends. Any thread.
    static const RegexPattern* cached(std::string_view pattern);

    /// The first match in `text` that starts at or after `offset`. With
    /// `allowPartial`, a match that the end of `text` cut short is reported as
    /// partial (PCRE2_PARTIAL_HARD), so a reader fed line by line can wait for
    /// the next line instead of missing a match that spans lines.
    RegexMatch firstMatch(std::string_view text, size_t offset, bool allowPartial) const;

    /// Capture group 1 of the match that starts latest; nullopt when there is no
    /// match or the group did not take part in it.
    std::optional<std::string_view> lastCapture(std::string_view text) const;

    RegexPattern(const RegexPattern&) = delete;
    RegexPattern& operator=(const RegexPattern&) = delete;
    ~RegexPattern();

private:
    explicit RegexPattern(void* code) : m_code(code) {}

    void* m_code;  // pcre2_code_8*, kept opaque so that users need no PCRE2 header
};

}  // namespace quellmark
