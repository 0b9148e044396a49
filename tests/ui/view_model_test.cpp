#include "ui/view_model.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

namespace quellmark {
namespace {

using Path = std::filesystem::path;

EngineSnapshot snapshot(State state, std::int64_t total = 0, std::int64_t processed = 0, std::int64_t errors = 0) {
    EngineSnapshot s;
    s.state = state;
    s.totalCount = total;
    s.processedCount = processed;
    s.errorCount = errors;
    return s;
}

ViewModel view(const EngineSnapshot& engine, std::optional<Path> folder = Path("/music"),
               const AppSettings& settings = {}) {
    return computeView(engine, settings, folder, Path("/usr/bin/ffmpeg"), 4);
}

// Which rows of the status area a state shows, and how the run button reads.
TEST(ViewModel, StatusRowsFollowTheEngineState) {
    struct Case {
        const char* name;
        EngineSnapshot engine;
        std::optional<Path> folder;
        // idle hint, scanning, progress, counts, current file, completion, cancellation
        bool rows[7];
        const char* button;
        bool buttonEnabled;
        bool chooseEnabled;
        bool formEnabled;
    };
    EngineSnapshot finishedWithCsv = snapshot(State::finished, 10, 10);
    finishedWithCsv.outputURL = Path("/music/volume_gains.csv");
    EngineSnapshot cancelledWithCsv = snapshot(State::cancelled, 10, 4);
    cancelledWithCsv.outputURL = Path("/music/volume_gains.csv");
    const Case cases[] = {
        {"idle, no folder", snapshot(State::idle), std::nullopt, {1, 0, 0, 0, 0, 0, 0}, "解析開始", false, true, true},
        {"idle with folder", snapshot(State::idle), Path("/m"), {1, 0, 0, 0, 0, 0, 0}, "解析開始", true, true, true},
        {"scanning", snapshot(State::running), Path("/m"), {0, 1, 0, 0, 0, 0, 0}, "キャンセル", true, false, false},
        {"running without folder",
         snapshot(State::running, 5, 1),
         std::nullopt,
         {0, 0, 1, 1, 1, 0, 0},
         "キャンセル",
         true,
         false,
         false},
        {"finished with csv", finishedWithCsv, Path("/m"), {0, 0, 1, 1, 0, 1, 0}, "解析開始", true, true, true},
        {"finished without csv",
         snapshot(State::finished),
         Path("/m"),
         {0, 0, 1, 1, 0, 0, 0},
         "解析開始",
         true,
         true,
         true},
        {"finished, no folder", finishedWithCsv, std::nullopt, {0, 0, 1, 1, 0, 1, 0}, "解析開始", false, true, true},
        {"cancelled with csv", cancelledWithCsv, Path("/m"), {0, 0, 1, 1, 0, 0, 1}, "解析開始", true, true, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const ViewModel v = view(c.engine, c.folder);
        const bool shown[7] = {v.showIdleHint,    v.showScanning,   v.showProgress,    v.showCounts,
                               v.showCurrentFile, v.showCompletion, v.showCancellation};
        for (int i = 0; i < 7; ++i)
            EXPECT_EQ(shown[i], c.rows[i]) << "row " << i;
        EXPECT_EQ(v.runButtonText, c.button);
        EXPECT_EQ(v.runButtonEnabled, c.buttonEnabled);
        EXPECT_EQ(v.chooseFolderEnabled, c.chooseEnabled);
        EXPECT_EQ(v.formEnabled, c.formEnabled);
        EXPECT_EQ(v.revealTarget.has_value(), v.showCompletion);
    }
}

TEST(ViewModel, ProgressCountsAndRemainingTime) {
    struct Case {
        const char* name;
        State state;
        std::int64_t total, processed, errors;
        std::optional<double> remaining;
        std::int64_t barValue, barTotal;
        const char* counts;
        const char* errorText;      // nullptr: no error label
        const char* remainingText;  // nullptr: no remaining label
    };
    const Case cases[] = {
        {"running, first file not done", State::running, 340, 0, 0, std::nullopt, 0, 340, "0 / 340 件", nullptr,
         nullptr},
        {"running with estimate", State::running, 340, 12, 3, 125.0, 12, 340, "12 / 340 件", "(エラー 3 件)",
         "残り約 2分5秒"},
        {"empty folder finished", State::finished, 0, 0, 0, std::nullopt, 0, 1, "0 / 0 件", nullptr, nullptr},
        {"finished ignores a stale estimate", State::finished, 5, 5, 0, 10.0, 5, 5, "5 / 5 件", nullptr, nullptr},
        {"cancelled part way", State::cancelled, 1000000, 12345, 2, 3.0, 12345, 1000000, "12345 / 1000000 件",
         "(エラー 2 件)", nullptr},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EngineSnapshot engine = snapshot(c.state, c.total, c.processed, c.errors);
        engine.estimatedRemainingSeconds = c.remaining;
        const ViewModel v = view(engine);
        EXPECT_EQ(v.progressValue, c.barValue);
        EXPECT_EQ(v.progressTotal, c.barTotal);
        EXPECT_EQ(v.countsText, c.counts);
        EXPECT_EQ(v.showErrorCount, c.errorText != nullptr);
        if (c.errorText) {
            EXPECT_EQ(v.errorCountText, c.errorText);
        }
        EXPECT_EQ(v.showRemaining, c.remainingText != nullptr);
        if (c.remainingText) {
            EXPECT_EQ(v.remainingText, c.remainingText);
        }
    }
}

TEST(ViewModel, OutcomeTexts) {
    EngineSnapshot finished = snapshot(State::finished, 3, 3);
    finished.outputURL = Path("/home/u/Musik/volume_gains.csv");
    const ViewModel done = view(finished);
    EXPECT_EQ(done.completionText, "完了: volume_gains.csv に保存しました");
    EXPECT_EQ(done.revealTarget, finished.outputURL);

    EngineSnapshot cancelled = snapshot(State::cancelled, 3, 1);
    EXPECT_EQ(view(cancelled).cancellationText, "キャンセルされました。");
    cancelled.outputURL = Path("/m/volume_gains.csv");
    EXPECT_EQ(view(cancelled).cancellationText, "キャンセルされました（ここまでの結果はCSVに保存済みです）。");

    EngineSnapshot failed = snapshot(State::finished);
    failed.errorMessage = "対象となる音声ファイルが見つかりませんでした。";
    const ViewModel failedView = view(failed);
    EXPECT_EQ(failedView.alertMessage, failed.errorMessage);
    EXPECT_FALSE(failedView.showCompletion);
    EXPECT_FALSE(view(snapshot(State::finished)).alertMessage.has_value());
}

TEST(ViewModel, FolderRowAndNamesWithInvalidBytes) {
    const ViewModel none = view(snapshot(State::idle), std::nullopt);
    EXPECT_EQ(none.folderText, "フォルダが選択されていません");
    EXPECT_EQ(none.folderRole, ColorRole::secondary);

    const ViewModel chosen = view(snapshot(State::idle), Path("/home/u/Musik/Caf\xE9"));
    EXPECT_EQ(chosen.folderText, "/home/u/Musik/Caf\xEF\xBF\xBD");
    EXPECT_EQ(chosen.folderRole, ColorRole::primary);

    EngineSnapshot running = snapshot(State::running, 2, 0);
    running.currentFileName =
        "Tr\xFF"
        "ck.flac";
    EXPECT_EQ(view(running).currentFileText,
              "Tr\xEF\xBF\xBD"
              "ck.flac");
}

TEST(ViewModel, SettingsLabelsAndControlPositions) {
    struct Case {
        double target, clamp;
        const char* targetText;
        const char* clampText;
        int targetPosition, clampPosition;
    };
    const Case cases[] = {
        {-18.0, 12.0, "-18.0", "12.0", -36, 24}, {-16.0, 1.0, "-16.0", "1.0", -32, 2},
        {-9.5, 0.5, "-9.5", "0.5", -19, 2},       // clamp below the slider: the slider pins, the label does not
        {-45.0, 30.0, "-45.0", "30.0", -60, 48},  // stored values beyond both ends
        {-18.25, 6.75, "-18.2", "6.8", -37, 14},  // off the grid: ties round to even in text, away from zero on the
                                                  // slider
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.targetText);
        AppSettings settings;
        settings.targetLUFS = c.target;
        settings.clampDB = c.clamp;
        const ViewModel v = view(snapshot(State::idle), Path("/m"), settings);
        EXPECT_EQ(v.targetText, c.targetText);
        EXPECT_EQ(v.clampText, c.clampText);
        EXPECT_EQ(v.targetSliderPosition, c.targetPosition);
        EXPECT_EQ(v.clampSliderPosition, c.clampPosition);
    }
}

TEST(ViewModel, StepperLabelAndValue) {
    struct Case {
        std::optional<std::int64_t> parallelism;
        std::int64_t automatic;
        const char* label;
        int stepper;
    };
    const Case cases[] = {
        {std::nullopt, 8, "並列数: 自動 (8)", 0},
        {3, 8, "並列数: 3", 3},
        {0, 2, "並列数: 自動 (2)", 0},
        {-2, 2, "並列数: 自動 (2)", 0},  // below 1 runs automatically, so it reads so
        {64, 8, "並列数: 64", 32},       // beyond the stepper: the label keeps the stored count
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        AppSettings settings;
        settings.parallelism = c.parallelism;
        const ViewModel v = computeView(snapshot(State::idle), settings, Path("/m"), std::nullopt, c.automatic);
        EXPECT_EQ(v.stepperText, c.label);
        EXPECT_EQ(v.stepperValue, c.stepper);
    }
}

TEST(ViewModel, FfmpegStatusLine) {
    AppSettings settings;
    settings.ffmpegPath = " ";
    const ViewModel found = computeView(snapshot(State::idle), settings, std::nullopt, Path("/usr/bin/ffmpeg"), 4);
    EXPECT_TRUE(found.ffmpegFound);
    EXPECT_EQ(found.ffmpegStatusText, "ffmpeg: /usr/bin/ffmpeg");
    EXPECT_EQ(found.ffmpegStatusRole, ColorRole::secondary);
    EXPECT_EQ(found.ffmpegPathText, " ");

    const ViewModel missing = computeView(snapshot(State::idle), {}, Path("/m"), std::nullopt, 4);
    EXPECT_FALSE(missing.ffmpegFound);
    EXPECT_EQ(missing.ffmpegStatusText, "ffmpeg が見つかりません。詳細設定でパスを指定してください。");
    EXPECT_EQ(missing.ffmpegStatusRole, ColorRole::red);
    EXPECT_EQ(missing.ffmpegPathText, "");
    EXPECT_TRUE(missing.runButtonEnabled);  // a missing ffmpeg never blocks a start
}

}  // namespace
}  // namespace quellmark
