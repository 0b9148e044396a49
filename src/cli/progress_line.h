#pragma once
// The one-line progress display of the command line, drawn in place on a
// terminal's standard error.

#include <chrono>
#include <functional>
#include <string>
#include <string_view>

#include "engine/analysis_engine.h"

namespace quellmark {

/// Columns that `text` (UTF-8) takes on a terminal: wide East Asian characters
/// count two, combining marks none.
int displayWidth(std::string_view text);

/// `text` shortened to at most `width` columns by cutting its middle out and
/// putting "..." there; unchanged when it fits. Control characters become "?",
/// so a file name can never move the cursor or send escape sequences.
std::string fitToWidth(std::string_view text, int width);

/// `text` with invalid UTF-8 repaired and every control character shown as
/// "?": safe to print on a terminal whatever a file name or a tool's words hold.
std::string printableText(std::string_view text);

/// The progress line for `snapshot`, at most `columns` − 1 columns wide (the
/// last column is left free: writing into it wraps on some terminals and the
/// next "\r" then redraws only the second row). Without control sequences.
std::string progressLineText(const EngineSnapshot& snapshot, bool cancelling, int columns);

/// Redraws the progress line on standard error, at most every 100 ms. All
/// members are for the main thread except `abandonLine`.
class ProgressDisplay {
public:
    using Source = std::function<EngineSnapshot()>;

    /// A disabled display writes nothing at all.
    ProgressDisplay(bool enabled, Source source);

    bool isEnabled() const { return m_enabled; }
    /// A published change: draws now, or marks the line stale when the last
    /// draw was too recent (an incremental rerun publishes thousands a second).
    void noteChange();
    /// Draws a stale line; called by a ticker so the last change is never lost.
    void drawIfStale();
    /// Shows that a cancellation is under way.
    void setCancelling();
    /// Erases the line, leaving the cursor at its start.
    void clear();
    /// From any thread, when the process ends at once: moves to a fresh line.
    void abandonLine() const;

private:
    void draw();

    const bool m_enabled;
    Source m_source;
    bool m_stale = false;
    bool m_cancelling = false;
    bool m_drawn = false;
    std::chrono::steady_clock::time_point m_lastDraw{};
};

}  // namespace quellmark
