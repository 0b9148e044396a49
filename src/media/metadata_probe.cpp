// Duration, title and artist from ffprobe's JSON report.

#include "media/metadata_probe.h"

#include <cmath>
#include <limits>

#include <nlohmann/json.hpp>

#include "base/text.h"
#include "media/process_runner.h"
#include "media/tool_locator.h"

namespace quellmark {
namespace {

// Insertion order is kept so that "the first tag whose name matches" means the
// first in ffprobe's report, not the first in sorted order. Its linear look-up
// is no cost here: ffprobe prints only the few entries asked for.
using Json = nlohmann::ordered_json;

// The tools take the file as an argument of its own, never through a shell. An
// absolute path also begins with "/", so a name such as "-x.mp3" can never be
// read as an option.
std::string absoluteArgument(const std::filesystem::path& file) {
    std::error_code error;
    const auto absolute = std::filesystem::absolute(file, error);
    return error ? file.string() : absolute.string();
}

const Json& emptyObject() {
    static const Json instance = Json::object();
    return instance;
}

const Json& memberObject(const Json& parent, const char* name) {
    if (!parent.is_object()) return emptyObject();
    const auto it = parent.find(name);
    return (it != parent.end() && it->is_object()) ? *it : emptyObject();
}

bool equalsIgnoringAsciiCase(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i) {
        auto lower = [](char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; };
        if (lower(a[i]) != lower(b[i])) return false;
    }
    return true;
}

// The tag stored exactly as `name`, else the first whose name differs only in
// ASCII case: FLAC files carry Vorbis comments as "TITLE", WavPack as "Title",
// and ffprobe keeps the stored case. A value that is not a string is never a
// tag ffprobe wrote, so it is passed over rather than hiding a usable one.
const std::string* findTag(const Json& tags, const char* name) {
    if (const auto it = tags.find(name); it != tags.end() && it->is_string()) {
        return it->get_ptr<const std::string*>();
    }
    for (const auto& [key, value] : tags.items()) {
        if (value.is_string() && equalsIgnoringAsciiCase(key, name)) return value.get_ptr<const std::string*>();
    }
    return nullptr;
}

// Ogg Vorbis and Opus keep their tags on the audio stream, never in "format",
// so the stream's tags are the fallback.
std::string tagValue(const Json& formatTags, const Json& streamTags, const char* name) {
    const std::string* value = findTag(formatTags, name);
    if (value == nullptr) value = findTag(streamTags, name);
    if (value == nullptr) return {};
    return std::string(trimWhitespace(*value));
}

const Json& firstStreamTags(const Json& root) {
    const auto streams = root.find("streams");
    if (streams == root.end() || !streams->is_array() || streams->empty()) return emptyObject();
    return memberObject(streams->front(), "tags");
}

// Only a JSON string counts: ffprobe prints the duration as a string, and a
// number in its place is not its report.
double durationOf(const Json& format) {
    constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
    const auto it = format.find("duration");
    if (it == format.end() || !it->is_string()) return kNaN;
    const auto value = parseCLocaleDouble(it->get_ref<const std::string&>());
    if (!value || !std::isfinite(*value) || *value <= 0) return kNaN;
    return *value;
}

}  // namespace

Result<ProbeResult> probeMetadata(const std::filesystem::path& file,
                                  const std::optional<std::string>& configuredProbePath,
                                  double timeLimitSeconds) {
    const auto ffprobe = locateTool("ffprobe", configuredProbePath);
    if (!ffprobe) return fail(JobError::binaryNotFound("ffprobe"));
    // Ogg Vorbis and Opus files carry their tags on the audio stream only, so the
    // first audio stream's title and artist are asked for as well.
    const std::vector<std::string> arguments = {
        "-v", "error", "-select_streams", "a:0", "-print_format", "json", "-show_entries",
        "format=duration:format_tags=title,artist,album,date:stream_tags=title,artist", absoluteArgument(file),
    };
    // Its standard error is of no use to the probe: only a failure's detail is kept.
    const auto output = runProcess(*ffprobe, arguments, timeLimitSeconds);
    if (!output) return fail(output.error());
    return parseProbeReport(output->stdoutText);
}

Result<ProbeResult> parseProbeReport(std::string_view json) {
    const Json root = Json::parse(json, nullptr, /*allow_exceptions=*/false);
    if (!root.is_object()) return fail(JobError::analysisFailed("ffprobe の解析に失敗しました"));

    const Json& format = memberObject(root, "format");
    const Json& formatTags = memberObject(format, "tags");
    const Json& streamTags = firstStreamTags(root);

    ProbeResult result;
    result.durationSec = durationOf(format);
    result.title = tagValue(formatTags, streamTags, "title");
    result.artist = tagValue(formatTags, streamTags, "artist");
    return result;
}

}  // namespace quellmark
