// quellmark-cli as a user runs it: arguments, exit statuses, what it prints
// and what it leaves in the folder, with the stand-in ffmpeg and ffprobe.
#include <signal.h>

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

TEST_F(CliTest, RunsEndWithTheirStatusTextsAndRows) {
    writeFile(m_config / "music/cover.jpg", "jpeg");
    const CliOutcome none = runCli({"--ffmpeg", kFakeFfmpeg, (m_config / "music").string()}, env());
    EXPECT_EQ(std::tie(none.exitStatus, none.out, none.err), std::make_tuple(1, "", "対象となる音声ファイルが見つかりませんでした。\n"));
    EXPECT_EQ(std::distance(fs::directory_iterator(m_config / "music"), {}), 1) << "nothing written";

    fake("a.mp3", "lufs=-23.0\npeak=-1.5\n");
    fake("Disc 2/b.flac", "lufs=-9.0\ntitle=Song B\nartist=Someone\n");
    writeFile(m_music / "c.wav", "\x07\x13 not audio at all");
    // A relative folder with a trailing slash: the report still names the clean absolute path.
    const CliOutcome outcome = runCli({"--full", "--jobs", "1", "--ffmpeg", kFakeFfmpeg,
                                       m_music.path().filename().string() + "/"}, env(), m_music.path().parent_path());
    EXPECT_EQ(outcome.exitStatus, 0);
    // No progress output when standard error is not a terminal: only the failures.
    EXPECT_EQ(outcome.err, "エラー 1 件:\n  c.wav: プロセスが失敗しました (status=1): " + (m_music / "c.wav").string() +
                               ": Invalid data found when processing input\n");
    EXPECT_EQ(outcome.out, "完了: " + (m_music / "volume_gains.csv").string() + " に保存しました\n3 / 3 件 (エラー 1 件)\n");
    EXPECT_EQ(csv(), kHeader + "Disc 2/b.flac,b.flac,Song B,Someone,10,-9,-1,-9,ok,0,0\n"
                     "a.mp3,a.mp3,a,,10,-23,-1.5,5,ok,0,0\nc.wav,c.wav,c,,,,,0,error:decode_failed,0,0\n");
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

TEST_F(CliTest, FirstSignalCancelsAndKeepsTheRowsWrittenSoFar) {
    for (const char* name : {"1.mp3", "2.mp3", "3.mp3", "4.mp3", "5.mp3"}) fake(name, "ffmpeg_delay=1\n");
    CliChild child(run({"--full", "--jobs", "1"}), env());
    // The third measurement has started, so the first two rows are written.
    ASSERT_TRUE(waitForLines(m_log, "ffmpeg start", 3));
    child.sendSignal(SIGINT);
    const CliOutcome outcome = child.wait();
    EXPECT_EQ(std::tie(outcome.exitStatus, outcome.out, outcome.err),
              std::make_tuple(130, "", "キャンセルされました（ここまでの結果はCSVに保存済みです）。\n"));
    EXPECT_EQ(csv(), kHeader + "1.mp3,1.mp3,1,,10,-20,-1,2,ok,0,0\n2.mp3,2.mp3,2,,10,-20,-1,2,ok,0,0\n");
    EXPECT_FALSE(fs::exists(m_music / "volume_gains.csv.tmp"));
    const std::string toolLog = readFile(m_log);
    EXPECT_EQ(countLines(toolLog, "ffmpeg start"), 3) << "no file is started after the cancel";
    EXPECT_EQ(countLines(toolLog, "ffmpeg end"), 3) << "the measurement under way ran to its end";
}

// On a terminal the progress line is drawn; a second signal ends the program
// at once and stops the tools.
TEST_F(CliTest, SecondSignalEndsAtOnceAndStopsTheTools) {
    fake("slow.mp3", "ffmpeg_delay=300\n");
    fake("slow2.mp3", "ffmpeg_delay=300\n");
    CliChild child(run({"--full", "--jobs", "2"}), env(), {}, ErrorSink::terminal);
    ASSERT_TRUE(waitForLines(m_log, "ffmpeg start", 2));
    ASSERT_TRUE(waitUntil([&] { return child.terminalText().find("0 / 2 件") != std::string::npos; }));
    EXPECT_NE(child.terminalText().find("\r\x1b[K"), std::string::npos) << "the line is redrawn in place";
    child.sendSignal(SIGTERM);
    // The progress line shows that the first signal was taken; sent any
    // earlier, the second could merge with the first while both are pending.
    ASSERT_TRUE(waitUntil([&] { return child.terminalText().find("キャンセル中…") != std::string::npos; }));
    child.sendSignal(SIGINT);
    EXPECT_EQ(child.wait().exitStatus, 130);
    EXPECT_EQ(countLines(readFile(m_log), "ffmpeg end"), 0) << "the tools were killed, not waited for";
    for (const auto& [pid, file] : toolStarts(m_log, "ffmpeg")) {
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

}  // namespace
}  // namespace quellmark::test
