#include "media/regex_scan.h"

#define PCRE2_CODE_UNIT_WIDTH 8
#include <pcre2.h>

#include <map>
#include <memory>
#include <mutex>
#include <string>

namespace quellmark {
namespace {

pcre2_code* code(void* p) { return static_cast<pcre2_code*>(p); }

// UTF mode with any Unicode line ending: "^" under "(?m)" then starts a line at
// the same separators that the report's line splitter ends lines at (CR, LF,
// CRLF, VT, FF, NEL, U+2028, U+2029), and a multi-byte character is never cut
// in two. MATCH_INVALID_UTF keeps a stray invalid byte from failing the match
// without a UTF check per call. "\s" and "\d" stay ASCII (no UCP), as ffmpeg
// prints them; so "\s" crosses LF, CR, VT and FF but never NEL, U+2028 or U+2029.
pcre2_code* compile(std::string_view pattern) {
    pcre2_compile_context* context = pcre2_compile_context_create(nullptr);
    if (context == nullptr) return nullptr;
    pcre2_set_newline(context, PCRE2_NEWLINE_ANY);
    int errorCode = 0;
    PCRE2_SIZE errorOffset = 0;
    pcre2_code* compiled = pcre2_compile(reinterpret_cast<PCRE2_SPTR>(pattern.data()), pattern.size(),
                                         PCRE2_UTF | PCRE2_MATCH_INVALID_UTF, &errorCode, &errorOffset, context);
    pcre2_compile_context_free(context);
    if (compiled != nullptr) {
        // Without JIT support the interpreter serves; the result is the same.
        (void)pcre2_jit_compile(compiled, PCRE2_JIT_COMPLETE | PCRE2_JIT_PARTIAL_HARD);
    }
    return compiled;
}

struct Cache {
    std::mutex mutex;
    // Failures are cached too (as null), so a bad pattern is compiled once.
    std::map<std::string, std::unique_ptr<RegexPattern>, std::less<>> patterns;
};

Cache& cache() {
    // Never destroyed: a worker thread may still match while the process exits.
    static Cache* instance = new Cache;
    return *instance;
}

}  // namespace

const RegexPattern* RegexPattern::cached(std::string_view pattern) {
    Cache& c = cache();
    std::lock_guard lock(c.mutex);
    if (auto it = c.patterns.find(pattern); it != c.patterns.end()) return it->second.get();
    std::unique_ptr<RegexPattern> entry;
    if (pcre2_code* compiled = compile(pattern)) entry.reset(new RegexPattern(compiled));
    return c.patterns.emplace(std::string(pattern), std::move(entry)).first->second.get();
}

RegexPattern::~RegexPattern() { pcre2_code_free(code(m_code)); }

RegexMatch RegexPattern::firstMatch(std::string_view text, size_t offset, bool allowPartial) const {
    std::unique_ptr<pcre2_match_data, decltype(&pcre2_match_data_free)> data(
        pcre2_match_data_create_from_pattern(code(m_code), nullptr), &pcre2_match_data_free);
    if (!data || offset > text.size()) return {};
    const int rc = pcre2_match(code(m_code), reinterpret_cast<PCRE2_SPTR>(text.data()), text.size(), offset,
                               allowPartial ? PCRE2_PARTIAL_HARD : 0, data.get(), nullptr);
    const PCRE2_SIZE* ovector = pcre2_get_ovector_pointer(data.get());
    if (rc == PCRE2_ERROR_PARTIAL) return {RegexMatch::Kind::partial, ovector[0], text.size(), std::nullopt};
    // No match, or a resource limit: nothing found.
    if (rc < 0) return {};
    RegexMatch match{RegexMatch::Kind::complete, ovector[0], ovector[1], std::nullopt};
    if (rc >= 2 && ovector[2] != PCRE2_UNSET) match.capture = text.substr(ovector[2], ovector[3] - ovector[2]);
    return match;
}

std::optional<std::string_view> RegexPattern::lastCapture(std::string_view text) const {
    std::optional<std::string_view> last;
    size_t offset = 0;
    for (;;) {
        const RegexMatch match = firstMatch(text, offset, false);
        if (match.kind != RegexMatch::Kind::complete) return last;
        last = match.capture;
        offset = match.end;
        if (match.end == match.start) {
            // An empty match: step over one whole character so the scan moves on.
            if (offset == text.size()) return last;
            ++offset;
            while (offset < text.size() && (static_cast<unsigned char>(text[offset]) & 0xC0) == 0x80) ++offset;
        }
    }
}

}  // namespace quellmark
