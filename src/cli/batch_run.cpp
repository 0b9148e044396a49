#include "cli/batch_run.h"

#include <unistd.h>

#include <condition_variable>
#include <cstdio>
#include <mutex>
#include <stop_token>
#include <string>
#include <thread>

#include "cli/console.h"
#include "cli/end_summary.h"
#include "cli/main_loop.h"
#include "cli/progress_line.h"
#include "cli/signal_watcher.h"
#include "engine/analysis_engine.h"
#include "engine/progress_text.h"
#include "media/process_runner.h"

namespace quellmark {

namespace {

constexpr auto kTickInterval = std::chrono::milliseconds(100);

// Hands a redraw of a stale progress line to the main thread now and then:
// the engine publishes nothing while a long file is being measured, and the
// last change before such a pause may have fallen inside the throttle.
class ProgressTicker {
public:
    ProgressTicker(MainLoop& loop, ProgressDisplay& display)
        : m_thread([&loop, &display, this](std::stop_token stop) {
              std::mutex mutex;
              std::unique_lock lock(mutex);
              while (!m_wake.wait_for(lock, stop, kTickInterval, [] { return false; }) && !stop.stop_requested()) {
                  if (!loop.runIfServing([&display] { display.drawIfStale(); })) return;
              }
          }) {}

private:
    std::condition_variable_any m_wake;
    std::jthread m_thread;
};

int printOutcome(const EngineSnapshot& outcome) {
    if (outcome.state == State::cancelled) {
        printLine(stderr, outcome.outputURL ? "キャンセルされました（ここまでの結果はCSVに保存済みです）。"
                                            : "キャンセルされました。");
        return kExitCancelled;
    }
    if (outcome.errorMessage) printLine(stderr, *outcome.errorMessage);
    // A failed run that still installed its own rows says so as well: the
    // window shows its completion row in that case too.
    if (outcome.outputURL) {
        printLine(stdout, "完了: " + outcome.outputURL->string() + " に保存しました");
        std::string counts = countsText(outcome.processedCount, outcome.totalCount);
        if (outcome.errorCount > 0) counts += " " + errorCountText(outcome.errorCount);
        printLine(stdout, counts);
    }
    return outcome.errorMessage || !outcome.outputURL ? kExitFailed : kExitFinished;
}

int reportOutcome(const EngineSnapshot& outcome, bool strict) {
    const int status = printOutcome(outcome);
    // Last, so that the list is what a person sees when the run ends; it
    // also follows a cancelled or failed run, whose rows failed all the same.
    const std::string failures = outcome.results ? failureSummaryText(*outcome.results) : std::string();
    std::fputs(failures.c_str(), stderr);
    std::fflush(stderr);
    return strict && status == kExitFinished && !failures.empty() ? kExitStrictErrors : status;
}

}  // namespace

int runCommandLineBatch(const CliCommand& command) {
    MainLoop loop;
    const std::shared_ptr<AnalysisEngine> engine = AnalysisEngine::create(loop.queue());
    ProgressDisplay display(!command.quiet && isatty(STDERR_FILENO) == 1, [&engine] { return engine->snapshot(); });
    engine->addObserver([&display] { display.noteChange(); });
    {
        SignalWatcher watcher(
            [&] {
                loop.runIfServing([&] {
                    engine->cancel();
                    display.setCancelling();
                });
            },
            [&display] {
                // The run's tools sit in process groups of their own, so the
                // terminal's Ctrl-C never reached them: end them first.
                display.abandonLine();
                killRunningProcessGroups();
                _exit(kExitCancelled);
            });
        std::optional<ProgressTicker> ticker;
        if (display.isEnabled()) ticker.emplace(loop, display);
        engine->start(command.folder, command.settings);
        loop.serveUntil([&engine] { return engine->snapshot().state != State::running; });
    }
    display.clear();
    return reportOutcome(engine->snapshot(), command.strict);
}

}  // namespace quellmark
