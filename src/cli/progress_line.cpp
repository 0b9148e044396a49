#include "cli/progress_line.h"

#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <vector>

#include <utf8proc.h>

#include "engine/progress_text.h"
#include "base/text.h"

namespace quellmark {

namespace {

constexpr auto kRedrawInterval = std::chrono::milliseconds(100);
constexpr int kBarCells = 20;
constexpr int kDefaultColumns = 80;
constexpr std::string_view kScanning = "フォルダをスキャン中…";
constexpr std::string_view kCancelling = "キャンセル中…";
constexpr std::string_view kEllipsis = "...";
// Below this a shortened file name says too little to be worth showing.
constexpr int kMinNameColumns = 12;

struct Glyph {
    std::string bytes;
    int width = 0;
};

// Decodes after repairing: names on Linux are bytes and need not be UTF-8.
std::vector<Glyph> glyphs(std::string_view text) {
    const std::string valid = repairUtf8(text);
    std::vector<Glyph> result;
    const auto* bytes = reinterpret_cast<const utf8proc_uint8_t*>(valid.data());
    utf8proc_ssize_t offset = 0;
    const auto size = static_cast<utf8proc_ssize_t>(valid.size());
    while (offset < size) {
        utf8proc_int32_t codePoint = 0;
        const utf8proc_ssize_t length = utf8proc_iterate(bytes + offset, size - offset, &codePoint);
        if (length <= 0) break;
        if (utf8proc_category(codePoint) == UTF8PROC_CATEGORY_CC) {
            result.push_back({"?", 1});
        } else {
            result.push_back({valid.substr(static_cast<std::size_t>(offset), static_cast<std::size_t>(length)),
                              std::max(0, utf8proc_charwidth(codePoint))});
        }
        offset += length;
    }
    return result;
}

int terminalColumns() {
    winsize size{};
    if (ioctl(STDERR_FILENO, TIOCGWINSZ, &size) == 0 && size.ws_col > 0) return size.ws_col;
    return kDefaultColumns;
}

std::string progressBar(std::int64_t processed, std::int64_t total) {
    const std::int64_t denominator = std::max<std::int64_t>(total, 1);
    const auto filled = static_cast<int>(std::clamp<std::int64_t>(processed * kBarCells / denominator, 0, kBarCells));
    return "[" + std::string(static_cast<std::size_t>(filled), '#') +
           std::string(static_cast<std::size_t>(kBarCells - filled), '.') + "]";
}

std::string joined(std::initializer_list<std::string_view> parts) {
    std::string result;
    for (const std::string_view part : parts) {
        if (part.empty()) continue;
        if (!result.empty()) result += ' ';
        result += part;
    }
    return result;
}

void writeAll(std::string_view text) {
    while (!text.empty()) {
        const ssize_t written = ::write(STDERR_FILENO, text.data(), text.size());
        if (written < 0) {
            if (errno == EINTR) continue;
            return;  // a closed terminal is no reason to stop the run
        }
        text.remove_prefix(static_cast<std::size_t>(written));
    }
}

}  // namespace

int displayWidth(std::string_view text) {
    int width = 0;
    for (const Glyph& glyph : glyphs(text)) width += glyph.width;
    return width;
}

std::string printableText(std::string_view text) {
    std::string result;
    for (const Glyph& glyph : glyphs(text)) result += glyph.bytes;
    return result;
}

std::string fitToWidth(std::string_view text, int width) {
    const std::vector<Glyph> all = glyphs(text);
    int total = 0;
    for (const Glyph& glyph : all) total += glyph.width;
    std::string result;
    if (total <= width) {
        for (const Glyph& glyph : all) result += glyph.bytes;
        return result;
    }
    const int room = width - static_cast<int>(kEllipsis.size());
    if (room <= 0) return std::string(kEllipsis.substr(0, static_cast<std::size_t>(std::max(width, 0))));
    // The end of a file name (number, extension) tells files apart as much as
    // its start, so both halves stay.
    const int headRoom = (room + 1) / 2;
    int tailRoom = room - headRoom;
    std::size_t head = 0;
    int used = 0;
    while (head < all.size() && used + all[head].width <= headRoom) used += all[head++].width;
    tailRoom += headRoom - used;
    std::size_t tail = all.size();
    int tailUsed = 0;
    while (tail > head && tailUsed + all[tail - 1].width <= tailRoom) tailUsed += all[--tail].width;
    for (std::size_t i = 0; i < head; ++i) result += all[i].bytes;
    result += kEllipsis;
    for (std::size_t i = tail; i < all.size(); ++i) result += all[i].bytes;
    return result;
}

std::string progressLineText(const EngineSnapshot& snapshot, bool cancelling, int columns) {
    const int limit = std::max(columns - 1, 1);
    std::string bar;
    std::string counts;
    std::string remaining;
    std::string detail = cancelling ? std::string(kCancelling) : std::string();
    if (snapshot.totalCount == 0) {
        counts = kScanning;
    } else {
        bar = progressBar(snapshot.processedCount, snapshot.totalCount);
        counts = countsText(snapshot.processedCount, snapshot.totalCount);
        if (snapshot.errorCount > 0) counts += " " + errorCountText(snapshot.errorCount);
        if (snapshot.estimatedRemainingSeconds) remaining = "残り約 " + formatRemaining(*snapshot.estimatedRemainingSeconds);
        if (!cancelling) detail = snapshot.currentFileName;
    }
    // On a narrow terminal the bar and then the time left give way; the
    // counts and a cancellation under way stay as long as anything fits.
    for (const std::string& layout : {joined({bar, counts, remaining}), joined({counts, remaining}), counts}) {
        const int width = displayWidth(layout);
        if (width > limit) continue;
        if (detail.empty()) return layout;
        const int room = limit - width - 1;
        if (room >= displayWidth(detail) || (!cancelling && room >= kMinNameColumns)) {
            return layout + " " + fitToWidth(detail, room);
        }
        if (!cancelling) return layout;
    }
    return fitToWidth(cancelling ? detail : counts, limit);
}

ProgressDisplay::ProgressDisplay(bool enabled, Source source) : m_enabled(enabled), m_source(std::move(source)) {}

void ProgressDisplay::noteChange() {
    if (!m_enabled) return;
    if (std::chrono::steady_clock::now() - m_lastDraw >= kRedrawInterval) {
        draw();
    } else {
        m_stale = true;
    }
}

void ProgressDisplay::drawIfStale() {
    if (m_enabled && m_stale) draw();
}

void ProgressDisplay::setCancelling() {
    m_cancelling = true;
    if (m_enabled) draw();
}

void ProgressDisplay::clear() {
    if (!m_enabled || !m_drawn) return;
    writeAll("\r\x1b[K");
    m_drawn = false;
}

void ProgressDisplay::abandonLine() const {
    if (m_enabled) writeAll("\n");
}

void ProgressDisplay::draw() {
    const EngineSnapshot snapshot = m_source();
    // The final outcome is printed by the caller; a run that has ended leaves no line.
    if (snapshot.state != State::running) return;
    writeAll("\r\x1b[K" + progressLineText(snapshot, m_cancelling, terminalColumns()));
    m_drawn = true;
    m_stale = false;
    m_lastDraw = std::chrono::steady_clock::now();
}

}  // namespace quellmark
