#include "ui/footer.h"

#include <QHBoxLayout>
#include <QLabel>

#include "ui/elided_label.h"
#include "ui/style.h"

namespace quellmark {

Footer::Footer(QWidget* parent) : QWidget(parent) {
    auto* row = new QHBoxLayout(this);
    row->setContentsMargins(0, 0, 0, 0);
    m_icon = new QLabel(this);
    m_status = new ElidedLabel(this);
    m_status->setObjectName(QStringLiteral("ffmpegStatus"));
    applyTextStyle(m_status, TextStyle::caption2);
    auto* notice = new QLabel(QStringLiteral("© 2026 Quellmark"), this);
    applyTextStyle(notice, TextStyle::caption2);
    applyColorRole(notice, ColorRole::secondary);
    row->addWidget(m_icon);
    row->addWidget(m_status, 1);
    row->addWidget(notice);
}

void Footer::apply(const ViewModel& view) {
    m_status->setFullText(QString::fromStdString(view.ffmpegStatusText));
    applyColorRole(m_status, view.ffmpegStatusRole);
    if (m_shownFound == view.ffmpegFound) return;
    m_shownFound = view.ffmpegFound;
    const int size = m_status->fontMetrics().height();
    m_icon->setPixmap(view.ffmpegFound ? tintedSymbol(this, "emblem-ok-symbolic", QStyle::SP_DialogApplyButton,
                                                      roleColor(this, ColorRole::secondary), size)
                                       : tintedSymbol(this, "dialog-warning-symbolic", QStyle::SP_MessageBoxWarning,
                                                      roleColor(this, ColorRole::red), size));
}

}  // namespace quellmark
