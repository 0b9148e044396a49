#include "ui/style.h"

#include <QApplication>
#include <QFontDatabase>
#include <QPainter>
#include <QPalette>
#include <QWidget>

namespace quellmark {

namespace {

double styleScale(TextStyle style) {
    switch (style) {
    case TextStyle::title2:
        return 1.5;
    case TextStyle::callout:
        return 0.95;
    case TextStyle::body:
        return 1.0;
    case TextStyle::caption:
        return 0.85;
    case TextStyle::caption2:
        return 0.8;
    }
    return 1.0;
}

QFont scaledFont(QFont font, TextStyle style) {
    const double scale = styleScale(style);
    if (font.pointSizeF() > 0)
        font.setPointSizeF(font.pointSizeF() * scale);
    else
        font.setPixelSize(std::max(1, int(font.pixelSize() * scale + 0.5)));
    if (style == TextStyle::title2) font.setBold(true);
    return font;
}

}  // namespace

void applyTextStyle(QWidget* widget, TextStyle style) { widget->setFont(scaledFont(QApplication::font(), style)); }

QColor accentColor(ColorRole role) {
    switch (role) {
    case ColorRole::red:
        return QColor(0xd7, 0x00, 0x15);
    case ColorRole::orange:
        return QColor(0xc9, 0x5f, 0x00);
    case ColorRole::green:
        return QColor(0x24, 0x8a, 0x3d);
    default:
        return QApplication::palette().color(QPalette::WindowText);
    }
}

QColor roleColor(const QWidget* widget, ColorRole role) {
    switch (role) {
    case ColorRole::primary:
        return QApplication::palette(widget).color(QPalette::WindowText);
    case ColorRole::secondary:
        return widget->palette().color(QPalette::PlaceholderText);
    default:
        return accentColor(role);
    }
}

void applyColorRole(QWidget* widget, ColorRole role) {
    const QColor color = roleColor(widget, role);
    QPalette palette = widget->palette();
    if (palette.color(QPalette::WindowText) == color && palette.color(QPalette::Text) == color) return;
    palette.setColor(QPalette::WindowText, color);
    palette.setColor(QPalette::Text, color);
    widget->setPalette(palette);
}

QIcon symbolIcon(const QWidget* widget, const char* name, QStyle::StandardPixmap fallback) {
    QIcon icon = QIcon::fromTheme(QString::fromLatin1(name));
    if (icon.isNull()) icon = widget->style()->standardIcon(fallback, nullptr, widget);
    return icon;
}

QPixmap tintedSymbol(const QWidget* widget, const char* name, QStyle::StandardPixmap fallback, const QColor& color,
                     int size) {
    QPixmap pixmap = symbolIcon(widget, name, fallback).pixmap(size, size);
    QPainter painter(&pixmap);
    painter.setCompositionMode(QPainter::CompositionMode_SourceIn);
    painter.fillRect(pixmap.rect(), color);
    return pixmap;
}

QFont monospacedDigitFont(TextStyle style) {
    QFont font = QFontDatabase::systemFont(QFontDatabase::FixedFont);
    font.setPointSizeF(QApplication::font().pointSizeF() > 0 ? QApplication::font().pointSizeF() : 10.0);
    return scaledFont(font, style);
}

void makeProminent(QWidget* button) {
    button->setStyleSheet(
        QStringLiteral("QPushButton { background-color: palette(highlight); color: palette(highlighted-text);"
                       " border: 1px solid palette(highlight); border-radius: 5px; padding: 4px 16px; }"
                       "QPushButton:pressed { background-color: palette(dark); }"
                       "QPushButton:disabled { background-color: palette(midlight); color: palette(mid);"
                       " border-color: palette(midlight); }"));
}

}  // namespace quellmark
