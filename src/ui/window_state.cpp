#include "ui/window_state.h"

#include <nlohmann/json.hpp>

#include "base/text.h"

namespace quellmark {

std::string encodeWindowState(const WindowState& state) {
    nlohmann::ordered_json json = nlohmann::ordered_json::object();
    if (state.folder && isValidUtf8(state.folder->native())) json["folder"] = state.folder->native();
    json["geometry"] = state.geometry;
    return json.dump();
}

WindowState decodeWindowState(std::string_view bytes) {
    const auto json = nlohmann::json::parse(bytes.begin(), bytes.end(), nullptr, false);
    if (!json.is_object()) return {};
    WindowState state;
    const auto folder = json.find("folder");
    if (folder != json.end()) {
        if (!folder->is_string() || folder->get_ref<const std::string&>().empty()) return {};
        state.folder = std::filesystem::path(folder->get<std::string>());
    }
    const auto geometry = json.find("geometry");
    if (geometry == json.end() || !geometry->is_string()) return {};
    state.geometry = geometry->get<std::string>();
    return state;
}

}  // namespace quellmark
