#pragma once

#include "cli/cli_options.h"

namespace quellmark {

/// Runs one batch over `command.folder` with `command.settings` on the calling
/// thread, which must have blocked the signals (SignalWatcher::blockSignals)
/// before any other thread was started. Prints the outcome and returns the
/// exit status: 0 finished, 1 failed or nothing to analyse, 130 cancelled;
/// 3 instead of 0 when `command.strict` and a row carries an error status.
/// The failed files are listed on standard error after the outcome.
/// Does not return when a second SIGINT or SIGTERM ends the process.
int runCommandLineBatch(const CliCommand& command);

}  // namespace quellmark
