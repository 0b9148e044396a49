#include "cli/cli_options.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <optional>
#include <sstream>
#include <system_error>

#include <CLI/CLI.hpp>

#include "base/text.h"

namespace fs = std::filesystem;

namespace quellmark {

namespace {

// Values are taken as text and parsed here: CLI11's own conversions follow the
// process locale in places and accept forms ("0x10", " 3") that the settings
// file never holds.
struct RawOptions {
    std::optional<std::string> target;
    std::optional<std::string> clamp;
    std::optional<std::string> jobs;
    std::optional<std::string> ffmpeg;
    bool full = false;
    bool incremental = false;
    bool save = false;
    bool quiet = false;
    bool dryRun = false;
    bool verbose = false;
    bool strict = false;
    bool version = false;
    std::vector<std::string> folders;
};

std::expected<double, std::string> finiteNumber(const std::string& option, const std::string& text) {
    const std::optional<double> value = parseCLocaleDouble(text);
    if (!value) return std::unexpected(option + ": not a number: " + text);
    if (!std::isfinite(*value)) return std::unexpected(option + ": not a finite number: " + text);
    return *value;
}

std::expected<std::int64_t, std::string> jobCount(const std::string& text) {
    std::int64_t value = 0;
    const char* end = text.data() + text.size();
    const auto [ptr, ec] = std::from_chars(text.data(), end, value);
    if (ec != std::errc() || ptr != end || text.empty()) return std::unexpected("--jobs: not a whole number: " + text);
    if (value < 0) return std::unexpected("--jobs: must not be negative: " + text);
    return value;
}

void declareOptions(CLI::App& app, RawOptions& raw) {
    app.set_help_flag("-h,--help");
    app.add_option("--target", raw.target)->multi_option_policy(CLI::MultiOptionPolicy::TakeLast);
    app.add_option("--clamp", raw.clamp)->multi_option_policy(CLI::MultiOptionPolicy::TakeLast);
    app.add_option("-j,--jobs", raw.jobs)->multi_option_policy(CLI::MultiOptionPolicy::TakeLast);
    app.add_option("--ffmpeg", raw.ffmpeg)->multi_option_policy(CLI::MultiOptionPolicy::TakeLast);
    auto* full = app.add_flag("--full", raw.full)->disable_flag_override();
    auto* incremental = app.add_flag("--incremental", raw.incremental)->disable_flag_override();
    full->excludes(incremental);
    app.add_flag("--save", raw.save)->disable_flag_override();
    app.add_flag("-q,--quiet", raw.quiet)->disable_flag_override();
    app.add_flag("-n,--dry-run", raw.dryRun)->disable_flag_override();
    app.add_flag("-v,--verbose", raw.verbose)->disable_flag_override();
    app.add_flag("--strict", raw.strict)->disable_flag_override();
    app.add_flag("--version", raw.version)->disable_flag_override();
    app.add_option("FOLDER", raw.folders);
}

std::expected<void, std::string> applyOverrides(const RawOptions& raw, AppSettings& settings) {
    if (raw.target) {
        const auto value = finiteNumber("--target", *raw.target);
        if (!value) return std::unexpected(value.error());
        settings.targetLUFS = *value;
    }
    if (raw.clamp) {
        const auto value = finiteNumber("--clamp", *raw.clamp);
        if (!value) return std::unexpected(value.error());
        if (*value < 0) return std::unexpected("--clamp: must not be negative: " + *raw.clamp);
        // -0 would be stored as "-0.0" and read back as damaged settings.
        settings.clampDB = *value == 0 ? 0.0 : *value;
    }
    if (raw.jobs) {
        const auto value = jobCount(*raw.jobs);
        if (!value) return std::unexpected(value.error());
        // 0 is the automatic setting, which the settings hold as an absent value.
        settings.parallelism = *value == 0 ? std::nullopt : std::optional<std::int64_t>(*value);
    }
    if (raw.ffmpeg) settings.ffmpegPath = raw.ffmpeg->empty() ? std::nullopt : raw.ffmpeg;
    if (raw.full) settings.incremental = false;
    if (raw.incremental) settings.incremental = true;
    return {};
}

std::expected<fs::path, std::string> checkedFolder(const std::vector<std::string>& folders) {
    if (folders.empty()) return std::unexpected("FOLDER is missing (see --help)");
    if (folders.size() > 1) return std::unexpected("only one FOLDER may be given, got " + std::to_string(folders.size()));
    const std::string& text = folders.front();
    if (text.empty()) return std::unexpected("FOLDER is empty");
    std::error_code ec;
    const fs::file_status status = fs::status(text, ec);
    if (!fs::exists(status)) return std::unexpected("no such folder: " + text);
    if (!fs::is_directory(status)) return std::unexpected("not a folder: " + text);
    const fs::path absolute = absoluteFolderPath(text);
    if (absolute.empty()) return std::unexpected("cannot make the folder path absolute: " + text);
    return absolute;
}

// CLI11's texts, reworded where they speak of its internals.
std::string parseErrorReason(const CLI::ParseError& error) {
    std::string reason = error.what();
    std::replace(reason.begin(), reason.end(), '\n', ' ');
    const std::string missingSuffix = " required TEXT missing";
    if (const auto colon = reason.find(':'); colon != std::string::npos && reason.ends_with(missingSuffix)) {
        return reason.substr(0, colon) + " needs a value";
    }
    const std::string overrideSuffix = " was given a disallowed flag override";
    if (reason.ends_with(overrideSuffix)) return "--" + reason.substr(0, reason.size() - overrideSuffix.size()) + " takes no value";
    // Every word that is not an option is a FOLDER, so what CLI11 did not
    // expect is an option it does not know.
    const std::string extrasMarker = " not expected: ";
    if (const auto at = reason.find(extrasMarker); at != std::string::npos) {
        // CLI11 lists them in the reversed order in which it was handed the arguments.
        std::vector<std::string> words;
        std::istringstream list(reason.substr(at + extrasMarker.size()));
        for (std::string word; list >> word;) words.insert(words.begin(), word);
        std::string joined;
        for (const std::string& word : words) joined += (joined.empty() ? "" : " ") + word;
        return "unknown option: " + joined;
    }
    return reason;
}

}  // namespace

fs::path absoluteFolderPath(const fs::path& folder) {
    std::error_code ec;
    const fs::path absolute = fs::absolute(folder, ec);
    if (ec) return {};
    // Only "." components and empty ones (from "a//b" or a trailing "/") are
    // dropped: ".." after a symbolic link leads elsewhere than its text says.
    fs::path cleaned = absolute.root_path();
    for (const fs::path& part : absolute.relative_path()) {
        if (part.empty() || part == ".") continue;
        cleaned /= part;
    }
    return cleaned;
}

std::expected<CliCommand, std::string> parseCommandLine(const std::vector<std::string>& arguments,
                                                         AppSettings stored) {
    CLI::App app{"", "quellmark-cli"};
    RawOptions raw;
    declareOptions(app, raw);
    CliCommand command;
    try {
        std::vector<std::string> reversed(arguments.rbegin(), arguments.rend());
        app.parse(reversed);
    } catch (const CLI::CallForHelp&) {
        command.action = CliCommand::Action::help;
        return command;
    } catch (const CLI::ParseError& error) {
        return std::unexpected(parseErrorReason(error));
    }
    if (raw.version) {
        command.action = CliCommand::Action::version;
        return command;
    }
    command.settings = std::move(stored);
    if (auto applied = applyOverrides(raw, command.settings); !applied) return std::unexpected(applied.error());
    auto folder = checkedFolder(raw.folders);
    if (!folder) return std::unexpected(folder.error());
    command.folder = std::move(*folder);
    command.save = raw.save;
    command.quiet = raw.quiet;
    command.dryRun = raw.dryRun;
    command.verbose = raw.verbose;
    command.strict = raw.strict;
    return command;
}

std::string usageText() {
    return "Usage: quellmark-cli [options] FOLDER\n"
           "\n"
           "Measures the loudness of every audio file below FOLDER and writes, per file,\n"
           "the gain that brings it to the target loudness into FOLDER/volume_gains.csv.\n"
           "Audio files are never changed. Settings start from the stored ones, which the\n"
           "window shares; the options below change them for this run only.\n"
           "\n"
           "Options:\n"
           "  --target LUFS    target integrated loudness (stored default -18)\n"
           "  --clamp DB       limit of the gain, +/- DB (stored default 12)\n"
           "  -j, --jobs N     files analysed at once; 0 = automatic (1..8 by CPU count)\n"
           "  --full           analyse every file again (incremental mode off)\n"
           "  --incremental    carry over rows of unchanged files (incremental mode on)\n"
           "  --ffmpeg PATH    the ffmpeg executable; ffprobe is looked for beside it.\n"
           "                   An empty PATH means: search for the tools\n"
           "  --save           store the resulting settings before the run\n"
           "  -n, --dry-run    count the files a run would analyse and those it would\n"
           "                   carry over, and write nothing at all: no CSV, no other\n"
           "                   file, and no settings even with --save\n"
           "  -v, --verbose    with --dry-run, also list those files by relative path\n"
           "  --strict         exit with status 3 when any file could not be analysed\n"
           "  -q, --quiet      no progress line (the list of failed files stays)\n"
           "  -h, --help       this text\n"
           "  --version        the program's version\n"
           "\n"
           "Files that could not be analysed are listed at the end on standard error,\n"
           "each with its reason (the first 50).\n"
           "\n"
           "Exit status: 0 the run finished (rows may still carry error statuses),\n"
           "1 the run failed or found no audio file, 2 usage error, 3 with --strict:\n"
           "the run finished and some files could not be analysed, 130 cancelled.\n"
           "The first Ctrl-C or SIGTERM cancels and keeps the rows written so far;\n"
           "a second one ends at once.\n";
}

}  // namespace quellmark
