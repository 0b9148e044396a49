#include "ui/view_model.h"

#include <gtest/gtest.h>

namespace quellmark {
namespace {

using Path = std::filesystem::path;

EngineSnapshot snapshot(State state, std::int64_t total = 0, std::int64_t processed = 0, std::int64_t errors = 0,
                        std::optional<Path> csv = std::nullopt) {
    EngineSnapshot s;
    s.state = state;
    s.totalCount = total;
    s.processedCount = processed;
    s.errorCount = errors;
    s.outputURL = std::move(csv);
    return s;
}

ViewModel view(const EngineSnapshot& engine, std::optional<Path> folder = Path("/music"),
               const AppSettings& settings = {}) {
    return computeView(engine, settings, folder, Path("/usr/bin/ffmpeg"), 4);
}

// Which rows of the status area a state shows, and how the run button reads.
TEST(ViewModel, StatusRowsFollowTheEngineState) {
    const Path csv("/music/volume_gains.csv");
    const struct {
        const char* name;
        EngineSnapshot engine;
        std::optional<Path> folder;
        const char* rows;  // idle hint, scanning, progress, counts, current file, completion, cancellation
        const char* button;
        bool buttonEnabled, formEnabled;
    } cases[] = {
        {"idle, no folder", snapshot(State::idle), std::nullopt, "1000000", "解析開始", false, true},
        {"idle with folder", snapshot(State::idle), Path("/m"), "1000000", "解析開始", true, true},
        {"scanning", snapshot(State::running), Path("/m"), "0100000", "キャンセル", true, false},
        {"running, no folder", snapshot(State::running, 5, 1), std::nullopt, "0011100", "キャンセル", true, false},
        {"finished with csv", snapshot(State::finished, 10, 10, 0, csv), Path("/m"), "0011010", "解析開始", true, true},
        {"finished without csv", snapshot(State::finished), Path("/m"), "0011000", "解析開始", true, true},
        {"finished, no folder", snapshot(State::finished, 10, 10, 0, csv), std::nullopt, "0011010", "解析開始", false, true},
        {"cancelled with csv", snapshot(State::cancelled, 10, 4, 0, csv), Path("/m"), "0011001", "解析開始", true, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const ViewModel v = view(c.engine, c.folder);
        const bool shown[7] = {v.showIdleHint,    v.showScanning,   v.showProgress,    v.showCounts,
                               v.showCurrentFile, v.showCompletion, v.showCancellation};
        for (int i = 0; i < 7; ++i) EXPECT_EQ(shown[i], c.rows[i] == '1') << "row " << i;
        EXPECT_EQ(v.runButtonText, c.button);
        EXPECT_EQ(v.runButtonEnabled, c.buttonEnabled);
        EXPECT_EQ(v.chooseFolderEnabled, c.formEnabled);
        EXPECT_EQ(v.formEnabled, c.formEnabled);
        EXPECT_EQ(v.revealTarget.has_value(), v.showCompletion);
    }
}

TEST(ViewModel, ProgressCountsAndRemainingTime) {
    const struct {
        const char* name;
        State state;
        std::int64_t total, processed, errors;
        std::optional<double> remaining;
        std::int64_t barValue, barTotal;
        const char *counts, *errorText, *remainingText;  // "-": label hidden
    } cases[] = {
        {"running, first file not done", State::running, 340, 0, 0, std::nullopt, 0, 340, "0 / 340 件", "-", "-"},
        {"running with estimate", State::running, 340, 12, 3, 125.0, 12, 340, "12 / 340 件", "(エラー 3 件)",
         "残り約 2分5秒"},
        {"empty folder finished", State::finished, 0, 0, 0, std::nullopt, 0, 1, "0 / 0 件", "-", "-"},
        {"finished ignores a stale estimate", State::finished, 5, 5, 0, 10.0, 5, 5, "5 / 5 件", "-", "-"},
        {"cancelled part way", State::cancelled, 1000000, 12345, 2, 3.0, 12345, 1000000, "12345 / 1000000 件",
         "(エラー 2 件)", "-"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EngineSnapshot engine = snapshot(c.state, c.total, c.processed, c.errors);
        engine.estimatedRemainingSeconds = c.remaining;
        const ViewModel v = view(engine);
        EXPECT_EQ(v.progressValue, c.barValue);
        EXPECT_EQ(v.progressTotal, c.barTotal);
        EXPECT_EQ(v.countsText, c.counts);
        EXPECT_EQ(v.showErrorCount ? v.errorCountText : "-", c.errorText);
        EXPECT_EQ(v.showRemaining ? v.remainingText : "-", c.remainingText);
    }
}

TEST(ViewModel, OutcomeFolderAndFfmpegTexts) {
    const ViewModel done = view(snapshot(State::finished, 3, 3, 0, Path("/home/u/Musik/volume_gains.csv")));
    EXPECT_EQ(done.completionText, "完了: volume_gains.csv に保存しました");
    EXPECT_EQ(done.revealTarget, Path("/home/u/Musik/volume_gains.csv"));
    EXPECT_EQ(view(snapshot(State::cancelled, 3, 1)).cancellationText, "キャンセルされました。");
    EXPECT_EQ(view(snapshot(State::cancelled, 3, 1, 0, Path("/m/volume_gains.csv"))).cancellationText,
              "キャンセルされました（ここまでの結果はCSVに保存済みです）。");
    EngineSnapshot failed = snapshot(State::finished);
    failed.errorMessage = "対象となる音声ファイルが見つかりませんでした。";
    EXPECT_EQ(view(failed).alertMessage, failed.errorMessage);
    EXPECT_FALSE(view(failed).showCompletion);
    EXPECT_FALSE(view(snapshot(State::finished)).alertMessage.has_value());

    // Names with bytes that are not UTF-8 show the replacement character.
    EXPECT_EQ(view(snapshot(State::idle), std::nullopt).folderText, "フォルダが選択されていません");
    EXPECT_EQ(view(snapshot(State::idle), Path("/home/u/Caf\xE9")).folderText, "/home/u/Caf\xEF\xBF\xBD");
    EngineSnapshot running = snapshot(State::running, 2, 0);
    running.currentFileName = "Tr\xFF" "ck.flac";
    EXPECT_EQ(view(running).currentFileText, "Tr\xEF\xBF\xBD" "ck.flac");

    AppSettings blank;
    blank.ffmpegPath = " ";
    const ViewModel found = computeView(snapshot(State::idle), blank, std::nullopt, Path("/usr/bin/ffmpeg"), 4);
    EXPECT_EQ(found.ffmpegStatusText, "ffmpeg: /usr/bin/ffmpeg");
    EXPECT_EQ(found.ffmpegPathText, " ");
    const ViewModel missing = computeView(snapshot(State::idle), {}, Path("/m"), std::nullopt, 4);
    EXPECT_EQ(missing.ffmpegStatusText, "ffmpeg が見つかりません。詳細設定でパスを指定してください。");
    EXPECT_EQ(missing.ffmpegStatusRole, ColorRole::red);
    EXPECT_TRUE(missing.runButtonEnabled);  // a missing ffmpeg never blocks a start
}

TEST(ViewModel, SettingsLabelsAndControlPositions) {
    const struct {
        double target, clamp;
        std::optional<std::int64_t> parallelism;
        const char *targetText, *clampText, *stepperText;
        int targetPosition, clampPosition, stepperValue;
    } cases[] = {
        {-18.0, 12.0, std::nullopt, "-18.0", "12.0", "並列数: 自動 (4)", -36, 24, 0},
        // Clamp below the slider: the slider pins, the label does not.
        {-9.5, 0.5, 3, "-9.5", "0.5", "並列数: 3", -19, 2, 3},
        // Stored values beyond both ends; beyond the stepper the label keeps the stored count.
        {-45.0, 30.0, 64, "-45.0", "30.0", "並列数: 64", -60, 48, 32},
        // Off the grid: ties round to even in the text, away from zero on the
        // slider; a count below 1 runs automatically, so it reads so.
        {-18.25, 6.75, -2, "-18.2", "6.8", "並列数: 自動 (4)", -37, 14, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.targetText);
        const ViewModel v =
            view(snapshot(State::idle), Path("/m"), {.targetLUFS = c.target, .clampDB = c.clamp, .parallelism = c.parallelism, .ffmpegPath = {}});
        EXPECT_EQ(v.targetText, c.targetText);
        EXPECT_EQ(v.clampText, c.clampText);
        EXPECT_EQ(v.stepperText, c.stepperText);
        EXPECT_EQ(v.targetSliderPosition, c.targetPosition);
        EXPECT_EQ(v.clampSliderPosition, c.clampPosition);
        EXPECT_EQ(v.stepperValue, c.stepperValue);
    }
}

}  // namespace
}  // namespace quellmark
