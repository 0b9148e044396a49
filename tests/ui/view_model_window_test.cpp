// The window's own inputs beside the engine: the run that found no ffmpeg,
// the path check, and the texts around the results view.
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
