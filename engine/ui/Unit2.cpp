// The tuning dialog.

#include "Unit2.h"

#include <QCoreApplication>
#include <QCheckBox>
#include <QCloseEvent>
#include <QColor>
#include <QComboBox>
#include <QCursor>
#include <QFont>
#include <QFrame>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QPalette>
#include <QSlider>
#include <QString>
#include <QStringList>
#include <QTimer>
#include <algorithm>
#include <cstddef>

#include "Fonts.h"

namespace merolune {

namespace {

// A text of the dialog in the interface's language.
QString Text(const char* japanese) { return QCoreApplication::translate("TTuneDlg", japanese); }

// The dialog's client area; every control sits at a fixed position inside it.
constexpr int kClientWidth = 322;
// The quality mode's row below the key change makes the dialog 26 pixels taller than it was.
constexpr int kClientHeight = 276;

// Two ticks of the bubble timer: the first clears the recent-change flag, the second hides the
// bubble, so it goes 500 to 1000 ms after the last key change.
constexpr int kBubbleTickMs = 500;

// Where the bubble goes relative to the pointer and the key track bar.
constexpr int kBubbleLeftOfPointer = 20;
constexpr int kBubbleAboveTrackBar = 10;

QLabel* MakeLabel(const QString& text, QWidget* parent, const QRect& geometry,
                  Qt::Alignment alignment = Qt::AlignLeft | Qt::AlignVCenter) {
  auto* label = new QLabel(text, parent);
  label->setGeometry(geometry);
  label->setAlignment(alignment);
  return label;
}

QSlider* MakeTrackBar(QWidget* parent, int minimum, int maximum, int tickInterval, int value,
                      const QRect& geometry) {
  auto* bar = new QSlider(Qt::Horizontal, parent);
  bar->setRange(minimum, maximum);
  bar->setTickInterval(tickInterval);
  bar->setTickPosition(QSlider::TicksBelow);
  bar->setSingleStep(1);
  // Page Up/Down and clicks beside the handle jump from tick to tick.
  bar->setPageStep(tickInterval);
  bar->setValue(value);
  bar->setGeometry(geometry);
  return bar;
}

// Clears the suppress flag when ComboBox2Change leaves, whether normally or by an exception.
class SuppressScope {
 public:
  explicit SuppressScope(bool& flag) : flag_(flag) { flag_ = true; }
  ~SuppressScope() { flag_ = false; }
  SuppressScope(const SuppressScope&) = delete;
  SuppressScope& operator=(const SuppressScope&) = delete;

 private:
  bool& flag_;
};

}  // namespace

TTuneDlg::TTuneDlg(QWidget* parent) : QDialog(parent) {
  setWindowTitle(Text("カラオケ化調整"));
  setWindowFlags(Qt::Tool | Qt::WindowTitleHint | Qt::WindowCloseButtonHint);
  setModal(false);
  setFont(UiFont(UiFace::JapaneseUi, 12));
  setFixedSize(kClientWidth, kClientHeight);

  GroupBox1 = new QGroupBox(Text("カラオケ化調整"), this);
  GroupBox1->setGeometry(6, 2, 310, 250);

  // Columns inside the group box: labels on the left, controls from kControlX to kRightEdge.
  constexpr int kLabelX = 10;
  constexpr int kLabelWidth = 80;
  constexpr int kControlX = 92;
  constexpr int kRightEdge = 300;
  constexpr int kBarWidth = kRightEdge - kControlX;
  constexpr int kBarHeight = 26;
  constexpr int kRowHeight = 20;
  // A label beside a track bar is centred on the bar's groove, which runs along its upper part
  // because the ticks take the lower part.
  constexpr int kLabelHeight = 18;
  // Rows, top to bottom.
  constexpr int kHintY = 21;
  constexpr int kAY = 35;
  constexpr int kPY = 63;
  constexpr int kSyntheticY = 91;
  constexpr int kPrecisionY = 114;
  constexpr int kRangeY = 140;
  constexpr int kBoxesY = 166;
  constexpr int kKeyY = 192;
  constexpr int kQualityY = 220;

  // A and P: the strength hints stand above the two bars, at their ends.
  Label3 = MakeLabel(Text("< ゆるい"), GroupBox1, QRect(kControlX, kHintY, 80, 14));
  Label4 = MakeLabel(Text("つよい >"), GroupBox1, QRect(kRightEdge - 80, kHintY, 80, 14),
                     Qt::AlignRight | Qt::AlignVCenter);

  Label1 =
      MakeLabel(Text("Aパラメータ :"), GroupBox1, QRect(kLabelX, kAY, kLabelWidth, kLabelHeight));
  TrackBar1 = MakeTrackBar(GroupBox1, 0, kAPositionMax, 25, TuningControls{}.APosition,
                           QRect(kControlX, kAY, kBarWidth, kBarHeight));

  Label2 =
      MakeLabel(Text("Pパラメータ :"), GroupBox1, QRect(kLabelX, kPY, kLabelWidth, kLabelHeight));
  TrackBar2 = MakeTrackBar(GroupBox1, 0, kPPositionMax, 30, TuningControls{}.PPosition,
                           QRect(kControlX, kPY, kBarWidth, kBarHeight));

  CheckBox1 = new QCheckBox(Text("シンセティック"), GroupBox1);
  CheckBox1->setGeometry(kControlX, kSyntheticY, 120, kRowHeight);
  CheckBox1->setChecked(TuningControls{}.Synthetic);

  // Precision and speed.
  Label5 = MakeLabel(Text("精度と速度 :"), GroupBox1, QRect(kLabelX, kPrecisionY, kLabelWidth, 22));
  ComboBox1 = new QComboBox(GroupBox1);
  for (const char* item : kPrecisionItems) ComboBox1->addItem(QString::fromUtf8(item));
  ComboBox1->setCurrentIndex(TuningControls{}.PrecisionIndex);
  ComboBox1->setGeometry(kControlX, kPrecisionY, 150, 22);
  connect(ComboBox1, &QComboBox::currentIndexChanged, this, &TTuneDlg::ComboBox1Change);

  // Processing range: the preset list and the two boxes it fills.
  Label6 = MakeLabel(Text("処理範囲 :"), GroupBox1, QRect(kLabelX, kRangeY, kLabelWidth, 22));
  ComboBox2 = new QComboBox(GroupBox1);
  for (const RangePreset& preset : kRangePresets) ComboBox2->addItem(Text(preset.Item));
  ComboBox2->setCurrentIndex(TuningControls{}.RangeIndex);
  ComboBox2->setGeometry(kControlX, kRangeY, kBarWidth, 22);

  Edit3 = new QLineEdit(GroupBox1);
  Edit3->setGeometry(kControlX, kBoxesY, 60, kRowHeight);
  Label7 = MakeLabel(QStringLiteral("Hz~"), GroupBox1, QRect(kControlX + 63, kBoxesY, 24, kRowHeight));
  Edit4 = new QLineEdit(GroupBox1);
  Edit4->setGeometry(kControlX + 90, kBoxesY, 60, kRowHeight);
  Label8 = MakeLabel(QStringLiteral("Hz"), GroupBox1, QRect(kControlX + 153, kBoxesY, 24, kRowHeight));

  // textChanged reports programmatic changes as well as typing; the suppress flag tells the two
  // apart, so a preset filling the boxes does not turn the range into a custom one.
  connect(Edit3, &QLineEdit::textChanged, this, [this] { Edit3Change(); });
  connect(Edit4, &QLineEdit::textChanged, this, [this] { Edit3Change(); });
  connect(ComboBox2, &QComboBox::currentIndexChanged, this, [this] { ComboBox2Change(); });

  // Key change.
  Label9 =
      MakeLabel(Text("キーチェンジ:"), GroupBox1, QRect(kLabelX, kKeyY, kLabelWidth, kLabelHeight));
  TrackBar4 = MakeTrackBar(GroupBox1, kKeyMin, kKeyMax, 1, TuningControls{}.KeyPosition,
                           QRect(kControlX, kKeyY, 150, kBarHeight));
  connect(TrackBar4, &QSlider::valueChanged, this, [this] { TrackBar4Change(); });

  // The quality mode and its handling of a reverberant voice. The mode has no plain/weighted choice,
  // which is greyed out while it is on.
  Label10 = MakeLabel(Text("高音質 :"), GroupBox1, QRect(kLabelX, kQualityY, kLabelWidth, 22));
  CheckBox2 = new QCheckBox(Text("使う"), GroupBox1);
  CheckBox2->setGeometry(kControlX, kQualityY, 56, 22);
  Label11 = MakeLabel(Text("残響 :"), GroupBox1, QRect(kControlX + 60, kQualityY, 46, 22));
  ComboBox3 = new QComboBox(GroupBox1);
  for (const char* item : {"自動", "なし", "あり"}) ComboBox3->addItem(Text(item));
  ComboBox3->setGeometry(kControlX + 108, kQualityY, kRightEdge - kControlX - 108, 22);
  connect(CheckBox2, &QCheckBox::toggled, this, [this] { CheckBox2Change(); });

  // The notice below the group box, shown only while a job runs.
  StaticText1 = MakeLabel(Text("いま変更しても適用されません"), this, QRect(10, 255, 302, 18));
  QFont bold = StaticText1->font();
  bold.setBold(true);
  StaticText1->setFont(bold);
  QPalette red = StaticText1->palette();
  red.setColor(QPalette::WindowText, QColor(0xFF, 0x00, 0x00));
  StaticText1->setPalette(red);
  StaticText1->hide();

  // The key value bubble. It belongs to the dialog rather than the group box so that it may
  // cross the group's frame; it is created last so that it lies above every other control.
  Panel3 = new QFrame(this);
  Panel3->setFrameStyle(QFrame::Panel | QFrame::Raised);
  Panel3->setLineWidth(1);
  Panel3->setAutoFillBackground(true);
  Panel3->setGeometry(0, 0, 28, 18);
  StaticText4 = new QLabel(Panel3);
  StaticText4->setGeometry(Panel3->contentsRect());
  StaticText4->setAlignment(Qt::AlignCenter);
  Panel3->hide();

  Timer3 = new QTimer(this);
  Timer3->setInterval(kBubbleTickMs);
  // A coarse timer may fire a few percent late, which could keep the bubble past one second.
  Timer3->setTimerType(Qt::PreciseTimer);
  connect(Timer3, &QTimer::timeout, this, &TTuneDlg::Timer3Timer);

  ComboBox2Change();
  CheckBox2Change();
}

TTuneDlg::~TTuneDlg() = default;

void TTuneDlg::CheckBox2Change() {
  const bool quality = CheckBox2->isChecked();
  CheckBox1->setEnabled(!quality);
  ComboBox3->setEnabled(quality);
  Label11->setEnabled(quality);
}

void TTuneDlg::ComboBox2Change() {
  const SuppressScope scope(suppress_);
  Edit3->setEnabled(true);
  Edit4->setEnabled(true);
  const int index = ComboBox2->currentIndex();
  if (index == 0) {
    Edit3->setEnabled(false);
    Edit4->setEnabled(false);
  } else if (index > 0 && index < static_cast<int>(kRangePresets.size())) {
    const RangePreset& preset = kRangePresets[static_cast<std::size_t>(index)];
    if (preset.Low != nullptr) Edit3->setText(QString::fromUtf8(preset.Low));
    if (preset.High != nullptr) Edit4->setText(QString::fromUtf8(preset.High));
  }
}

void TTuneDlg::Edit3Change() {
  if (suppress_) return;
  ComboBox2->setCurrentIndex(ComboBox2->count() - 1);
}

void TTuneDlg::TrackBar4Change() {
  StaticText4->setText(QString::number(TrackBar4->value()));

  // The position is worked out in the group box's coordinates, where the track bar lives, then
  // carried into the dialog's, where the bubble lives. The bubble is kept inside the client
  // area so that a change made with the keyboard, the pointer elsewhere, still shows.
  const QPoint pointer = GroupBox1->mapFromGlobal(QCursor::pos());
  const QPoint inGroup(pointer.x() - kBubbleLeftOfPointer, TrackBar4->y() - kBubbleAboveTrackBar);
  QPoint topLeft = GroupBox1->mapTo(this, inGroup);
  topLeft.setX(std::clamp(topLeft.x(), 0, width() - Panel3->width()));
  Panel3->move(topLeft);
  Panel3->show();
  Panel3->raise();

  // The timer keeps its cadence while it runs: the flag, not a restart, keeps the bubble up.
  if (!Timer3->isActive()) Timer3->start();
  keyChangedRecently_ = true;
}

void TTuneDlg::Timer3Timer() {
  if (!keyChangedRecently_) {
    Panel3->hide();
    Timer3->stop();
  }
  keyChangedRecently_ = false;
}

void TTuneDlg::ClearTransientFlags() {
  suppress_ = false;
  keyChangedRecently_ = false;
}

TuningControls TTuneDlg::Controls() const {
  TuningControls controls;
  controls.APosition = TrackBar1->value();
  controls.PPosition = TrackBar2->value();
  controls.Synthetic = CheckBox1->isChecked();
  controls.PrecisionIndex = ComboBox1->currentIndex();
  controls.RangeIndex = ComboBox2->currentIndex();
  controls.LowText = Edit3->text().toStdString();
  controls.HighText = Edit4->text().toStdString();
  controls.KeyPosition = TrackBar4->value();
  controls.Quality = CheckBox2->isChecked();
  // The list's order is the enumeration's: auto, off, on.
  controls.Reverb = static_cast<ReverbMode>(std::clamp(ComboBox3->currentIndex(), 0, 2));
  return controls;
}

void TTuneDlg::SetJobRunning(bool running) { StaticText1->setVisible(running); }

void TTuneDlg::ComboBox1Change(int index) {
  if (index < 0 || index >= kPrecisionLevels) return;
  emit PrecisionChanged(BlockSizeForPrecision(index));
}

void TTuneDlg::closeEvent(QCloseEvent* event) {
  // The dialog still shows at this point; the callback brings the main window's button up.
  // QDialog's own handler is bypassed because it would go through reject(), which closes.
  if (OnClose) OnClose();
  event->accept();
}

void TTuneDlg::reject() { close(); }

}  // namespace merolune
