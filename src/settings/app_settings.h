#pragma once

#include <cstdint>
#include <optional>
#include <set>
#include <string>
#include <string_view>

namespace quellmark {

class DefaultsStore;

/// The six user settings that steer a run. A plain value: copies are independent.
struct AppSettings {
    double targetLUFS = -18.0;
    double clampDB = 12.0;
    /// Absent, or below 1, means automatic (the usable processors, 1..8).
    std::optional<std::int64_t> parallelism;
    bool incremental = true;
    /// Absent means the tool is searched for; any other text is used exactly as given.
    std::optional<std::string> ffmpegPath;
    std::set<std::string> audioExtensions = defaultAudioExtensions();

    /// The thirteen extensions a fresh installation treats as audio.
    static std::set<std::string> defaultAudioExtensions();

    /// The stored settings of `store`, or the defaults when nothing usable is stored.
    /// Never fails.
    static AppSettings load(const DefaultsStore& store);
    /// `load` from the standard per-user store.
    static AppSettings load();
    /// Stores this value in `store`; a non-finite target or clamp, or a path or
    /// extension that is not UTF-8, stores nothing. Reports nothing.
    void save(DefaultsStore& store) const;

    friend bool operator==(const AppSettings&, const AppSettings&) = default;
};

/// Key under which the settings are stored.
inline constexpr std::string_view kSettingsKey = "quellmark.settings";

/// The compact JSON form, or nullopt when the target or the clamp is not finite
/// or a text is not UTF-8 (JSON could not hold it unaltered).
std::optional<std::string> encodeSettings(const AppSettings& settings);
/// The decoded value, or nullopt for anything that is not exactly the stored form
/// (a missing required member, a wrong type, a non-finite number, a negative
/// clamp, a "parallelism" that is not an exact 64-bit integer, invalid JSON).
std::optional<AppSettings> decodeSettings(std::string_view bytes);

}  // namespace quellmark
