#pragma once

#include <QMenuBar>

#include "ui/view_model.h"

class QAction;

namespace quellmark {

/// The window's menu bar and the actions it offers, each with its shortcut.
/// The window connects the actions; `apply` enables each from a view model,
/// all in one place. The results actions also serve the table's context menu.
class WindowMenu final : public QMenuBar {
    Q_OBJECT
public:
    explicit WindowMenu(QWidget* parent = nullptr);
    void apply(const ViewModel& view);
    /// Every action, for the window to make their shortcuts its own.
    QList<QAction*> allActions() const;

    QAction* chooseFolder;
    QAction* start;
    QAction* cancel;
    QAction* revealCsv;
    QAction* quit;
    QAction* revealFile;
    QAction* copyPath;
    QAction* copyReason;
    QAction* failedOnly;
    QAction* about;
};

/// The About box's text: the version and the licences of what the program
/// uses. Rich text.
QString aboutText();

}  // namespace quellmark
