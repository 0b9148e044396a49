#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

namespace quellmark {

/// The per-user defaults store: a folder holding one file per key. The window
/// and the command line share the standard one, `$XDG_CONFIG_HOME/quellmark/`
/// (`~/.config/quellmark/` when the variable is unset or empty).
class DefaultsStore {
public:
    explicit DefaultsStore(std::filesystem::path folder);
    /// The standard store, resolved from the environment at each call.
    static DefaultsStore standard();

    const std::filesystem::path& folder() const { return m_folder; }

    /// The bytes stored under `key`, or nullopt when none can be read.
    std::optional<std::string> data(std::string_view key) const;
    /// Replaces the bytes under `key` atomically (temporary file, fsync, rename),
    /// creating the folder when needed. False when the value could not be stored.
    bool setData(std::string_view key, std::string_view bytes);

private:
    std::filesystem::path m_folder;
};

}  // namespace quellmark
