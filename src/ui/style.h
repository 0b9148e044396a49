#pragma once
// The text styles, colours and symbols of the window, in one place so every
// part looks alike.

#include <QIcon>
#include <QStyle>

#include "ui/view_model.h"

class QWidget;

namespace quellmark {

enum class TextStyle { title2, callout, body, caption, caption2 };

/// Sets `widget`'s font to `style`, scaled from the application font.
void applyTextStyle(QWidget* widget, TextStyle style);
/// Sets the text colour of `widget` (and its children) to `role`.
void applyColorRole(QWidget* widget, ColorRole role);
/// The fixed colour of red, orange and green; the palette's text colour for the others.
QColor accentColor(ColorRole role);
/// The colour `role` stands for in `widget`'s palette.
QColor roleColor(const QWidget* widget, ColorRole role);
/// The theme icon `name`, or the style's `fallback` when the theme lacks it.
QIcon symbolIcon(const QWidget* widget, const char* name, QStyle::StandardPixmap fallback);
/// `symbolIcon` drawn at `size` pixels in one colour, as a symbol is tinted.
QPixmap tintedSymbol(const QWidget* widget, const char* name, QStyle::StandardPixmap fallback, const QColor& color,
                     int size);
/// A copy of the application font whose digits all have one width.
QFont monospacedDigitFont(TextStyle style);
/// The accent look of the run button.
void makeProminent(QWidget* button);

}  // namespace quellmark
