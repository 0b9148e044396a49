#include "engine/previous_state.h"

#include "output/resume_state.h"

namespace quellmark {

PreviousState loadPreviousState(const std::filesystem::path& folder) {
    PreviousState state;
    state.rows = loadPreviousRows(folder / "volume_gains.csv");
    state.meta = loadPreviousMeta(folder / "volume_gains.csv.meta.json");
    addResumedState(loadResumableLeftovers(folder), state.rows, state.meta);
    return state;
}

}  // namespace quellmark
