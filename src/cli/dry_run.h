#pragma once

#include "cli/cli_options.h"

namespace quellmark {

/// Prints on standard output how many files a run of `command` would analyse
/// and how many it would carry over (with `command.verbose`, their relative
/// paths too), and writes nothing else anywhere. Returns the exit status: 0,
/// or 1 with the message on standard error when the scan fails or finds no
/// audio file.
int runDryRun(const CliCommand& command);

}  // namespace quellmark
