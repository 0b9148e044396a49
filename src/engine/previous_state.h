#pragma once
// What an incremental run knows of earlier runs over its folder.

#include <filesystem>

#include "output/previous_results.h"

namespace quellmark {

/// The rows of the folder's volume_gains.csv and the entries of its meta file;
/// then, when a run that never finished left volume_gains.csv.tmp and its
/// journal behind and holds no lock on them any more, every leftover row whose
/// journal entry was saved, over the installed ones. Never fails: what cannot
/// be read is left out. Reads only; blocks; any thread.
PreviousResults loadPreviousState(const std::filesystem::path& folder);

}  // namespace quellmark
