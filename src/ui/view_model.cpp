#include "ui/view_model.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <vector>

#include "engine/progress_text.h"
#include "base/text.h"

namespace quellmark {

namespace {

std::string pathText(const std::filesystem::path& path) { return repairUtf8(path.native()); }

void applyFolderRow(ViewModel& view, const EngineSnapshot& engine, const std::optional<std::filesystem::path>& folder) {
    view.folderText = folder ? pathText(*folder) : "フォルダが選択されていません";
    view.folderRole = folder ? ColorRole::primary : ColorRole::secondary;
    view.chooseFolderEnabled = engine.state != State::running;
}

void applyProgress(ViewModel& view, const EngineSnapshot& engine) {
    view.showProgress = true;
    view.showCounts = true;
    view.progressValue = engine.processedCount;
    view.progressTotal = std::max<std::int64_t>(engine.totalCount, 1);
    view.countsText = countsText(engine.processedCount, engine.totalCount);
    view.showErrorCount = engine.errorCount >= 1;
    if (view.showErrorCount) view.errorCountText = errorCountText(engine.errorCount);
}

void applyStatusArea(ViewModel& view, const EngineSnapshot& engine,
                     const std::optional<std::filesystem::path>& folder) {
    switch (engine.state) {
    case State::idle:
        view.showIdleHint = true;
        break;
    case State::running:
        if (engine.totalCount == 0) {
            view.showScanning = true;
            break;
        }
        applyProgress(view, engine);
        view.showCurrentFile = true;
        view.currentFileText = repairUtf8(engine.currentFileName);
        if (engine.estimatedRemainingSeconds) {
            view.showRemaining = true;
            view.remainingText = "残り約 " + formatRemaining(*engine.estimatedRemainingSeconds);
        }
        break;
    case State::finished:
        applyProgress(view, engine);
        if (engine.outputURL) {
            view.showCompletion = true;
            view.completionText = "完了: " + pathText(engine.outputURL->filename()) + " に保存しました";
            view.revealTarget = engine.outputURL;
        }
        break;
    case State::cancelled:
        applyProgress(view, engine);
        view.showCancellation = true;
        view.cancellationText =
            engine.outputURL ? "キャンセルされました（ここまでの結果はCSVに保存済みです）。" : "キャンセルされました。";
        break;
    }
    view.runButtonCancels = engine.state == State::running;
    view.runButtonText = view.runButtonCancels ? "キャンセル" : "解析開始";
    view.runButtonEnabled = view.runButtonCancels || folder.has_value();
}

// The file tasks finish what they run before a cancelled run ends, which can
// take minutes; until then the button says the request was heard.
void applyRunOutcome(ViewModel& view, const EngineSnapshot& engine, const WindowInputs& inputs) {
    if (engine.state == State::running && inputs.cancelRequested) {
        view.runButtonText = "キャンセル中…";
        view.runButtonEnabled = false;
        view.showCancelBusy = true;
    }
    // Every row is still written, but a run that analysed nothing is no success.
    if (engine.state == State::finished && inputs.measuredRows > 0 && inputs.rowsWithoutFfmpeg == inputs.measuredRows) {
        view.completionWarns = true;
        view.showRunWarning = true;
        view.runWarningText = "ffmpeg が見つからないため、ファイルを 1 件も解析できませんでした。";
    }
}

void applyResults(ViewModel& view, const std::optional<std::filesystem::path>& folder, const ResultsInputs& results) {
    view.showResults = results.hasRows || results.loading;
    view.resultsCountText = results.loading ? "前回の結果を読み込み中…"
                                            : "表示: " + std::to_string(results.shown) + " / " +
                                                  std::to_string(results.total) + " 件";
    if (results.previousFile && !results.loading) {
        view.resultsNoticeText = previousFileNotice(*results.previousFile);
        view.resultsNoticeRole = results.previousFile->isComplete() ? ColorRole::secondary : ColorRole::orange;
    }
    view.failedOnlyChecked = results.failedOnly;
    view.failedOnlyEnabled = results.hasRows;
    view.revealRowEnabled = view.copyPathEnabled = results.selected >= 1;
    view.copyReasonEnabled = results.selectionHasReason;
    if (view.revealTarget)
        view.csvToReveal = view.revealTarget;
    else if (results.previousFile && folder)
        view.csvToReveal = *folder / "volume_gains.csv";
}

void applySettingsPanel(ViewModel& view, const EngineSnapshot& engine, const AppSettings& settings,
                        std::int64_t automaticParallelism) {
    view.formEnabled = engine.state != State::running;
    view.targetSliderPosition = sliderPosition(settings.targetLUFS, kTargetSliderMin, kTargetSliderMax);
    view.targetText = formatOneDecimal(settings.targetLUFS);
    view.clampSliderPosition = sliderPosition(settings.clampDB, kClampSliderMin, kClampSliderMax);
    view.clampText = formatOneDecimal(settings.clampDB);
    // Zero and negative counts mean automatic to the engine, so the label says so
    // rather than showing a count that no run would use.
    const bool hasCount = settings.parallelism && *settings.parallelism >= 1;
    view.stepperValue = hasCount ? static_cast<int>(std::min<std::int64_t>(*settings.parallelism, kStepperMax)) : 0;
    view.stepperText = hasCount ? "並列数: " + std::to_string(*settings.parallelism)
                                : "並列数: 自動 (" + std::to_string(automaticParallelism) + ")";
    view.incrementalChecked = settings.incremental;
    view.ffmpegPathText = settings.ffmpegPath.value_or("");
}

void applyActions(ViewModel& view, const EngineSnapshot& engine, const std::optional<std::filesystem::path>& folder,
                  const WindowInputs& inputs) {
    const bool running = engine.state == State::running;
    view.startEnabled = !running && folder.has_value();
    view.cancelEnabled = running && !inputs.cancelRequested;
    view.showFfmpegPathWarning = !inputs.ffmpegPathUsable;
    if (view.showFfmpegPathWarning) view.ffmpegPathWarningText = "このパスは実行可能なファイルではありません。";
}

}  // namespace

ViewModel computeView(const EngineSnapshot& engine, const AppSettings& settings,
                      const std::optional<std::filesystem::path>& folder,
                      const std::optional<std::filesystem::path>& ffmpegLocation, std::int64_t automaticParallelism,
                      const WindowInputs& inputs) {
    ViewModel view;
    applyFolderRow(view, engine, folder);
    applyStatusArea(view, engine, folder);
    applyRunOutcome(view, engine, inputs);
    applySettingsPanel(view, engine, settings, automaticParallelism);
    applyActions(view, engine, folder, inputs);
    applyResults(view, folder, inputs.results);
    view.ffmpegFound = ffmpegLocation.has_value();
    view.ffmpegStatusText = ffmpegLocation ? "ffmpeg: " + pathText(*ffmpegLocation)
                                           : "ffmpeg が見つかりません。詳細設定でパスを指定してください。";
    view.ffmpegStatusRole = ffmpegLocation ? ColorRole::secondary : ColorRole::red;
    view.alertMessage = engine.errorMessage;
    return view;
}

std::string previousFileNotice(const ResultFileReport& report) {
    if (report.unreadable && report.rows == 0) return "前回の結果（volume_gains.csv）を読み取れませんでした。";
    std::string text = report.foreignHeader ? "volume_gains.csv は Quellmark の形式ではありません。読み取れた " +
                                                  std::to_string(report.rows) + " 件を表示しています。"
                                            : "前回の結果（volume_gains.csv）を表示しています。";
    std::vector<std::string> skipped;
    if (const std::size_t bad = report.shortRecords + report.invalidUtf8Records; bad > 0)
        skipped.push_back("読み取れない行 " + std::to_string(bad) + " 件");
    if (report.cutShort) skipped.push_back("途中で切れた最後の行");
    if (report.limitReached) skipped.push_back("上限を超えた " + std::to_string(report.rows + 1) + " 件目以降");
    if (report.unreadable) skipped.push_back("読み取りエラー以降の部分");
    for (std::size_t i = 0; i < skipped.size(); ++i) text += (i == 0 ? "" : "、") + skipped[i];
    if (!skipped.empty()) text += "を読み飛ばしました。";
    return text;
}

std::string formatOneDecimal(double value) {
    char buffer[400];  // room for the largest double in fixed notation
    const auto result = std::to_chars(buffer, buffer + sizeof buffer, value, std::chars_format::fixed, 1);
    if (result.ec != std::errc{}) return "?";
    return std::string(buffer, result.ptr);
}

double sliderPositionValue(int position) { return position / 2.0; }

int sliderPosition(double value, int minPosition, int maxPosition) {
    if (std::isnan(value)) return minPosition;
    const double doubled = std::clamp(std::round(value * 2.0), double(minPosition), double(maxPosition));
    return static_cast<int>(doubled);
}

std::optional<std::int64_t> parallelismFromStepper(int value) {
    if (value == 0) return std::nullopt;
    return value;
}

std::optional<std::string> ffmpegPathFromText(const std::string& text) {
    if (text.empty()) return std::nullopt;
    return text;
}

}  // namespace quellmark
