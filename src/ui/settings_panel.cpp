#include "ui/settings_panel.h"

#include <QCheckBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QSignalBlocker>
#include <QSlider>
#include <QSpinBox>
#include <QStyle>
#include <QStyleOptionSpinBox>
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

// The stepper shows only its two buttons: its label beside it already says the
// number, and "並列数: 自動 (2)" must be the one number on that line.
class ButtonsOnlyStepper final : public QSpinBox {
public:
    explicit ButtonsOnlyStepper(QWidget* parent) : QSpinBox(parent) {
        lineEdit()->setReadOnly(true);
        setFocusPolicy(Qt::TabFocus);
    }
    QSize sizeHint() const override {
        QStyleOptionSpinBox option;
        initStyleOption(&option);
        const QRect up = style()->subControlRect(QStyle::CC_SpinBox, &option, QStyle::SC_SpinBoxUp, this);
        return {up.width() + 2 * style()->pixelMetric(QStyle::PM_SpinBoxFrameWidth, &option, this) + 2,
                QSpinBox::sizeHint().height()};
    }
    QSize minimumSizeHint() const override { return sizeHint(); }

protected:
    QString textFromValue(int) const override { return {}; }
};

const QString kTargetTip = QStringLiteral("各ファイルの補正値は、そのラウドネスをこの値に揃えるように計算されます。");
const QString kClampTip = QStringLiteral("補正値はこの範囲（±dB）に収められ、極端な増幅や減衰は行われません。");
const QString kParallelTip =
    QStringLiteral("同時に解析するファイルの数で、自動では使えるCPUの数（最大 8）に合わせます。");
const QString kIncrementalTip =
    QStringLiteral("前回から変更のないファイルは解析し直さず、前回の結果をそのまま使います。");
const QString kPathTip = QStringLiteral("使う ffmpeg の実行ファイルで、空欄なら自動で探します。");

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
    m_target->setToolTip(kTargetTip);
    m_clamp->setToolTip(kClampTip);
    m_targetValue->setObjectName(QStringLiteral("targetValue"));
    m_clamp->setObjectName(QStringLiteral("clampSlider"));

    auto* stepperRow = new QHBoxLayout;
    m_stepperLabel = new QLabel(m_form);
    m_stepperLabel->setObjectName(QStringLiteral("stepperLabel"));
    m_stepper = new ButtonsOnlyStepper(m_form);
    m_stepper->setObjectName(QStringLiteral("stepper"));
    m_stepper->setRange(0, kStepperMax);
    m_stepperLabel->setToolTip(kParallelTip);
    m_stepper->setToolTip(kParallelTip);
    stepperRow->addWidget(m_stepperLabel);
    stepperRow->addWidget(m_stepper);
    stepperRow->addStretch(1);
    layout->addLayout(stepperRow);

    m_incremental = new QCheckBox(QStringLiteral("増分実行（変更なしファイルを再解析しない）"), m_form);
    m_incremental->setObjectName(QStringLiteral("incremental"));
    m_incremental->setToolTip(kIncrementalTip);
    layout->addWidget(m_incremental);
    buildPathRows(layout);

    connect(m_target, &QSlider::valueChanged, this, [this](int p) { emit targetEdited(sliderPositionValue(p)); });
    connect(m_clamp, &QSlider::valueChanged, this, [this](int p) { emit clampEdited(sliderPositionValue(p)); });
    connect(m_stepper, &QSpinBox::valueChanged, this, &SettingsPanel::stepperEdited);
    connect(m_incremental, &QCheckBox::toggled, this, &SettingsPanel::incrementalEdited);
    connect(m_ffmpegPath, &QLineEdit::textEdited, this, &SettingsPanel::ffmpegPathEdited);
    return m_form;
}

void SettingsPanel::buildPathRows(QVBoxLayout* layout) {
    auto* pathRow = new QHBoxLayout;
    pathRow->addWidget(new QLabel(QStringLiteral("ffmpegパス（任意）"), m_form));
    m_ffmpegPath = new QLineEdit(m_form);
    m_ffmpegPath->setObjectName(QStringLiteral("ffmpegPath"));
    m_ffmpegPath->setPlaceholderText(QStringLiteral("自動検出"));
    m_ffmpegPath->setToolTip(kPathTip);
    pathRow->addWidget(m_ffmpegPath, 1);
    m_ffmpegBrowse = new QPushButton(QStringLiteral("参照…"), m_form);
    m_ffmpegBrowse->setObjectName(QStringLiteral("ffmpegBrowse"));
    m_ffmpegBrowse->setToolTip(QStringLiteral("ffmpeg の実行ファイルを選びます。"));
    pathRow->addWidget(m_ffmpegBrowse);
    layout->addLayout(pathRow);
    m_ffmpegPathWarning = new QLabel(m_form);
    m_ffmpegPathWarning->setObjectName(QStringLiteral("ffmpegPathWarning"));
    applyTextStyle(m_ffmpegPathWarning, TextStyle::caption);
    applyColorRole(m_ffmpegPathWarning, ColorRole::red);
    m_ffmpegPathWarning->setVisible(false);
    layout->addWidget(m_ffmpegPathWarning);
    connect(m_ffmpegBrowse, &QPushButton::clicked, this, &SettingsPanel::ffmpegBrowseClicked);
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
    setLabelText(m_ffmpegPathWarning, view.ffmpegPathWarningText);
    m_ffmpegPathWarning->setVisible(view.showFfmpegPathWarning);
}

}  // namespace quellmark
