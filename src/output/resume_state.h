#pragma once
// What a run that never finished had already saved: the rows of its temporary
// CSV whose meta entries reached the journal. A later incremental run adds them
// to its previous state, so files measured before a crash are not measured again.

#include <filesystem>

#include "output/analyze_result.h"
#include "output/meta_entry.h"
#include "output/previous_results.h"

namespace quellmark {

/// Rows and entries under the same relative paths, one entry per row.
struct ResumedState {
    PreviousRows rows;
    MetaMap entries;
};

/// The rows of the folder's leftover volume_gains.csv.tmp that have status "ok",
/// all eleven columns and an entry in the leftover volume_gains.csv.meta.journal,
/// with those entries. Empty when either file is missing, is not a regular file
/// (a symbolic link is never followed), or the temporary CSV is locked by a live
/// writer. Both files are read under a shared lock on the temporary CSV, released
/// before returning. Never fails; call it before the writer's `begin`.
ResumedState loadResumableLeftovers(const std::filesystem::path& folder);

/// Adds `resumed` to a run's previous state; its rows and entries replace those
/// of the installed files under the same paths.
void addResumedState(ResumedState resumed, PreviousResults& previous);

}  // namespace quellmark
