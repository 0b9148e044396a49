// What quellmark-cli says at the end about the files that failed, and what a
// dry run says without writing anything, with the stand-in tools; and the
// options that --help, the manual page and the bash completion name.

#include <algorithm>
#include <filesystem>
#include <map>
#include <regex>
#include <set>
#include <string>
#include <tuple>
#include <vector>

#include <gtest/gtest.h>

#include "cli/cli_child.h"
#include "support/temp_dir.h"

namespace fs = std::filesystem;

namespace quellmark::test {
namespace {

const std::string kFakeFfmpeg = QUELLMARK_TEST_TOOLS_DIR "/ffmpeg";

// Every file and folder below `folder`, relative, sorted.
std::vector<std::string> listTree(const fs::path& folder) {
    std::vector<std::string> result;
    for (const auto& entry : fs::recursive_directory_iterator(folder)) {
        result.push_back(entry.path().lexically_relative(folder).string());
    }
    std::sort(result.begin(), result.end());
    return result;
}

std::vector<std::string> withFolder(std::vector<std::string> options, const TempDir& folder) {
    options.insert(options.end(), {"--jobs", "1", "--ffmpeg", kFakeFfmpeg, folder.path().string()});
    return options;
}

TEST(CliSummary, FailedFilesAreListedWithTheirReasonAndStrictMakesThemStatus3) {
    using Case = std::tuple<int, std::vector<std::string>, ErrorSink, int>;  // failing files, options, sink, exit status
    for (const auto& [failing, options, sink, exitStatus] : {Case{3, {}, ErrorSink::file, 0}, Case{0, {"--strict"}, ErrorSink::file, 0},
                                                             Case{53, {"--strict", "-q"}, ErrorSink::terminal, 3}}) {
        SCOPED_TRACE(failing);
        TempDir music, config;
        writeFile(music / "ok.mp3", "QMFAKE\n");
        std::string expected = failing > 0 ? "エラー " + std::to_string(failing) + " 件:\n" : "";
        for (int i = 0; i < failing; ++i) {
            // Printed raw, the first name would clear the screen.
            writeFile(music / (i == 0 ? "Album/\x1b[2J\nx.mp3" : "f" + std::to_string(100 + i) + ".mp3"), "not audio");
            const std::string shown = i == 0 ? "Album/?[2J?x.mp3" : "f" + std::to_string(100 + i) + ".mp3";
            if (i < 50) expected += "  " + shown + ": プロセスが失敗しました (status=1)\n";
        }
        if (failing > 50) expected += "  …ほか 3 件\n";
        const CliOutcome outcome = runCli(withFolder(options, music), {{"XDG_CONFIG_HOME", config.path().string()}}, {}, sink);
        EXPECT_EQ(outcome.exitStatus, exitStatus);
        // A terminal ends its lines in CR LF; what the tool said after its status is its own.
        EXPECT_EQ(std::regex_replace(outcome.err, std::regex(R"((\(status=1\))[^\n]*|\r)"), "$1"), expected);
    }
}

TEST(CliSummary, ADryRunCountsWhatTheRunWillDoAndWritesNothing) {
    TempDir music, config;
    const std::map<std::string, std::string> env{{"XDG_CONFIG_HOME", config.path().string()},
                                                 {"QM_FAKE_LOG", (config / "tools.log").string()}};
    writeFile(music / "a.mp3", "QMFAKE\n");
    writeFile(music / "b.mp3", "QMFAKE\n");
    ASSERT_EQ(runCli(withFolder({}, music), env).exitStatus, 0);
    writeFile(music / "b.mp3", "QMFAKE\nlufs=-30\n");
    writeFile(music / "c.wav", "not audio");
    const std::vector<std::string> tree = listTree(music.path());
    const std::string csv = readFile(music / "volume_gains.csv");
    fs::remove(config / "tools.log");

    const CliOutcome plan = runCli(withFolder({"-n", "-v", "--save"}, music), env);
    EXPECT_EQ(plan.exitStatus, 0);
    EXPECT_EQ(plan.out, "解析するファイル: 2 件\n  b.mp3\n  c.wav\n再解析しないファイル（変更なし）: 1 件\n  a.mp3\n");
    EXPECT_EQ(listTree(music.path()), tree);
    EXPECT_EQ(readFile(music / "volume_gains.csv"), csv);
    EXPECT_EQ(listTree(config.path()), std::vector<std::string>{}) << "no settings even with --save, no tool run";

    ASSERT_EQ(runCli(withFolder({}, music), env).exitStatus, 0);
    EXPECT_EQ(countLines(readFile(config / "tools.log"), "ffmpeg start"), 2) << "the run measures what was counted";
    TempDir empty;
    EXPECT_EQ(runCli(withFolder({"-n"}, empty), env).exitStatus, 1);
}

/// Every "-x" and "--name" in `text` from the end of `start` to the next `end`;
/// roff's "\-" reads as "-", and numbers such as "-18" are no options.
std::set<std::string> optionsIn(const std::string& text, const std::string& start, const std::string& end) {
    const std::size_t from = text.find(start) + start.size();
    const std::string part = std::regex_replace(text.substr(from, text.find(end, from) - from), std::regex(R"(\\-)"), "-");
    static const std::regex option(R"((?:^|[^A-Za-z0-9-])(--?[a-z][a-z-]*))");
    std::set<std::string> found;
    for (auto it = std::sregex_iterator(part.begin(), part.end(), option); it != std::sregex_iterator(); ++it) {
        found.insert((*it)[1].str());
    }
    return found;
}

TEST(CliManual, HelpManualPageAndCompletionNameTheSameOptions) {
    const std::set<std::string> help = optionsIn(runCli({"--help"}, {}).out, "\nOptions:\n", "\n\n");
    EXPECT_GE(help.size(), 18u);
    EXPECT_EQ(optionsIn(readFile(QUELLMARK_SOURCE_DIR "/doc/man/quellmark-cli.1.in"), "\n.SH OPTIONS\n", "\n.SH "), help);
    EXPECT_EQ(optionsIn(readFile(QUELLMARK_SOURCE_DIR "/data/quellmark-cli.bash-completion"), "compgen -W '", "'"), help);
}

}  // namespace
}  // namespace quellmark::test
