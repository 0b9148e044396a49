#pragma once
// PCRE2 patterns compiled once per process and shared by every thread. The
// ffmpeg report of a long file runs to megabytes and every file of a run is
// scanned several times, so compiling per call (and matching without the JIT)
// would cost more than the rest of the parsing together.

#include <functional>
#include <optional>
#include <string_view>

namespace quellmark {

/// One compiled pattern. Immutable after construction, so any number of threads
/// may match with it at once (each call owns its match data).
class RegexPattern {
public:
    /// The cached compilation of `pattern`, or null when it does not compile.
    /// The returned object lives until the process ends. Any thread.
    static const RegexPattern* cached(std::string_view pattern);

    /// Calls `onMatch` with capture group 1 of every non-overlapping match of
    /// `text`, scanning from its start; an unset group is passed as nullopt.
    void forEachCapture(std::string_view text,
                        const std::function<void(std::optional<std::string_view>)>& onMatch) const;

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
