#include "engine/previous_state.h"

#include "output/resume_state.h"

#include <system_error>

namespace quellmark {

PreviousResults loadPreviousState(const std::filesystem::path& folder) {
    PreviousResults state = PreviousResults::load(folder);
    addResumedState(loadResumableLeftovers(folder), state);
    return state;
}

PreviousLoad::PreviousLoad(std::optional<std::filesystem::path> folder) {
    if (!folder) return;
    const auto load = [this](const std::filesystem::path& path) {
        m_loaded = std::make_shared<PreviousResults>(loadPreviousState(path));
    };
    try {
        m_thread = std::jthread([load, path = *folder] { load(path); });
    } catch (const std::system_error&) {
        load(*folder);  // no thread to spare: read it here
    }
}

std::shared_ptr<PreviousResults> PreviousLoad::take() {
    if (m_thread.joinable()) m_thread.join();
    return std::move(m_loaded);
}

}  // namespace quellmark
