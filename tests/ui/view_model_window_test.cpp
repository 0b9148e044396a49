// The window's own inputs beside the engine: cancelling, the run that found no
// ffmpeg, the path check, and the texts around the results view.
#include "ui/view_model.h"

#include <gtest/gtest.h>

namespace quellmark {
namespace {

using Path = std::filesystem::path;

ViewModel view(State state, const WindowInputs& inputs, const AppSettings& settings = {}) {
    EngineSnapshot engine;
    engine.state = state;
    engine.totalCount = engine.processedCount = 4;
    engine.outputURL = Path("/m/volume_gains.csv");
    return computeView(engine, settings, Path("/m"), Path("/usr/bin/ffmpeg"), 2, inputs);
}

TEST(WindowViewModel, CancellingAndTheRunThatFoundNoFfmpeg) {
    const struct {
        const char* name;
        State state;
        WindowInputs inputs;
        const char* button;
        bool buttonEnabled, busy, cancelAction, warns;
    } cases[] = {
        {"running", State::running, {}, "キャンセル", true, false, true, false},
        {"cancel pressed", State::running, {.cancelRequested = true}, "キャンセル中…", false, true, false, false},
        {"cancelled run ended", State::cancelled, {.cancelRequested = true}, "解析開始", true, false, false, false},
        {"every measured row lacked ffmpeg", State::finished, {.measuredRows = 3, .rowsWithoutFfmpeg = 3}, "解析開始",
         true, false, false, true},
        {"one file measured", State::finished, {.measuredRows = 3, .rowsWithoutFfmpeg = 2}, "解析開始", true, false,
         false, false},
        {"everything carried over", State::finished, {}, "解析開始", true, false, false, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const ViewModel v = view(c.state, c.inputs);
        EXPECT_EQ(v.runButtonText, c.button);
        EXPECT_EQ(v.runButtonEnabled, c.buttonEnabled);
        EXPECT_EQ(v.showCancelBusy, c.busy);
        EXPECT_EQ(v.cancelEnabled, c.cancelAction);
        EXPECT_EQ(v.startEnabled, c.state != State::running);
        EXPECT_EQ(v.completionWarns, c.warns);
        EXPECT_EQ(v.showRunWarning ? v.runWarningText : "", c.warns ? "ffmpeg が見つからないため、ファイルを 1 件も解析できませんでした。" : "");
        EXPECT_EQ(v.completionText, c.state == State::finished ? "完了: volume_gains.csv に保存しました" : "");
    }
    EXPECT_EQ(view(State::idle, {.ffmpegPathUsable = false}).ffmpegPathWarningText,
              "このパスは実行可能なファイルではありません。");
    EXPECT_FALSE(view(State::idle, {}).showFfmpegPathWarning);
}

TEST(WindowViewModel, ResultsCountAndWhatAPreviousFileLeftOut) {
    ResultsInputs shown{.hasRows = true, .shown = 3, .total = 46, .failedOnly = true, .selected = 2};
    const ViewModel v = view(State::idle, {.results = shown});
    EXPECT_TRUE(v.showResults && v.failedOnlyChecked && v.copyPathEnabled && !v.copyReasonEnabled);
    EXPECT_EQ(v.resultsCountText, "表示: 3 / 46 件");
    EXPECT_EQ(v.resultsNoticeText, "");
    EXPECT_EQ(view(State::idle, {.results = {.loading = true}}).resultsCountText, "前回の結果を読み込み中…");
    EXPECT_FALSE(view(State::idle, {}).showResults);

    const struct {
        ResultFileReport report;
        const char* notice;
    } files[] = {
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
