#pragma once

#include <QLabel>

namespace quellmark {

/// A one-line label that shortens its text in the middle ("/home/…/Musik")
/// to the width it is given, so a long path never widens the window.
class ElidedLabel final : public QLabel {
    Q_OBJECT
public:
    explicit ElidedLabel(QWidget* parent = nullptr);
    /// The whole text; what is drawn is this text shortened to the width.
    void setFullText(const QString& text);
    const QString& fullText() const { return m_fullText; }
    /// The text as drawn at the current width.
    QString displayedText() const;

    QSize minimumSizeHint() const override;
    QSize sizeHint() const override;

protected:
    void resizeEvent(QResizeEvent* event) override;
    void changeEvent(QEvent* event) override;

private:
    void updateDisplayedText();
    QString m_fullText;
};

}  // namespace quellmark
