#pragma once
// The command line of quellmark-cli: options over the stored settings.

#include <expected>
#include <filesystem>
#include <string>
#include <vector>

#include "settings/app_settings.h"

namespace quellmark {

/// What the command line asks for.
struct CliCommand {
    enum class Action { run, help, version };

    Action action = Action::run;
    /// The stored settings with this run's overrides applied.
    AppSettings settings;
    /// Absolute, with "." components and trailing separators removed; symbolic
    /// links are kept, because relative paths in the CSV are cut from this text.
    std::filesystem::path folder;
    bool save = false;
    bool quiet = false;
    /// Count (and with `verbose` list) what a run would do; write nothing.
    bool dryRun = false;
    bool verbose = false;
    /// Exit with kExitStrictErrors when a finished run has error rows.
    bool strict = false;
};

/// Parses `arguments` (without the program name) over `stored`. A usage error
/// is one line without the program prefix, e.g. "--clamp: must not be negative: -1".
/// Checks that the folder exists and is a folder (following symbolic links);
/// touches nothing else.
std::expected<CliCommand, std::string> parseCommandLine(const std::vector<std::string>& arguments,
                                                         AppSettings stored);

/// The text `--help` prints on standard output.
std::string usageText();

/// `folder` made absolute against the working directory without resolving
/// symbolic links or "..": only "." components and trailing separators go.
std::filesystem::path absoluteFolderPath(const std::filesystem::path& folder);

}  // namespace quellmark
