#include "engine/previous_state.h"

#include "output/resume_state.h"

namespace quellmark {

PreviousResults loadPreviousState(const std::filesystem::path& folder) {
    PreviousResults state = PreviousResults::load(folder);
    addResumedState(loadResumableLeftovers(folder), state);
    return state;
}

}  // namespace quellmark
