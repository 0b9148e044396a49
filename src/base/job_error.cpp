#include "base/job_error.h"

#include <cstring>

#include "base/text.h"

namespace quellmark {

namespace {

constexpr size_t kMaxDetailCharacters = 300;

// Valid UTF-8 in which every line break and control character (C0, DEL, C1,
// U+2028, U+2029) is a space: a tool's line may carry escape sequences, tabs or
// a stray carriage return, and a reason is shown as one line.
std::string oneLine(std::string_view text) {
    std::string line = repairUtf8(text);
    const auto byte = [&](size_t i) { return i < line.size() ? static_cast<unsigned char>(line[i]) : 0; };
    for (size_t i = 0; i < line.size(); ++i) {
        const unsigned char c = byte(i);
        if (c < 0x20 || c == 0x7F) {
            line[i] = ' ';
        } else if (c == 0xC2 && byte(i + 1) < 0xA0) {  // U+0080..U+009F
            line.replace(i, 2, " ");
        } else if (c == 0xE2 && byte(i + 1) == 0x80 && (byte(i + 2) == 0xA8 || byte(i + 2) == 0xA9)) {
            line.replace(i, 3, " ");
        }
    }
    return line;
}

// The first `count` characters of valid UTF-8 `text`, never cutting one in two.
std::string_view firstCharacters(std::string_view text, size_t count) {
    size_t end = 0;
    for (size_t n = 0; end < text.size() && n < count; ++n) {
        ++end;
        while (end < text.size() && (static_cast<unsigned char>(text[end]) & 0xC0) == 0x80) ++end;
    }
    return text.substr(0, end);
}

}  // namespace

JobError JobError::binaryNotFound(std::string toolName) {
    return {Kind::binaryNotFound, std::move(toolName), {}};
}

JobError JobError::analysisFailed(std::string message) {
    return {Kind::analysisFailed, std::move(message), {}};
}

JobError JobError::notInitialized() { return {Kind::notInitialized, {}, {}}; }

std::string JobError::description() const {
    switch (kind) {
        case Kind::binaryNotFound:
            return payload + " が見つかりません。詳細設定でパスを指定してください。";
        case Kind::analysisFailed:
            return payload;
        case Kind::notInitialized:
            return "CSV書き込み先が初期化されていません";
    }
    return payload;
}

Error Error::fromErrno(int errnum) { return Error(std::error_code(errnum, std::system_category())); }

std::string Error::description() const {
    if (const auto* job = jobError()) return job->description();
    if (const auto* code = systemError()) return code->message();
    return "キャンセルされました。";
}

std::string Error::reason() const {
    const std::string text = oneLine(description());
    const JobError* job = jobError();
    if (job == nullptr) return text;
    const std::string detail = oneLine(job->detail);
    const std::string_view trimmed = trimWhitespace(detail);
    if (trimmed.empty()) return text;
    return text + ": " + std::string(firstCharacters(trimmed, kMaxDetailCharacters));
}

}  // namespace quellmark
