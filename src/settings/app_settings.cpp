#include "settings/app_settings.h"

#include <cmath>
#include <limits>

#include <nlohmann/json.hpp>

#include "settings/defaults_store.h"

namespace quellmark {
namespace {

using Json = nlohmann::json;
// Members are written in the order of the fields, so the stored bytes of one
// value are always the same; readers do not depend on the order.
using OrderedJson = nlohmann::ordered_json;

constexpr const char* kTargetKey = "targetLUFS";
constexpr const char* kClampKey = "clampDB";
constexpr const char* kParallelismKey = "parallelism";
constexpr const char* kIncrementalKey = "incremental";
constexpr const char* kFfmpegPathKey = "ffmpegPath";
constexpr const char* kExtensionsKey = "audioExtensions";

// JSON cannot hold NaN or infinities; a number that overflowed while parsing
// ("1e999") arrives here as an infinity and is as unusable as a missing one.
std::optional<double> finiteNumber(const Json& value) {
    if (!value.is_number()) return std::nullopt;
    const double number = value.get<double>();
    if (!std::isfinite(number)) return std::nullopt;
    return number;
}

// "parallelism" is an integer in the signed 64-bit range. A number written
// with a fraction or an exponent ("3.0", "4e0") is accepted when its value is
// exactly such an integer, as other JSON decoders of integer fields do;
// "3.5" and anything outside the range (9223372036854775808 and up, which
// nlohmann keeps as unsigned, or 1e30, which it keeps as a double) are damage.
std::optional<std::int64_t> exactInt64(const Json& value) {
    if (value.is_number_integer() && !value.is_number_unsigned()) return value.get<std::int64_t>();
    if (value.is_number_unsigned()) {
        const auto number = value.get<std::uint64_t>();
        if (number > static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max())) return std::nullopt;
        return static_cast<std::int64_t>(number);
    }
    if (!value.is_number_float()) return std::nullopt;
    const double number = value.get<double>();
    // -2^63 is the lowest int64; 2^63 is one past the highest and must not be cast.
    constexpr double kLow = -9223372036854775808.0;
    constexpr double kHigh = 9223372036854775808.0;
    if (!std::isfinite(number) || std::trunc(number) != number || number < kLow || number >= kHigh) {
        return std::nullopt;
    }
    return static_cast<std::int64_t>(number);
}

std::optional<std::set<std::string>> stringSet(const Json& value) {
    if (!value.is_array()) return std::nullopt;
    std::set<std::string> result;
    for (const Json& element : value) {
        if (!element.is_string()) return std::nullopt;
        result.insert(element.get<std::string>());
    }
    return result;
}

const Json* member(const Json& object, const char* name) {
    const auto it = object.find(name);
    return it == object.end() ? nullptr : &*it;
}

}  // namespace

std::set<std::string> AppSettings::defaultAudioExtensions() {
    return {"mp3", "m4a", "aac", "flac", "wav", "aiff", "aif", "ogg", "oga", "opus", "wv", "alac", "mp4"};
}

AppSettings AppSettings::load(const DefaultsStore& store) {
    if (const auto bytes = store.data(kSettingsKey)) {
        if (auto decoded = decodeSettings(*bytes)) return std::move(*decoded);
    }
    return AppSettings{};
}

AppSettings AppSettings::load() { return load(DefaultsStore::standard()); }

void AppSettings::save(DefaultsStore& store) const {
    if (const auto bytes = encodeSettings(*this)) store.setData(kSettingsKey, *bytes);
}

std::optional<std::string> encodeSettings(const AppSettings& settings) {
    if (!std::isfinite(settings.targetLUFS) || !std::isfinite(settings.clampDB)) return std::nullopt;
    OrderedJson object = OrderedJson::object();
    object[kTargetKey] = settings.targetLUFS;
    object[kClampKey] = settings.clampDB;
    if (settings.parallelism) object[kParallelismKey] = *settings.parallelism;
    object[kIncrementalKey] = settings.incremental;
    if (settings.ffmpegPath) object[kFfmpegPathKey] = *settings.ffmpegPath;
    object[kExtensionsKey] = OrderedJson::array();
    for (const auto& extension : settings.audioExtensions) object[kExtensionsKey].push_back(extension);
    // A path or extension that is not UTF-8 cannot be stored as a JSON string
    // without altering it; storing nothing keeps the previous value intact
    // instead of saving a path that no longer names the chosen file.
    try {
        return object.dump();
    } catch (const OrderedJson::type_error&) {
        return std::nullopt;
    }
}

std::optional<AppSettings> decodeSettings(std::string_view bytes) {
    const Json root = Json::parse(bytes.begin(), bytes.end(), nullptr, /*allow_exceptions=*/false);
    if (!root.is_object()) return std::nullopt;

    const Json* target = member(root, kTargetKey);
    const Json* clamp = member(root, kClampKey);
    const Json* incremental = member(root, kIncrementalKey);
    const Json* extensions = member(root, kExtensionsKey);
    if (!target || !clamp || !incremental || !extensions) return std::nullopt;

    AppSettings settings;
    const auto targetValue = finiteNumber(*target);
    const auto clampValue = finiteNumber(*clamp);
    // A negative clamp would turn every gain into the same negative number;
    // -0 compares equal to 0 and passes, stored back as a plain 0.
    if (!targetValue || !clampValue || *clampValue < 0) return std::nullopt;
    settings.targetLUFS = *targetValue;
    settings.clampDB = *clampValue + 0.0;

    if (!incremental->is_boolean()) return std::nullopt;
    settings.incremental = incremental->get<bool>();

    auto extensionSet = stringSet(*extensions);
    if (!extensionSet) return std::nullopt;
    settings.audioExtensions = std::move(*extensionSet);

    if (const Json* parallelism = member(root, kParallelismKey); parallelism && !parallelism->is_null()) {
        const auto value = exactInt64(*parallelism);
        if (!value) return std::nullopt;
        settings.parallelism = *value;
    }
    if (const Json* path = member(root, kFfmpegPathKey); path && !path->is_null()) {
        if (!path->is_string()) return std::nullopt;
        settings.ffmpegPath = path->get<std::string>();
    }
    return settings;
}

}  // namespace quellmark
