#include "ui/settings_panel.h"

#include <QCheckBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QSignalBlocker>
#include <QSlider>
#include <QSpinBox>
#include <QToolButton>
#include <QVBoxLayout>

#include "ui/style.h"

namespace quellmark {

namespace {

QString qText(const std::string& text) { return QString::fromStdString(text); }

void setLabelText(QLabel* label, const std::string& text) {
    const QString value = qText(text);
    if (label->text() != value) label->setText(value);
}

}  // namespace

SettingsPanel::SettingsPanel(QWidget* parent) : QWidget(parent) {
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(0);
    m_toggle = new QToolButton(this);
    m_toggle->setObjectName(QStringLiteral("settingsToggle"));
    m_toggle->setText(QStringLiteral("詳細設定"));
    m_toggle->setToolButtonStyle(Qt::ToolButtonTextBesideIcon);
    m_toggle->setArrowType(Qt::RightArrow);
    m_toggle->setCheckable(true);
    m_toggle->setAutoRaise(true);
    layout->addWidget(m_toggle, 0, Qt::AlignLeft);
    layout->addWidget(buildForm());
    m_form->setVisible(false);
    connect(m_toggle, &QToolButton::toggled, this, &SettingsPanel::setExpanded);
}

QWidget* SettingsPanel::buildSliderRow(const QString& title, QSlider*& slider, QLabel*& valueLabel, int minimum,
                                       int maximum) {
    auto* row = new QWidget(m_form);
    auto* layout = new QHBoxLayout(row);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->addWidget(new QLabel(title, row));
    slider = new QSlider(Qt::Horizontal, row);
    slider->setRange(minimum, maximum);
    slider->setSingleStep(1);
    slider->setPageStep(2);
    layout->addWidget(slider, 1);
    valueLabel = new QLabel(row);
    valueLabel->setFont(monospacedDigitFont(TextStyle::body));
    valueLabel->setFixedWidth(50);
    valueLabel->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
    layout->addWidget(valueLabel);
    return row;
}

QWidget* SettingsPanel::buildForm() {
    m_form = new QWidget(this);
    m_form->setObjectName(QStringLiteral("settingsForm"));
    auto* layout = new QVBoxLayout(m_form);
    layout->setContentsMargins(0, 4, 0, 0);
    layout->addWidget(
        buildSliderRow(QStringLiteral("ターゲットLUFS"), m_target, m_targetValue, kTargetSliderMin, kTargetSliderMax));
    layout->addWidget(
        buildSliderRow(QStringLiteral("クランプ範囲 (±dB)"), m_clamp, m_clampValue, kClampSliderMin, kClampSliderMax));
    m_target->setObjectName(QStringLiteral("targetSlider"));
    m_targetValue->setObjectName(QStringLiteral("targetValue"));
    m_clamp->setObjectName(QStringLiteral("clampSlider"));

    auto* stepperRow = new QHBoxLayout;
    m_stepperLabel = new QLabel(m_form);
    m_stepperLabel->setObjectName(QStringLiteral("stepperLabel"));
    m_stepper = new QSpinBox(m_form);
    m_stepper->setObjectName(QStringLiteral("stepper"));
    m_stepper->setRange(0, kStepperMax);
    stepperRow->addWidget(m_stepperLabel);
    stepperRow->addWidget(m_stepper);
    stepperRow->addStretch(1);
    layout->addLayout(stepperRow);

    m_incremental = new QCheckBox(QStringLiteral("増分実行（変更なしファイルを再解析しない）"), m_form);
    m_incremental->setObjectName(QStringLiteral("incremental"));
    layout->addWidget(m_incremental);

    auto* pathRow = new QHBoxLayout;
    pathRow->addWidget(new QLabel(QStringLiteral("ffmpegパス（任意）"), m_form));
    m_ffmpegPath = new QLineEdit(m_form);
    m_ffmpegPath->setObjectName(QStringLiteral("ffmpegPath"));
    m_ffmpegPath->setPlaceholderText(QStringLiteral("自動検出"));
    pathRow->addWidget(m_ffmpegPath, 1);
    layout->addLayout(pathRow);

    connect(m_target, &QSlider::valueChanged, this, [this](int p) { emit targetEdited(sliderPositionValue(p)); });
    connect(m_clamp, &QSlider::valueChanged, this, [this](int p) { emit clampEdited(sliderPositionValue(p)); });
    connect(m_stepper, &QSpinBox::valueChanged, this, &SettingsPanel::stepperEdited);
    connect(m_incremental, &QCheckBox::toggled, this, &SettingsPanel::incrementalEdited);
    connect(m_ffmpegPath, &QLineEdit::textEdited, this, &SettingsPanel::ffmpegPathEdited);
    return m_form;
}

bool SettingsPanel::isExpanded() const { return m_toggle->isChecked(); }

void SettingsPanel::setExpanded(bool expanded) {
    const QSignalBlocker blocker(m_toggle);
    m_toggle->setChecked(expanded);
    m_toggle->setArrowType(expanded ? Qt::DownArrow : Qt::RightArrow);
    m_form->setVisible(expanded);
}

void SettingsPanel::apply(const ViewModel& view) {
    m_form->setEnabled(view.formEnabled);
    {
        const QSignalBlocker blocker(m_target);
        m_target->setValue(view.targetSliderPosition);
    }
    {
        const QSignalBlocker blocker(m_clamp);
        m_clamp->setValue(view.clampSliderPosition);
    }
    {
        const QSignalBlocker blocker(m_stepper);
        m_stepper->setValue(view.stepperValue);
    }
    {
        const QSignalBlocker blocker(m_incremental);
        m_incremental->setChecked(view.incrementalChecked);
    }
    // Only a changed text is set: setting the field's own text again would
    // move the cursor to the end while the user types in the middle.
    const QString path = qText(view.ffmpegPathText);
    if (m_ffmpegPath->text() != path) {
        const QSignalBlocker blocker(m_ffmpegPath);
        m_ffmpegPath->setText(path);
    }
    setLabelText(m_targetValue, view.targetText);
    setLabelText(m_clampValue, view.clampText);
    setLabelText(m_stepperLabel, view.stepperText);
}

}  // namespace quellmark
