#pragma once

#include <QWidget>

#include "ui/view_model.h"

class QLabel;

namespace quellmark {

class ElidedLabel;

/// The footer row: the ffmpeg status line (symbol and one shortened line) and
/// the copyright notice.
class Footer final : public QWidget {
    Q_OBJECT
public:
    explicit Footer(QWidget* parent = nullptr);
    void apply(const ViewModel& view);

private:
    QLabel* m_icon;
    ElidedLabel* m_status;
    std::optional<bool> m_shownFound;
};

}  // namespace quellmark
