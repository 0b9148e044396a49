// quellmark-cli as a user runs it: arguments, exit statuses, what it prints
// and what it leaves in the folder, with the stand-in ffmpeg and ffprobe.

#include <signal.h>

#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "cli/cli_child.h"
#include "output/analyze_result.h"
#include "settings/app_settings.h"
#include "support/temp_dir.h"

namespace fs = std::filesystem;
using testing::ElementsAre;
using testing::HasSubstr;
using testing::StartsWith;

namespace quellmark::test {
namespace {

const std::string kFakeFfmpeg = QUELLMARK_TEST_TOOLS_DIR "/ffmpeg";
const std::string kHeader = csvLine(csvHeader()) + "\n";

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
    std::vector<std::string> run(std::vector<std::string> options) const {
        options.insert(options.end(), {"--ffmpeg", kFakeFfmpeg, m_music.path().string()});
        return options;
    }
    std::string csv() const { return readFile(m_music / "volume_gains.csv"); }

    TempDir m_config;
    TempDir m_music;
};

TEST_F(CliTest, UsageErrorsSayOneLineAndTouchNothing) {
    fake("a.mp3");
    writeFile(m_music / "notes.txt", "not a folder");
    const std::string folder = m_music.path().string();
    const std::vector<std::vector<std::string>> cases = {
        {}, {"--bogus", folder}, {folder, folder}, {(m_music / "missing").string()}, {(m_music / "notes.txt").string()},
        {""}, {folder, "--target"}, {"--target", "-14,5", folder}, {"--target", " -14", folder},
        {"--target", "", folder}, {"--target", "nan", folder}, {"--clamp", "-1", folder}, {"--clamp", "1e999", folder},
        {"--jobs", "-2", folder}, {"--jobs", "2.5", folder}, {"--jobs", "99999999999999999999", folder},
        {"--full", "--incremental", folder}, {"--full=no", folder}, {"--save", "--clamp", "-3", folder},
    };
    for (const auto& arguments : cases) {
        std::string shown;
        for (const auto& argument : arguments) shown += "[" + argument + "] ";
        SCOPED_TRACE(shown);
        const CliOutcome outcome = runCli(arguments, env());
        EXPECT_EQ(outcome.exitStatus, 2);
        EXPECT_EQ(outcome.out, "");
        EXPECT_THAT(outcome.err, StartsWith("quellmark-cli: "));
        EXPECT_EQ(outcome.err.find('\n'), outcome.err.size() - 1) << "one line";
        EXPECT_THAT(listTree(m_music.path()), ElementsAre("a.mp3", "notes.txt"));
        EXPECT_FALSE(fs::exists(m_config / "quellmark"));
    }
    const CliOutcome help = runCli({"--help"}, env());
    EXPECT_EQ(help.exitStatus, 0);
    EXPECT_THAT(help.out, StartsWith("Usage: quellmark-cli [options] FOLDER\n"));
}

TEST_F(CliTest, RunsEndWithTheirStatusTextsAndRows) {
    const struct {
        const char* name;
        std::map<std::string, std::string> files;
        int exitStatus;
        std::string counts, err, rows;
    } cases[] = {
        {"no audio", {{"cover.jpg", "jpeg"}}, 1, "", "対象となる音声ファイルが見つかりませんでした。\n", ""},
        {"rows and an error row",
         {{"a.mp3", "QMFAKE\nlufs=-23.0\npeak=-1.5\n"},
          {"Disc 2/b.flac", "QMFAKE\nlufs=-9.0\ntitle=Song B\nartist=Someone\n"},
          {"c.wav", "\x07\x13 not audio at all"}},
         0, "3 / 3 件 (エラー 1 件)\n", "エラー 1 件:\n  c.wav: プロセスが失敗しました (status=1)",
         "Disc 2/b.flac,b.flac,Song B,Someone,10,-9,-1,-9,ok,0,0\n"
         "a.mp3,a.mp3,a,,10,-23,-1.5,5,ok,0,0\n"
         "c.wav,c.wav,c,,,,,0,error:decode_failed,0,0\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        TempDir music;
        for (const auto& [name, content] : c.files) writeFile(music / name, content);
        // A relative folder with a trailing slash: the report still names the clean absolute path.
        const CliOutcome outcome = runCli({"--full", "--jobs", "1", "--ffmpeg", kFakeFfmpeg, music.path().filename().string() + "/"},
                                          env(), music.path().parent_path());
        EXPECT_EQ(outcome.exitStatus, c.exitStatus);
        EXPECT_THAT(outcome.err, StartsWith(c.err)) << "no progress output when standard error is not a terminal";
        if (c.exitStatus != 0) {
            EXPECT_EQ(outcome.out, "");
            EXPECT_THAT(listTree(music.path()), ElementsAre("cover.jpg"));
            continue;
        }
        EXPECT_EQ(outcome.out, "完了: " + (music / "volume_gains.csv").string() + " に保存しました\n" + c.counts);
        EXPECT_EQ(readFile(music / "volume_gains.csv"), kHeader + c.rows);
        EXPECT_TRUE(fs::exists(music / "volume_gains.csv.meta.json"));
        EXPECT_FALSE(fs::exists(music / "volume_gains.csv.tmp"));
    }
}

TEST_F(CliTest, SaveStoresTheResultingSettingsAndLaterRunsUseThem) {
    fake("a.mp3", "lufs=-23.0\n");
    const fs::path settingsFile = m_config / "quellmark" / "quellmark.settings";
    EXPECT_EQ(runCli(run({"--target", "-14"}), env()).exitStatus, 0);
    EXPECT_FALSE(fs::exists(settingsFile)) << "without --save nothing is stored";

    EXPECT_EQ(runCli(run({"--save", "--full", "--target", "-14", "--clamp", "6", "--jobs", "3"}), env()).exitStatus, 0);
    const AppSettings expected{
        .targetLUFS = -14, .clampDB = 6, .parallelism = 3, .incremental = false, .ffmpegPath = kFakeFfmpeg};
    EXPECT_EQ(decodeSettings(readFile(settingsFile)), expected);

    // No options now: the stored target, clamp and tool path apply (-14 - -23 = 9, limited to 6).
    EXPECT_EQ(runCli({m_music.path().string()}, env()).exitStatus, 0);
    EXPECT_EQ(csv(), kHeader + "a.mp3,a.mp3,a,,10,-23,-1,6,ok,0,0\n");

    // --jobs 0 and an empty --ffmpeg mean automatic, stored as absent values.
    const auto automatic = {"--save", "--jobs", "0", "--ffmpeg", "", "--incremental", m_music.path().c_str()};
    EXPECT_EQ(runCli({automatic.begin(), automatic.end()}, env({{"PATH", ""}})).exitStatus, 0);
    const auto reset = decodeSettings(readFile(settingsFile));
    ASSERT_TRUE(reset.has_value());
    EXPECT_EQ(reset->parallelism, std::nullopt);
    EXPECT_EQ(reset->ffmpegPath, std::nullopt);
    EXPECT_TRUE(reset->incremental);
}

TEST_F(CliTest, FirstSignalCancelsAndKeepsTheRowsWrittenSoFar) {
    for (const char* name : {"1.mp3", "2.mp3", "3.mp3", "4.mp3", "5.mp3", "6.mp3"}) fake(name, "ffmpeg_delay=1\n");
    const fs::path log = m_config / "tools.log";
    CliChild child(run({"--full", "--jobs", "1"}), env({{"QM_FAKE_LOG", log.string()}}));
    // The third measurement has started, so the first two rows are written.
    ASSERT_TRUE(waitForLines(log, "ffmpeg start", 3));
    child.sendSignal(SIGINT);
    const CliOutcome outcome = child.wait();

    EXPECT_EQ(outcome.exitStatus, 130);
    EXPECT_EQ(outcome.out, "");
    EXPECT_EQ(outcome.err, "キャンセルされました（ここまでの結果はCSVに保存済みです）。\n");
    EXPECT_EQ(csv(), kHeader + "1.mp3,1.mp3,1,,10,-20,-1,2,ok,0,0\n2.mp3,2.mp3,2,,10,-20,-1,2,ok,0,0\n");
    EXPECT_FALSE(fs::exists(m_music / "volume_gains.csv.tmp"));
    const std::string toolLog = readFile(log);
    EXPECT_EQ(countLines(toolLog, "ffmpeg start"), 3) << "no file is started after the cancel";
    EXPECT_EQ(countLines(toolLog, "ffmpeg end"), 3) << "the measurement under way ran to its end";
}

TEST_F(CliTest, SecondSignalEndsAtOnceAndStopsTheTools) {
    fake("slow.mp3", "ffmpeg_delay=300\n");
    fake("slow2.mp3", "ffmpeg_delay=300\n");
    for (const auto& [first, second] : {std::pair{SIGINT, SIGINT}, std::pair{SIGTERM, SIGINT}}) {
        SCOPED_TRACE(std::to_string(first) + " then " + std::to_string(second));
        const fs::path log = m_config / ("tools-" + std::to_string(first) + ".log");
        CliChild child(run({"--full", "--jobs", "2"}), env({{"QM_FAKE_LOG", log.string()}}), {}, ErrorSink::terminal);
        ASSERT_TRUE(waitForLines(log, "ffmpeg start", 2));
        child.sendSignal(first);
        // The progress line shows that the first signal was taken; sent any
        // earlier, the second could merge with the first while both are pending.
        ASSERT_TRUE(waitUntil([&] { return child.terminalText().find("キャンセル中…") != std::string::npos; }));
        child.sendSignal(second);
        EXPECT_EQ(child.wait().exitStatus, 130);

        EXPECT_EQ(countLines(readFile(log), "ffmpeg end"), 0) << "the tools were killed, not waited for";
        for (const auto& [pid, file] : toolStarts(log, "ffmpeg")) {
            EXPECT_TRUE(waitUntil([pid] { return hasEnded(pid); })) << "stand-in " << pid << " still runs";
        }
        // The (empty) result may have been installed in the moment between
        // the tools' end and the process's, but never a row of a file that
        // was still being measured.
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
    CliChild first(run({"--full", "--jobs", "1"}), env({{"QM_FAKE_LOG", log.string()}}));
    ASSERT_TRUE(waitForLines(log, "ffmpeg start", 1));

    const CliOutcome second = runCli(run({"--full"}), env());
    EXPECT_EQ(second.exitStatus, 1);
    EXPECT_EQ(second.out, "");
    EXPECT_EQ(second.err, "別の解析がこのフォルダに書き込み中です。\n");
    EXPECT_EQ(first.wait().exitStatus, 0);
    EXPECT_EQ(csv(), kHeader + "a.mp3,a.mp3,a,,10,-20,-1,2,ok,0,0\nb.mp3,b.mp3,b,,10,-20,-1,2,ok,0,0\n");
}

TEST_F(CliTest, ProgressIsDrawnOnlyOnATerminalAndNotWhenQuiet) {
    fake("a.mp3", "ffmpeg_delay=0.3\n");
    fake("b.mp3", "ffmpeg_delay=0.3\n");
    const CliOutcome shown = runCli(run({"--full"}), env(), {}, ErrorSink::terminal);
    EXPECT_THAT(shown.err, HasSubstr("\r\x1b[K"));
    EXPECT_THAT(shown.err, HasSubstr(" / 2 件"));
    EXPECT_THAT(shown.out, HasSubstr("\n2 / 2 件\n"));
    EXPECT_EQ(runCli(run({"--quiet", "--full"}), env(), {}, ErrorSink::terminal).err, "");
}

}  // namespace
}  // namespace quellmark::test
