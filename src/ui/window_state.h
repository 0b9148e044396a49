#pragma once
// What the window remembers between sessions: the last folder and its own
// size and position. Kept in the settings' store under its own key, so a
// damaged or missing value costs only this memory, never the settings.

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

namespace quellmark {

struct WindowState {
    std::optional<std::filesystem::path> folder;
    /// The toolkit's own record of size, position and screen, as base64 text;
    /// opaque here.
    std::string geometry;

    friend bool operator==(const WindowState&, const WindowState&) = default;
};

/// Key under which the window state is stored.
inline constexpr std::string_view kWindowStateKey = "quellmark.window";

/// The compact JSON form. A folder whose path is not UTF-8 is left out: JSON
/// could not hold it unaltered.
std::string encodeWindowState(const WindowState& state);
/// The stored state; an empty one for anything that is not exactly that form.
WindowState decodeWindowState(std::string_view bytes);

}  // namespace quellmark
