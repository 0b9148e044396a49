#pragma once

#include <QWidget>

#include "ui/view_model.h"

class QCheckBox;
class QLabel;
class QLineEdit;
class QPushButton;
class QSlider;
class QSpinBox;
class QToolButton;
class QVBoxLayout;

namespace quellmark {

/// The collapsible "詳細設定" section. `apply` sets every control from a view
/// model with its signals blocked, so a control that snaps a stored value to
/// its range or step never writes the altered value back; only the user's own
/// edits emit the signals below. Collapsed when created; expanding stays
/// possible while the form is disabled.
class SettingsPanel final : public QWidget {
    Q_OBJECT
public:
    explicit SettingsPanel(QWidget* parent = nullptr);
    void apply(const ViewModel& view);
    bool isExpanded() const;
    void setExpanded(bool expanded);

signals:
    void targetEdited(double lufs);
    void clampEdited(double db);
    void stepperEdited(int value);
    void incrementalEdited(bool on);
    void ffmpegPathEdited(const QString& text);
    /// The button beside the path field: the person wants to pick the executable.
    void ffmpegBrowseClicked();

private:
    QWidget* buildForm();
    QWidget* buildSliderRow(const QString& title, QSlider*& slider, QLabel*& valueLabel, int minimum, int maximum);
    void buildPathRows(QVBoxLayout* layout);

    QToolButton* m_toggle;
    QWidget* m_form;
    QSlider* m_target;
    QLabel* m_targetValue;
    QSlider* m_clamp;
    QLabel* m_clampValue;
    QLabel* m_stepperLabel;
    QSpinBox* m_stepper;
    QCheckBox* m_incremental;
    QLineEdit* m_ffmpegPath;
    QPushButton* m_ffmpegBrowse;
    QLabel* m_ffmpegPathWarning;
};

}  // namespace quellmark
