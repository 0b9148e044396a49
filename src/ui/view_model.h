#pragma once
// What the window shows, as plain data. Computing it is a pure function of the
// engine's published state, the settings copy, the chosen folder and the
// current ffmpeg look-up, so every text and flag of the window can be tested
// without a display.

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>

#include "engine/analysis_engine.h"
#include "output/analyze_result.h"
#include "settings/app_settings.h"

namespace quellmark {

/// Colours of the window's texts, mapped to palette colours by the widgets.
enum class ColorRole { primary, secondary, red, orange, green };

/// Slider ranges in half steps: a slider position p stands for p / 2.
inline constexpr int kTargetSliderMin = -60;
inline constexpr int kTargetSliderMax = -18;
inline constexpr int kClampSliderMin = 2;
inline constexpr int kClampSliderMax = 48;
inline constexpr int kStepperMax = 32;

struct ViewModel {
    // Folder row.
    std::string folderText;
    ColorRole folderRole = ColorRole::secondary;
    bool chooseFolderEnabled = true;

    // Status area: which rows are shown.
    bool showIdleHint = false;
    bool showScanning = false;
    bool showProgress = false;
    bool showCounts = false;
    bool showCurrentFile = false;
    bool showCompletion = false;
    bool showCancellation = false;

    std::int64_t progressValue = 0;
    /// Never below 1, so an empty run draws an empty bar.
    std::int64_t progressTotal = 1;
    std::string countsText;
    bool showErrorCount = false;
    std::string errorCountText;
    bool showRemaining = false;
    std::string remainingText;
    std::string currentFileText;
    std::string completionText;
    /// The file the reveal button shows; present exactly with the completion row.
    std::optional<std::filesystem::path> revealTarget;
    std::string cancellationText;
    /// The run ended without analysing a single file for want of ffmpeg: the
    /// completion row warns instead of showing success, and a line says why.
    bool completionWarns = false;
    bool showRunWarning = false;
    std::string runWarningText;

    std::string runButtonText;
    bool runButtonEnabled = false;
    /// True when the run button cancels instead of starting.
    bool runButtonCancels = false;
    /// Cancelling is under way: a busy indicator beside the waiting button.
    bool showCancelBusy = false;

    // Settings panel.
    bool formEnabled = true;
    int targetSliderPosition = 0;
    std::string targetText;
    int clampSliderPosition = 0;
    std::string clampText;
    int stepperValue = 0;
    std::string stepperText;
    bool incrementalChecked = true;
    std::string ffmpegPathText;
    bool showFfmpegPathWarning = false;
    std::string ffmpegPathWarningText;

    // Results view.
    bool showResults = false;
    std::string resultsCountText;
    /// One line about the rows read from a previous volume_gains.csv; empty for none.
    std::string resultsNoticeText;
    ColorRole resultsNoticeRole = ColorRole::secondary;
    bool failedOnlyChecked = false;

    // Menu actions, beside the buttons that do the same.
    bool startEnabled = false;
    bool cancelEnabled = false;
    /// The CSV the menu's reveal shows, when there is one.
    std::optional<std::filesystem::path> csvToReveal;
    bool revealRowEnabled = false;
    bool copyPathEnabled = false;
    bool copyReasonEnabled = false;
    bool failedOnlyEnabled = false;

    // Footer.
    bool ffmpegFound = false;
    std::string ffmpegStatusText;
    ColorRole ffmpegStatusRole = ColorRole::red;

    /// The message of the error alert, when one is to be shown.
    std::optional<std::string> alertMessage;
};

/// What the results view holds, for the texts and flags around it.
struct ResultsInputs {
    /// Rows of a run or of a previous volume_gains.csv are on show.
    bool hasRows = false;
    /// A previous volume_gains.csv is being read.
    bool loading = false;
    std::size_t shown = 0;
    std::size_t total = 0;
    bool failedOnly = false;
    std::size_t selected = 0;
    /// Some selected row has a reason to copy.
    bool selectionHasReason = false;
    /// Present while rows read from a previous volume_gains.csv are shown.
    std::optional<ResultFileReport> previousFile{};
};

/// The window's own state beside the engine, the settings and the folder.
struct WindowInputs {
    /// キャンセル was pressed and the run has not ended yet.
    bool cancelRequested = false;
    /// False when a configured ffmpeg path is not an executable file.
    bool ffmpegPathUsable = true;
    /// Rows the current run measured (not carried over), and those of them
    /// that failed because ffmpeg was not found.
    std::int64_t measuredRows = 0;
    std::int64_t rowsWithoutFfmpeg = 0;
    ResultsInputs results{};
};

/// Everything the window shows for these inputs. `ffmpegLocation` is the result
/// of the ffmpeg look-up done for this redraw; `automaticParallelism` the count
/// used when no parallelism is set. Pure; any thread.
ViewModel computeView(const EngineSnapshot& engine, const AppSettings& settings,
                      const std::optional<std::filesystem::path>& folder,
                      const std::optional<std::filesystem::path>& ffmpegLocation, std::int64_t automaticParallelism,
                      const WindowInputs& inputs = {});

/// The line about rows read from a previous volume_gains.csv: that they are
/// shown, and what of the file was skipped.
std::string previousFileNotice(const ResultFileReport& report);

/// `value` with exactly one decimal and a decimal point whatever the locale: -16 → "-16.0".
std::string formatOneDecimal(double value);

/// The settings value of a half-step slider position: -37 → -18.5.
double sliderPositionValue(int position);
/// The half-step slider position nearest to `value`, limited to [minPosition, maxPosition].
int sliderPosition(double value, int minPosition, int maxPosition);

/// The parallelism a stepper value stands for: 0 is automatic (absent).
std::optional<std::int64_t> parallelismFromStepper(int value);
/// The path setting a text field stands for: empty is absent, anything else exactly as typed.
std::optional<std::string> ffmpegPathFromText(const std::string& text);

}  // namespace quellmark
