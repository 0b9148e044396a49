// quellmark-cli as a user runs it: arguments, exit statuses, what it prints
// and what it leaves in the folder, with the stand-in ffmpeg and ffprobe.

#include <signal.h>

#include <filesystem>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "cli/cli_child.h"
#include "settings/app_settings.h"
#include "support/temp_dir.h"

namespace fs = std::filesystem;
using testing::ElementsAre;
using testing::HasSubstr;
using testing::StartsWith;

namespace quellmark::test {
namespace {

const std::string kToolsDir = QUELLMARK_TEST_TOOLS_DIR;
const std::string kFakeFfmpeg = kToolsDir + "/ffmpeg";
const std::string kHeader =
    "relative_path,file_name,title,artist,duration_sec,measured_lufs,true_peak_dbfs,gain_db,status,"
    "leading_silence_sec,trailing_silence_sec\n";
const std::string kNoAudio = "対象となる音声ファイルが見つかりませんでした。\n";
const std::string kLockHeld = "別の解析がこのフォルダに書き込み中です。\n";
const std::string kCancelledSaved = "キャンセルされました（ここまでの結果はCSVに保存済みです）。\n";

/// The pids of the log lines "<tool> <event> <time> <pid> <file>" that begin with `prefix`.
std::vector<pid_t> toolPids(const std::string& log, const std::string& prefix) {
    std::vector<pid_t> pids;
    std::istringstream lines(log);
    for (std::string line; std::getline(lines, line);) {
        if (!line.starts_with(prefix)) continue;
        std::istringstream fields(line);
        std::string tool, event, time;
        pid_t pid = 0;
        if (fields >> tool >> event >> time >> pid) pids.push_back(pid);
    }
    return pids;
}

/// Gone, or a zombie that nobody has reaped yet.
bool hasEnded(pid_t pid) {
    const std::string stat = readFile("/proc/" + std::to_string(pid) + "/stat");
    const std::size_t close = stat.rfind(") ");
    return stat.empty() || (close != std::string::npos && stat.compare(close + 2, 1, "Z") == 0);
}

class CliTest : public testing::Test {
protected:
    /// Each test stores settings in a folder of its own.
    std::map<std::string, std::string> env(std::map<std::string, std::string> extra = {}) const {
        extra.emplace("XDG_CONFIG_HOME", m_config.path().string());
        return extra;
    }
    void fake(const std::string& relative, const std::string& keys = "") const {
        writeFile(m_music / relative, "QMFAKE\n" + keys);
    }
    fs::path settingsFile() const { return m_config / "quellmark" / "quellmark.settings"; }
    std::string csv() const { return readFile(m_music / "volume_gains.csv"); }
    std::string completionLine() const {
        return "完了: " + (m_music.path() / "volume_gains.csv").string() + " に保存しました\n";
    }

    TempDir m_config;
    TempDir m_music;
};

TEST_F(CliTest, UsageErrorsSayOneLineAndTouchNothing) {
    fake("a.mp3");
    writeFile(m_music / "notes.txt", "not a folder");
    const std::string folder = m_music.path().string();
    const std::vector<std::vector<std::string>> cases = {
        {},
        {"--bogus", folder},
        {"-x", folder},
        {folder, folder},
        {(m_music / "missing").string()},
        {(m_music / "notes.txt").string()},
        {""},
        {folder, "--target"},
        {"--target", "abc", folder},
        {"--target", "-14,5", folder},
        {"--target", " -14", folder},
        {"--target", "", folder},
        {"--target", "inf", folder},
        {"--target", "nan", folder},
        {"--clamp", "-1", folder},
        {"--clamp", "-inf", folder},
        {"--clamp", "1e999", folder},
        {"--jobs", "-2", folder},
        {"--jobs", "2.5", folder},
        {"--jobs", "two", folder},
        {"--jobs", "99999999999999999999", folder},
        {"--full", "--incremental", folder},
        {"--full=no", folder},
        {"--save", "--clamp", "-3", folder},
    };
    for (const auto& arguments : cases) {
        std::string shown;
        for (const auto& argument : arguments) shown += "[" + argument + "] ";
        SCOPED_TRACE(shown);
        const CliOutcome outcome = runCli(arguments, env());
        EXPECT_EQ(outcome.exitStatus, 2);
        EXPECT_EQ(outcome.out, "");
        EXPECT_THAT(outcome.err, StartsWith("quellmark-cli: "));
        EXPECT_EQ(countLines(outcome.err, ""), 1) << outcome.err;
        EXPECT_EQ(outcome.err.back(), '\n');
        EXPECT_THAT(listTree(m_music.path()), ElementsAre("a.mp3", "notes.txt"));
        EXPECT_FALSE(fs::exists(m_config / "quellmark"));
    }
}

TEST_F(CliTest, HelpAndVersionPrintOnStandardOutput) {
    const CliOutcome help = runCli({"--help"}, env());
    EXPECT_EQ(help.exitStatus, 0);
    EXPECT_THAT(help.out, StartsWith("Usage: quellmark-cli [options] FOLDER\n"));
    EXPECT_THAT(help.out, HasSubstr("--target"));
    EXPECT_EQ(help.err, "");

    const CliOutcome version = runCli({"--version"}, env());
    EXPECT_EQ(version.exitStatus, 0);
    EXPECT_EQ(version.out, std::string("quellmark-cli ") + QUELLMARK_VERSION + "\n");
    EXPECT_EQ(version.err, "");
}

TEST_F(CliTest, FolderWithoutAudioFailsAndCreatesNothing) {
    writeFile(m_music / "cover.jpg", "jpeg");
    const CliOutcome outcome = runCli({"--ffmpeg", kFakeFfmpeg, m_music.path().string()}, env());
    EXPECT_EQ(outcome.exitStatus, 1);
    EXPECT_EQ(outcome.out, "");
    EXPECT_EQ(outcome.err, kNoAudio);
    EXPECT_THAT(listTree(m_music.path()), ElementsAre("cover.jpg"));
}

TEST_F(CliTest, RunWritesRowsAndReportsTheAbsoluteCsvPath) {
    fake("a.mp3", "lufs=-23.0\npeak=-1.5\n");
    fake("Disc 2/b.flac", "lufs=-9.0\ntitle=Song B\nartist=Someone\n");
    writeFile(m_music / "c.wav", "\x07\x13 not audio at all");
    // The folder is given relative to the working directory, with a trailing
    // slash: the report and the rows still use the clean absolute path.
    const fs::path parent = m_music.path().parent_path();
    const std::string relative = m_music.path().filename().string() + "/";
    const CliOutcome outcome = runCli({"--full", "--jobs", "1", "--ffmpeg", kFakeFfmpeg, relative}, env(), parent);

    EXPECT_EQ(outcome.exitStatus, 0) << outcome.err;
    EXPECT_EQ(outcome.out, completionLine() + "3 / 3 件 (エラー 1 件)\n");
    EXPECT_EQ(outcome.err, "") << "no progress output when standard error is not a terminal";
    EXPECT_EQ(csv(), kHeader +
                         "Disc 2/b.flac,b.flac,Song B,Someone,10,-9,-1,-9,ok,0,0\n"
                         "a.mp3,a.mp3,a,,10,-23,-1.5,5,ok,0,0\n"
                         "c.wav,c.wav,c,,,,,0,error:decode_failed,0,0\n");
    EXPECT_TRUE(fs::exists(m_music / "volume_gains.csv.meta.json"));
    EXPECT_FALSE(fs::exists(m_music / "volume_gains.csv.tmp"));
}

TEST_F(CliTest, MissingFfmpegGivesErrorRowsButFinishes) {
    fake("a.mp3");
    fake("b.mp3");
    const CliOutcome outcome =
        runCli({"--jobs", "1", "--ffmpeg", "/nonexistent/ffmpeg", m_music.path().string()}, env({{"PATH", ""}}));
    EXPECT_EQ(outcome.exitStatus, 0) << outcome.err;
    EXPECT_EQ(outcome.out, completionLine() + "2 / 2 件 (エラー 2 件)\n");
    EXPECT_EQ(csv(), kHeader +
                         "a.mp3,a.mp3,a,,,,,0,error:ffmpeg_not_found,0,0\n"
                         "b.mp3,b.mp3,b,,,,,0,error:ffmpeg_not_found,0,0\n");
}

TEST_F(CliTest, SaveStoresTheResultingSettingsAndLaterRunsUseThem) {
    fake("a.mp3", "lufs=-23.0\n");
    const std::string folder = m_music.path().string();

    const CliOutcome unsaved = runCli({"--target", "-14", "--ffmpeg", kFakeFfmpeg, folder}, env());
    EXPECT_EQ(unsaved.exitStatus, 0) << unsaved.err;
    EXPECT_FALSE(fs::exists(settingsFile())) << "without --save nothing is stored";

    const CliOutcome saved = runCli(
        {"--save", "--full", "--target", "-14", "--clamp", "6", "--jobs", "3", "--ffmpeg", kFakeFfmpeg, folder}, env());
    EXPECT_EQ(saved.exitStatus, 0) << saved.err;
    const auto stored = decodeSettings(readFile(settingsFile()));
    ASSERT_TRUE(stored.has_value());
    AppSettings expected;
    expected.targetLUFS = -14;
    expected.clampDB = 6;
    expected.parallelism = 3;
    expected.incremental = false;
    expected.ffmpegPath = kFakeFfmpeg;
    EXPECT_EQ(*stored, expected);

    // No options now: the stored target, clamp and tool path apply
    // (-14 - -23 = 9, limited to 6).
    const CliOutcome later = runCli({folder}, env());
    EXPECT_EQ(later.exitStatus, 0) << later.err;
    EXPECT_EQ(csv(), kHeader + "a.mp3,a.mp3,a,,10,-23,-1,6,ok,0,0\n");

    // --jobs 0 and an empty --ffmpeg mean automatic, stored as absent values.
    const CliOutcome automatic = runCli({"--save", "--jobs", "0", "--ffmpeg", "", "--incremental", folder},
                                        env({{"PATH", ""}}));
    EXPECT_EQ(automatic.exitStatus, 0) << automatic.err;
    const auto reset = decodeSettings(readFile(settingsFile()));
    ASSERT_TRUE(reset.has_value());
    EXPECT_EQ(reset->parallelism, std::nullopt);
    EXPECT_EQ(reset->ffmpegPath, std::nullopt);
    EXPECT_TRUE(reset->incremental);
}

TEST_F(CliTest, FirstSignalCancelsAndKeepsTheRowsWrittenSoFar) {
    for (const char* name : {"1.mp3", "2.mp3", "3.mp3", "4.mp3", "5.mp3", "6.mp3"}) fake(name, "ffmpeg_delay=1\n");
    const fs::path log = m_config / "tools.log";
    CliChild child({"--full", "--jobs", "1", "--ffmpeg", kFakeFfmpeg, m_music.path().string()},
                   env({{"QM_FAKE_LOG", log.string()}}));
    // The third measurement has started, so the first two rows are written.
    ASSERT_TRUE(waitForLines(log, "ffmpeg start", 3));
    child.sendSignal(SIGINT);
    const CliOutcome outcome = child.wait();

    EXPECT_EQ(outcome.exitStatus, 130);
    EXPECT_EQ(outcome.out, "");
    EXPECT_EQ(outcome.err, kCancelledSaved);
    EXPECT_EQ(csv(), kHeader +
                         "1.mp3,1.mp3,1,,10,-20,-1,2,ok,0,0\n"
                         "2.mp3,2.mp3,2,,10,-20,-1,2,ok,0,0\n");
    EXPECT_FALSE(fs::exists(m_music / "volume_gains.csv.tmp"));
    const std::string toolLog = readFile(log);
    EXPECT_EQ(countLines(toolLog, "ffmpeg start"), 3) << "no file is started after the cancel";
    EXPECT_EQ(countLines(toolLog, "ffmpeg end"), 3) << "the measurement under way ran to its end";
}

TEST_F(CliTest, SecondSignalEndsAtOnceAndStopsTheTools) {
    fake("slow.mp3", "ffmpeg_delay=300\n");
    fake("slow2.mp3", "ffmpeg_delay=300\n");
    const std::vector<std::pair<int, int>> signalPairs = {{SIGINT, SIGINT}, {SIGTERM, SIGINT}};
    for (const auto& [first, second] : signalPairs) {
        SCOPED_TRACE(std::to_string(first) + " then " + std::to_string(second));
        const fs::path log = m_config / ("tools-" + std::to_string(first) + ".log");
        CliChild child({"--full", "--jobs", "2", "--ffmpeg", kFakeFfmpeg, m_music.path().string()},
                       env({{"QM_FAKE_LOG", log.string()}}), {}, ErrorSink::terminal);
        ASSERT_TRUE(waitForLines(log, "ffmpeg start", 2));
        child.sendSignal(first);
        // The progress line shows that the first signal was taken; sent any
        // earlier, the second could merge with the first while both are pending.
        ASSERT_TRUE(waitUntil([&] { return child.terminalText().find("キャンセル中…") != std::string::npos; }));
        child.sendSignal(second);
        const CliOutcome outcome = child.wait(120);

        EXPECT_EQ(outcome.exitStatus, 130);
        const std::string toolLog = readFile(log);
        EXPECT_EQ(countLines(toolLog, "ffmpeg end"), 0) << "the tools were killed, not waited for";
        for (const pid_t pid : toolPids(toolLog, "ffmpeg start")) {
            EXPECT_TRUE(waitUntil([pid] { return hasEnded(pid); })) << "stand-in " << pid << " still runs";
        }
        // The run may or may not have installed its (empty) result in the
        // moment between the tools' end and the process's, but never a row of
        // a file that was still being measured.
        if (fs::exists(m_music / "volume_gains.csv")) {
            EXPECT_EQ(csv(), kHeader);
        }
        fs::remove(m_music / "volume_gains.csv");
    }
}

TEST_F(CliTest, SecondRunOnABusyFolderIsRefused) {
    fake("a.mp3", "ffmpeg_delay=1\n");
    fake("b.mp3", "ffmpeg_delay=1\n");
    const fs::path log = m_config / "tools.log";
    const std::string folder = m_music.path().string();
    CliChild first({"--full", "--jobs", "1", "--ffmpeg", kFakeFfmpeg, folder}, env({{"QM_FAKE_LOG", log.string()}}));
    ASSERT_TRUE(waitForLines(log, "ffmpeg start", 1));

    const CliOutcome second = runCli({"--full", "--ffmpeg", kFakeFfmpeg, folder}, env());
    EXPECT_EQ(second.exitStatus, 1);
    EXPECT_EQ(second.out, "");
    EXPECT_EQ(second.err, kLockHeld);

    const CliOutcome outcome = first.wait();
    EXPECT_EQ(outcome.exitStatus, 0) << outcome.err;
    EXPECT_EQ(csv(), kHeader +
                         "a.mp3,a.mp3,a,,10,-20,-1,2,ok,0,0\n"
                         "b.mp3,b.mp3,b,,10,-20,-1,2,ok,0,0\n");
}

TEST_F(CliTest, ProgressIsDrawnOnlyOnATerminalAndNotWhenQuiet) {
    fake("a.mp3", "ffmpeg_delay=0.3\n");
    fake("b.mp3", "ffmpeg_delay=0.3\n");
    const std::string folder = m_music.path().string();
    CliChild shown({"--full", "--ffmpeg", kFakeFfmpeg, folder}, env(), {}, ErrorSink::terminal);
    const CliOutcome withProgress = shown.wait();
    EXPECT_EQ(withProgress.exitStatus, 0) << withProgress.err;
    EXPECT_THAT(withProgress.err, HasSubstr("\r\x1b[K"));
    EXPECT_THAT(withProgress.err, HasSubstr(" / 2 件"));
    EXPECT_EQ(withProgress.out, completionLine() + "2 / 2 件\n");

    CliChild quiet({"--quiet", "--full", "--ffmpeg", kFakeFfmpeg, folder}, env(), {}, ErrorSink::terminal);
    const CliOutcome withoutProgress = quiet.wait();
    EXPECT_EQ(withoutProgress.exitStatus, 0) << withoutProgress.err;
    EXPECT_EQ(withoutProgress.err, "");
}

}  // namespace
}  // namespace quellmark::test
