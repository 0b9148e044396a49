// What the window shows, from the engine's state, the settings, the folder and
// the window's own inputs (a cancel asked for, what the results view holds).
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

ViewModel view(const EngineSnapshot& engine, std::optional<Path> folder = Path("/m"), const AppSettings& settings = {},
               const WindowInputs& inputs = {}) {
    return computeView(engine, settings, folder, Path("/usr/bin/ffmpeg"), 4, inputs);
}

/// A run over /m in `state` with four files, seen with the window's own `inputs`.
ViewModel view(State state, const WindowInputs& inputs) {
    return view(snapshot(state, 4, 4, 0, Path("/m/volume_gains.csv")), Path("/m"), {}, inputs);
}

// Which rows of the status area a state shows, how the run button reads, and the texts of each row.
TEST(ViewModel, StatusAreaFollowsTheEngineState) {
    const Path csv("/m/volume_gains.csv");
    const struct {
        const char* name;
        EngineSnapshot engine;
        std::optional<Path> folder;
        const char* rows;  // idle hint, scanning, progress, counts, current file, completion, cancellation
        const char *button, *counts, *errors, *outcome;  // "-": hidden or disabled
    } cases[] = {
        {"idle, no folder", snapshot(State::idle), std::nullopt, "1000000", "-", "-", "-", "-"},
        {"scanning", snapshot(State::running), Path("/m"), "0100000", "キャンセル", "-", "-", "-"},
        {"running, no folder", snapshot(State::running, 340, 12, 3), std::nullopt, "0011100", "キャンセル", "12 / 340 件",
         "(エラー 3 件)", "-"},
        {"finished with csv", snapshot(State::finished, 10, 10, 0, csv), Path("/m"), "0011010", "解析開始", "10 / 10 件",
         "-", "完了: volume_gains.csv に保存しました"},
        {"empty folder finished", snapshot(State::finished), Path("/m"), "0011000", "解析開始", "0 / 0 件", "-", "-"},
        {"cancelled with csv", snapshot(State::cancelled, 10, 4, 1, csv), Path("/m"), "0011001", "解析開始", "4 / 10 件",
         "(エラー 1 件)", "キャンセルされました（ここまでの結果はCSVに保存済みです）。"},
        {"cancelled without", snapshot(State::cancelled, 10, 4), Path("/m"), "0011001", "解析開始", "4 / 10 件", "-",
         "キャンセルされました。"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const ViewModel v = view(c.engine, c.folder);
        const bool shown[7] = {v.showIdleHint,    v.showScanning,   v.showProgress,    v.showCounts,
                               v.showCurrentFile, v.showCompletion, v.showCancellation};
        for (int i = 0; i < 7; ++i) EXPECT_EQ(shown[i], c.rows[i] == '1') << "row " << i;
        EXPECT_EQ(v.runButtonEnabled ? v.runButtonText : "-", c.button);
        EXPECT_EQ(v.formEnabled && v.chooseFolderEnabled, c.engine.state != State::running);
        EXPECT_EQ(v.showCounts ? v.countsText : "-", c.counts);
        EXPECT_EQ(v.showErrorCount ? v.errorCountText : "-", c.errors);
        EXPECT_EQ(v.showCompletion ? v.completionText : v.showCancellation ? v.cancellationText : "-", c.outcome);
        EXPECT_EQ(v.revealTarget, v.showCompletion ? c.engine.outputURL : std::nullopt);
        EXPECT_EQ(v.progressTotal, std::max<std::int64_t>(c.engine.totalCount, 1));
    }
}

// Bytes that are not UTF-8 show as U+FFFD; a missing ffmpeg is said in red but never blocks a start.
TEST(ViewModel, RemainingTimeFolderAndFfmpegTexts) {
    EngineSnapshot running = snapshot(State::running, 2, 1);
    running.estimatedRemainingSeconds = 125.0;
    running.currentFileName = "Tr\xFF" "ck.flac";
    EXPECT_EQ(std::make_tuple(view(running).remainingText, view(running).currentFileText),
              std::make_tuple("残り約 2分5秒", "Tr\xEF\xBF\xBD" "ck.flac"));
    EXPECT_EQ(view(snapshot(State::idle), Path("/home/u/Caf\xE9")).folderText, "/home/u/Caf\xEF\xBF\xBD");
    const ViewModel missing = computeView(snapshot(State::idle), {}, Path("/m"), std::nullopt, 4);
    EXPECT_EQ(std::tie(missing.ffmpegStatusText, missing.ffmpegStatusRole, missing.runButtonEnabled),
              std::make_tuple("ffmpeg が見つかりません。詳細設定でパスを指定してください。", ColorRole::red, true));
}

TEST(ViewModel, SettingsLabelsAndControlPositions) {
    const struct {
        double target, clamp;
        std::optional<std::int64_t> parallelism;
        const char *targetText, *clampText, *stepperText;
        int targetPosition, clampPosition, stepperValue;
    } cases[] = {
        {-18.0, 12.0, std::nullopt, "-18.0", "12.0", "並列数: 自動 (4)", -36, 24, 0},
        // Stored values beyond both ends pin the controls, not the labels.
        {-45.0, 0.5, 64, "-45.0", "0.5", "並列数: 64", -60, 2, 32},
        // Off the grid: ties round to even in the text, away from zero on the
        // slider; a count below 1 runs automatically, so it reads so.
        {-18.25, 6.75, -2, "-18.2", "6.8", "並列数: 自動 (4)", -37, 14, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.targetText);
        AppSettings settings;
        settings.targetLUFS = c.target;
        settings.clampDB = c.clamp;
        settings.parallelism = c.parallelism;
        const ViewModel v = view(snapshot(State::idle), Path("/m"), settings);
        EXPECT_EQ(std::tie(v.targetText, v.clampText, v.stepperText), std::tie(c.targetText, c.clampText, c.stepperText));
        EXPECT_EQ(std::tie(v.targetSliderPosition, v.clampSliderPosition, v.stepperValue),
                  std::tie(c.targetPosition, c.clampPosition, c.stepperValue));
    }
}

// The widgets' side of cancelling is checked in the window; here, when a run
// that analysed nothing counts as one.
TEST(WindowViewModel, TheRunThatFoundNoFfmpegWarns) {
    const struct { const char* name; State state; std::int64_t measured, withoutFfmpeg; bool warns; } cases[] = {
        {"every measured row lacked ffmpeg", State::finished, 3, 3, true},
        {"one file measured", State::finished, 3, 2, false},
        {"everything carried over", State::finished, 0, 0, false},
        {"still running", State::running, 3, 3, false},
    };
    for (const auto& c : cases) {
        const ViewModel v = view(c.state, {.measuredRows = c.measured, .rowsWithoutFfmpeg = c.withoutFfmpeg});
        EXPECT_EQ(v.completionWarns, c.warns && v.showCompletion) << c.name;
        EXPECT_EQ(v.showRunWarning ? v.runWarningText : "", c.warns ? "ffmpeg が見つからないため、ファイルを 1 件も解析できませんでした。" : "") << c.name;
    }
    EXPECT_EQ(view(State::idle, {.ffmpegPathUsable = false}).ffmpegPathWarningText,
              "このパスは実行可能なファイルではありません。");
}

TEST(WindowViewModel, ResultsCountAndWhatAPreviousFileLeftOut) {
    ResultsInputs shown{.hasRows = true, .shown = 3, .total = 46, .failedOnly = true, .selected = 2};
    const ViewModel v = view(State::idle, {.results = shown});
    EXPECT_TRUE(v.showResults && v.failedOnlyChecked && v.copyPathEnabled && !v.copyReasonEnabled);
    EXPECT_EQ(view(State::idle, {.results = {.loading = true}}).resultsCountText, "前回の結果を読み込み中…");
    EXPECT_FALSE(view(State::idle, {}).showResults);

    const struct { ResultFileReport report; const char* notice; } files[] = {
        {{.rows = 5}, "前回の結果（volume_gains.csv）を表示しています。"},
        {{.rows = 5, .shortRecords = 2, .invalidUtf8Records = 1, .cutShort = true},
         "前回の結果（volume_gains.csv）を表示しています。読み取れない行 3 件、途中で切れた最後の行を読み飛ばしました。"},
        {{.rows = 0, .shortRecords = 4, .foreignHeader = true},
         "volume_gains.csv は Quellmark の形式ではありません。読み取れた 0 件を表示しています。読み取れない行 4 件を読み飛ばしました。"},
        {{.rows = 500000, .limitReached = true},
         "前回の結果（volume_gains.csv）を表示しています。上限を超えた 500001 件目以降を読み飛ばしました。"},
        {{.unreadable = true}, "前回の結果（volume_gains.csv）を読み取れませんでした。"},
    };
    for (const auto& f : files) {
        const ViewModel p = view(State::idle, {.results = {.hasRows = true, .previousFile = f.report}});
        EXPECT_EQ(p.resultsNoticeText, f.notice);
        EXPECT_EQ(p.resultsNoticeRole, f.report.isComplete() ? ColorRole::secondary : ColorRole::orange) << f.notice;
        EXPECT_EQ(p.csvToReveal, Path("/m/volume_gains.csv"));
    }
}

}  // namespace
}  // namespace quellmark
