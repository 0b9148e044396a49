#include "ui/histogram_widget.h"

#include <QPainter>
#include <algorithm>
#include <cmath>

#include "ui/style.h"

namespace quellmark {

namespace {

constexpr int kHeight = 120;
constexpr int kPad = 4;

QString qText(const std::string& text) { return QString::fromStdString(text); }

}  // namespace

HistogramWidget::HistogramWidget(const LoudnessHistogram& histogram, QWidget* parent)
    : QWidget(parent), m_histogram(histogram) {
    setObjectName(QStringLiteral("histogram"));
    applyTextStyle(this, TextStyle::caption);
    setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Fixed);
}

QSize HistogramWidget::sizeHint() const { return {400, kHeight}; }
QSize HistogramWidget::minimumSizeHint() const { return {200, kHeight}; }

void HistogramWidget::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing, false);
    const HistogramTexts texts = histogramTexts(m_histogram);
    const QColor text = roleColor(this, ColorRole::primary);
    const QColor dim = roleColor(this, ColorRole::secondary);
    const int line = fontMetrics().height();

    // Title and the counts outside the chart on the top line, the counts
    // beyond the band under the chart's two ends.
    const QRect top(kPad, 0, width() - 2 * kPad, line);
    painter.setPen(text);
    painter.drawText(top, Qt::AlignLeft | Qt::AlignVCenter, qText(texts.title));
    painter.setPen(dim);
    painter.drawText(top, Qt::AlignRight | Qt::AlignVCenter, qText(texts.without));
    const QRect chart(kPad, line + kPad, width() - 2 * kPad, height() - 3 * line - 2 * kPad);
    const QRect bottom(kPad, chart.bottom() + line + 2, width() - 2 * kPad, line);
    painter.setPen(m_histogram.quieterThanBand() > 0 ? accentColor(ColorRole::orange) : dim);
    painter.drawText(bottom, Qt::AlignLeft | Qt::AlignVCenter, QStringLiteral("◀ ") + qText(texts.quieter));
    painter.setPen(m_histogram.louderThanBand() > 0 ? accentColor(ColorRole::orange) : dim);
    painter.drawText(bottom, Qt::AlignRight | Qt::AlignVCenter, qText(texts.louder) + QStringLiteral(" ▶"));
    if (chart.width() <= 0 || chart.height() <= 0) return;

    const int first = m_histogram.firstShownBin(), last = m_histogram.lastShownBin();
    const double binWidth = double(chart.width()) / double(last - first + 1);
    auto xOf = [&](double lufs) { return chart.left() + (lufs - first) * binWidth; };

    // The band the clamp reaches: inside it every file gets its full correction.
    const double target = m_histogram.targetLUFS(), clamp = m_histogram.clampDB();
    QColor band = palette().color(QPalette::Highlight);
    band.setAlpha(40);
    painter.fillRect(QRectF(QPointF(xOf(target - clamp), chart.top()), QPointF(xOf(target + clamp), chart.bottom())),
                     band);

    const std::int64_t highest = std::max<std::int64_t>(1, m_histogram.highestCount(first, last));
    const QColor bar = palette().color(QPalette::Highlight);
    for (auto it = m_histogram.bins().lower_bound(first); it != m_histogram.bins().end() && it->first <= last; ++it) {
        const double h = double(chart.height()) * double(it->second) / double(highest);
        const QRectF rect(QPointF(xOf(it->first) + 1, chart.bottom() - h), QPointF(xOf(it->first + 1) - 1, chart.bottom()));
        const bool outside = it->first + 1 <= target - clamp || it->first >= target + clamp;
        painter.fillRect(rect, outside ? accentColor(ColorRole::orange) : bar);
    }

    painter.setPen(dim);
    painter.drawLine(chart.bottomLeft(), chart.bottomRight());
    // Axis labels every 6 LU, where they fit.
    for (int lufs = first; lufs <= last + 1; ++lufs) {
        if (lufs % 6 != 0) continue;
        const int x = int(std::lround(xOf(lufs)));
        painter.drawLine(x, chart.bottom(), x, chart.bottom() + 3);
        painter.drawText(QRect(x - 20, chart.bottom() + 2, 40, line), Qt::AlignHCenter | Qt::AlignTop,
                         QString::number(lufs));
    }
    QPen targetPen(accentColor(ColorRole::green), 2);
    painter.setPen(targetPen);
    const int tx = int(std::lround(xOf(target)));
    painter.drawLine(tx, chart.top(), tx, chart.bottom());
    painter.drawText(QRect(tx + 4, chart.top(), chart.right() - tx, line), Qt::AlignLeft | Qt::AlignTop,
                     qText(texts.target));
}

}  // namespace quellmark
