// quellmark-cli as a user runs it, with the stand-in ffmpeg and ffprobe:
// arguments, exit statuses, what it prints (the counts, the failed files at
// the end, a dry run's plan) and what it leaves in the folder; and the
// options that --help, the manual page and the bash completion name.
#include <signal.h>

#include <algorithm>
#include <regex>
#include <set>

#include <gtest/gtest.h>

#include "cli/cli_child.h"
#include "output/analyze_result.h"
#include "settings/app_settings.h"
#include "support/temp_dir.h"

namespace fs = std::filesystem;

namespace quellmark::test {
namespace {

const std::string kFakeFfmpeg = QUELLMARK_TEST_TOOLS_DIR "/ffmpeg";
const std::string kHeader = csvLine(csvHeader()) + "\n";

// Every file and folder below `folder`, relative, sorted.
std::vector<std::string> listTree(const fs::path& folder) {
    std::vector<std::string> result;
    for (const auto& entry : fs::recursive_directory_iterator(folder)) {
        result.push_back(entry.path().lexically_relative(folder).string());
    }
    std::ranges::sort(result);
    return result;
}

class CliTest : public testing::Test {
protected:
    /// Settings and the stand-ins' log live in a folder of the test's own.
    std::map<std::string, std::string> env() const {
        return {{"XDG_CONFIG_HOME", m_config.path().string()}, {"QM_FAKE_LOG", m_log.string()}};
    }
    void fake(const std::string& relative, const std::string& keys = "") const { writeFile(m_music / relative, "QMFAKE\n" + keys); }
    std::vector<std::string> run(std::vector<std::string> options) const {
        options.insert(options.end(), {"--ffmpeg", kFakeFfmpeg, m_music.path().string()});
        return options;
    }
    std::string csv() const { return readFile(m_music / "volume_gains.csv"); }
    std::size_t ffmpegRuns(const char* event) const { return toolRuns(m_log, "ffmpeg", event).size(); }

    TempDir m_config;
    TempDir m_music;
    fs::path m_log = m_config / "tools.log";
};

TEST_F(CliTest, UsageErrorsSayOneLineAndTouchNothing) {
    fake("a.mp3");
    const std::string folder = m_music.path().string();
    const std::vector<std::vector<std::string>> cases = {
        {}, {"--bogus", folder}, {folder, folder}, {(m_music / "a.mp3").string()}, {folder, "--target"},
        {"--target", "-14,5", folder}, {"--target", "nan", folder}, {"--clamp", "-1", folder}, {"--jobs", "2.5", folder},
        {"--full", "--incremental", folder}, {"--save", "--clamp", "-3", folder}};
    for (const auto& arguments : cases) {
        SCOPED_TRACE(testing::PrintToString(arguments));
        const CliOutcome outcome = runCli(arguments, env());
        EXPECT_EQ(std::tie(outcome.exitStatus, outcome.out), std::make_tuple(2, ""));
        EXPECT_TRUE(outcome.err.starts_with("quellmark-cli: ")) << outcome.err;
        EXPECT_EQ(outcome.err.find('\n'), outcome.err.size() - 1) << "one line";
        EXPECT_EQ(std::distance(fs::directory_iterator(m_music.path()), {}), 1);
        EXPECT_FALSE(fs::exists(m_config / "quellmark"));
    }
}

// A run names its CSV and counts on standard output; the failed files come
// last, each with its reason, names made printable and the list cut after 50.
// --strict makes them exit status 3.
TEST_F(CliTest, RunsCountTheirFilesAndListTheFailedOnes) {
    const struct {
        int failing;
        std::vector<std::string> options;
        ErrorSink sink;
        int exitStatus;
        std::string counts;
    } cases[] = {{3, {}, ErrorSink::file, 0, "4 / 4 件 (エラー 3 件)"}, {0, {"--strict"}, ErrorSink::file, 0, "1 / 1 件"},
                 {53, {"--strict", "-q"}, ErrorSink::terminal, 3, "54 / 54 件 (エラー 53 件)"}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.failing);
        const std::string name = std::to_string(c.failing);
        fake(name + "/ok.mp3");
        std::string expected = c.failing > 0 ? "エラー " + name + " 件:\n" : "";
        for (int i = 0; i < c.failing; ++i) {
            // Printed raw, the first name would clear the screen.
            const std::string file = i == 0 ? "Album/\x1b[2J\nx.mp3" : "f" + std::to_string(100 + i) + ".mp3";
            writeFile(m_music / name / file, "not audio");
            if (i < 50) expected += "  " + (i == 0 ? "Album/?[2J?x.mp3" : file) + ": プロセスが失敗しました (status=1)\n";
        }
        if (c.failing > 50) expected += "  …ほか 3 件\n";
        // A relative folder with "." and a trailing slash: the report still names the clean absolute path.
        std::vector<std::string> arguments = c.options;
        arguments.insert(arguments.end(), {"--jobs", "1", "--ffmpeg", kFakeFfmpeg, "./" + name + "/"});
        const CliOutcome outcome = runCli(arguments, env(), m_music.path(), c.sink);
        EXPECT_EQ(outcome.exitStatus, c.exitStatus);
        EXPECT_EQ(outcome.out, "完了: " + (m_music / name / "volume_gains.csv").string() + " に保存しました\n" + c.counts + "\n");
        // A terminal ends its lines in CR LF; what the tool said after its status is its own.
        EXPECT_EQ(std::regex_replace(outcome.err, std::regex(R"((\(status=1\))[^\n]*|\r)"), "$1"), expected);
    }
}

// Only --save stores the settings of a run; later runs start from them.
TEST_F(CliTest, SaveStoresTheResultingSettingsAndLaterRunsUseThem) {
    fake("a.mp3", "lufs=-23.0\n");
    const fs::path settingsFile = m_config / "quellmark" / "quellmark.settings";
    EXPECT_EQ(runCli(run({"--target", "-14"}), env()).exitStatus, 0);
    EXPECT_FALSE(fs::exists(settingsFile));
    EXPECT_EQ(runCli(run({"--save", "--full", "--target", "-14", "--clamp", "6", "--jobs", "0"}), env()).exitStatus, 0);
    EXPECT_EQ(decodeSettings(readFile(settingsFile)),
              (AppSettings{-14, 6, std::nullopt, false, kFakeFfmpeg}));
    // The stored target, clamp and tool path apply: -14 - -23 = 9, limited to 6.
    EXPECT_EQ(runCli({m_music.path().string()}, env()).exitStatus, 0);
    EXPECT_EQ(csv(), kHeader + "a.mp3,a.mp3,a,,10,-23,-1,6,ok,0,0\n");
}

TEST_F(CliTest, ADryRunCountsWhatTheRunWillDoAndWritesNothing) {
    fake("a.mp3");
    fake("b.mp3");
    ASSERT_EQ(runCli(run({}), env()).exitStatus, 0);
    fake("b.mp3", "lufs=-30\n");
    writeFile(m_music / "c.wav", "not audio");
    const std::vector<std::string> tree = listTree(m_music.path());
    const std::string before = csv();
    fs::remove(m_log);

    const CliOutcome plan = runCli(run({"-n", "-v", "--save"}), env());
    EXPECT_EQ(plan.exitStatus, 0);
    EXPECT_EQ(plan.out, "解析するファイル: 2 件\n  b.mp3\n  c.wav\n再解析しないファイル（変更なし）: 1 件\n  a.mp3\n");
    EXPECT_EQ(listTree(m_music.path()), tree);
    EXPECT_EQ(csv(), before);
    EXPECT_EQ(listTree(m_config.path()), std::vector<std::string>{}) << "no settings even with --save, no tool run";
    ASSERT_EQ(runCli(run({}), env()).exitStatus, 0);
    EXPECT_EQ(ffmpegRuns("start"), 2u) << "the run measures what was counted";

    // A folder without audio fails alike with and without -n, and gets nothing written.
    writeFile(m_config / "music/cover.jpg", "jpeg");
    for (const char* option : {"-n", "--full"}) {
        const CliOutcome none = runCli({option, "--ffmpeg", kFakeFfmpeg, (m_config / "music").string()}, env());
        EXPECT_EQ(std::tie(none.exitStatus, none.out, none.err),
                  std::make_tuple(1, "", "対象となる音声ファイルが見つかりませんでした。\n"));
        EXPECT_EQ(std::distance(fs::directory_iterator(m_config / "music"), {}), 1) << "nothing written";
    }
}

TEST_F(CliTest, FirstSignalCancelsAndKeepsTheRowsWrittenSoFar) {
    for (const char* name : {"1.mp3", "2.mp3", "3.mp3", "4.mp3", "5.mp3"}) fake(name, "ffmpeg_delay=1\n");
    CliChild child(run({"--full", "--jobs", "1"}), env());
    // The third measurement has started, so the first two rows are written.
    ASSERT_TRUE(waitUntil([&] { return ffmpegRuns("start") >= 3; }));
    child.sendSignal(SIGINT);
    const CliOutcome outcome = child.wait();
    EXPECT_EQ(std::tie(outcome.exitStatus, outcome.out, outcome.err),
              std::make_tuple(130, "", "キャンセルされました（ここまでの結果はCSVに保存済みです）。\n"));
    EXPECT_EQ(csv(), kHeader + "1.mp3,1.mp3,1,,10,-20,-1,2,ok,0,0\n2.mp3,2.mp3,2,,10,-20,-1,2,ok,0,0\n");
    EXPECT_EQ(ffmpegRuns("end"), 3u) << "the measurement under way ran to its end";
}

// On a terminal the progress line is drawn; a second signal ends the program
// at once and stops the tools.
TEST_F(CliTest, SecondSignalEndsAtOnceAndStopsTheTools) {
    fake("slow.mp3", "ffmpeg_delay=300\n");
    fake("slow2.mp3", "ffmpeg_delay=300\n");
    CliChild child(run({"--full", "--jobs", "2"}), env(), {}, ErrorSink::terminal);
    ASSERT_TRUE(waitUntil([&] { return ffmpegRuns("start") >= 2; }));
    ASSERT_TRUE(waitUntil([&] { return child.terminalText().find("0 / 2 件") != std::string::npos; }));
    EXPECT_NE(child.terminalText().find("\r\x1b[K"), std::string::npos) << "the line is redrawn in place";
    child.sendSignal(SIGTERM);
    // The progress line shows that the first signal was taken; sent any
    // earlier, the second could merge with the first while both are pending.
    ASSERT_TRUE(waitUntil([&] { return child.terminalText().find("キャンセル中…") != std::string::npos; }));
    child.sendSignal(SIGINT);
    EXPECT_EQ(child.wait().exitStatus, 130);
    EXPECT_EQ(ffmpegRuns("end"), 0u) << "the tools were killed, not waited for";
    for (const auto& [pid, file] : toolRuns(m_log, "ffmpeg", "start")) {
        // Gone, or a zombie that nobody has reaped yet.
        const auto hasEnded = [pid] {
            const std::string stat = readFile("/proc/" + std::to_string(pid) + "/stat");
            return stat.empty() || stat.find(") Z") != std::string::npos;
        };
        EXPECT_TRUE(waitUntil(hasEnded)) << "stand-in " << pid << " still runs";
    }
    // The (empty) result may have been installed in the moment between the
    // tools' end and the process's, but never a row of a file still measured.
    if (fs::exists(m_music / "volume_gains.csv")) { EXPECT_EQ(csv(), kHeader); }
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
