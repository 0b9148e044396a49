#pragma once

#include <QWidget>

#include "ui/loudness_histogram.h"

namespace quellmark {

/// Draws a LoudnessHistogram: bars of 1 LU, the clamp's band shaded, the
/// target as a line, and the counts beyond the band and without a loudness.
/// It reads the histogram it is given at each paint; whoever changes the
/// histogram calls update().
class HistogramWidget final : public QWidget {
    Q_OBJECT
public:
    /// `histogram` must outlive this widget.
    HistogramWidget(const LoudnessHistogram& histogram, QWidget* parent = nullptr);
    QSize sizeHint() const override;
    QSize minimumSizeHint() const override;

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    const LoudnessHistogram& m_histogram;
};

}  // namespace quellmark
