#include "ui/elided_label.h"

#include <QFontMetrics>
#include <QResizeEvent>

namespace quellmark {

ElidedLabel::ElidedLabel(QWidget* parent) : QLabel(parent) {
    setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Preferred);
    setTextFormat(Qt::PlainText);
    setWordWrap(false);
}

void ElidedLabel::setFullText(const QString& text) {
    if (text == m_fullText) return;
    m_fullText = text;
    setToolTip(text);
    updateDisplayedText();
    updateGeometry();
}

QString ElidedLabel::displayedText() const { return text(); }

QSize ElidedLabel::minimumSizeHint() const {
    const QFontMetrics metrics(font());
    return {metrics.horizontalAdvance(QStringLiteral("…")) * 4, metrics.height()};
}

QSize ElidedLabel::sizeHint() const {
    const QFontMetrics metrics(font());
    return {metrics.horizontalAdvance(m_fullText) + 2, metrics.height()};
}

void ElidedLabel::resizeEvent(QResizeEvent* event) {
    QLabel::resizeEvent(event);
    updateDisplayedText();
}

void ElidedLabel::changeEvent(QEvent* event) {
    QLabel::changeEvent(event);
    if (event->type() == QEvent::FontChange) updateDisplayedText();
}

void ElidedLabel::updateDisplayedText() {
    const QFontMetrics metrics(font());
    QLabel::setText(metrics.elidedText(m_fullText, Qt::ElideMiddle, contentsRect().width()));
}

}  // namespace quellmark
