// The tuning dialog: its controls, the settings they make, the key bubble and the notice.

#include "Unit2.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QCursor>
#include <QFrame>
#include <QGroupBox>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QSlider>
#include <QTimer>
#include <QTimerEvent>
#include <algorithm>
#include <numbers>
#include <vector>

#include "ReductionSettings.h"

namespace merolune {
namespace {

// A dialog as the main window leaves it after creating it: the range handler run once and the
// transient flags cleared.
class TuneDlgTest : public ::testing::Test {
 protected:
  TuneDlgTest() {
    dlg_.ComboBox2Change();
    dlg_.ClearTransientFlags();
  }

  ReductionSettings Settings() const { return MakeSettings(dlg_.Controls(), ReductionToggles{}); }

  void SelectRange(const char* item) {
    const int index = dlg_.ComboBox2->findText(QString::fromUtf8(item));
    ASSERT_GE(index, 0) << item;
    dlg_.ComboBox2->setCurrentIndex(index);
  }

  // Types one character into a widget the way the keyboard would.
  static void Type(QWidget* widget, Qt::Key key, const QString& text) {
    QKeyEvent press(QEvent::KeyPress, key, Qt::NoModifier, text);
    QApplication::sendEvent(widget, &press);
    QKeyEvent release(QEvent::KeyRelease, key, Qt::NoModifier, text);
    QApplication::sendEvent(widget, &release);
  }

  // Delivers one tick to a running timer, as the event loop does when its interval has passed.
  static void TickTimer(QTimer& timer) {
    QTimerEvent tick(timer.timerId());
    QCoreApplication::sendEvent(&timer, &tick);
  }

  TTuneDlg dlg_;
};

int RangeIndexOf(const char* item) {
  for (std::size_t i = 0; i < kRangePresets.size(); ++i) {
    if (QString::fromUtf8(kRangePresets[i].Item) == QString::fromUtf8(item)) return static_cast<int>(i);
  }
  return -1;
}

// ---------------------------------------------------------------------------------------------
// The window and its controls.

TEST_F(TuneDlgTest, IsAFixedSizeNonModalToolWindow) {
  EXPECT_EQ(dlg_.windowTitle(), QStringLiteral("カラオケ化調整"));
  EXPECT_EQ(dlg_.windowType(), Qt::Tool);
  EXPECT_FALSE(dlg_.isModal());
  EXPECT_EQ(dlg_.size(), QSize(322, 276));
  EXPECT_EQ(dlg_.minimumSize(), QSize(322, 276));
  EXPECT_EQ(dlg_.maximumSize(), QSize(322, 276));
  EXPECT_EQ(dlg_.GroupBox1->title(), QStringLiteral("カラオケ化調整"));
  EXPECT_EQ(dlg_.font().families().value(0), QStringLiteral("MS UI Gothic"));
}

// The quality mode's row: off at first with its reverb list greyed out; ticked, it greys out the
// plain/weighted choice, and the job's settings carry the mode, the list's choice and the key.
TEST_F(TuneDlgTest, TheQualityModeRowChoosesTheModeAndItsReverbHandling) {
  EXPECT_EQ(dlg_.Label10->text(), QStringLiteral("高音質 :"));
  EXPECT_EQ(dlg_.CheckBox2->text(), QStringLiteral("使う"));
  EXPECT_EQ(dlg_.Label11->text(), QStringLiteral("残響 :"));
  ASSERT_EQ(dlg_.ComboBox3->count(), 3);
  EXPECT_EQ(dlg_.ComboBox3->itemText(0), QStringLiteral("自動"));
  EXPECT_FALSE(dlg_.CheckBox2->isChecked());
  EXPECT_FALSE(dlg_.ComboBox3->isEnabled());
  EXPECT_FALSE(Settings().Quality);
  EXPECT_TRUE(dlg_.GroupBox1->geometry().contains(dlg_.ComboBox3->geometry().translated(dlg_.GroupBox1->pos())));

  dlg_.TrackBar4->setValue(3);
  dlg_.CheckBox2->setChecked(true);
  EXPECT_FALSE(dlg_.CheckBox1->isEnabled());
  EXPECT_TRUE(dlg_.TrackBar4->isEnabled());
  EXPECT_TRUE(dlg_.ComboBox3->isEnabled());
  const ReverbMode modes[] = {ReverbMode::Auto, ReverbMode::Off, ReverbMode::On};
  for (int item = 0; item < 3; ++item) {
    dlg_.ComboBox3->setCurrentIndex(item);
    const ReductionSettings s = Settings();
    EXPECT_TRUE(s.Quality);
    EXPECT_EQ(s.Reverb, modes[item]);
    EXPECT_EQ(s.KeySemitones, 3);
  }
  dlg_.CheckBox2->setChecked(false);
  EXPECT_TRUE(dlg_.CheckBox1->isEnabled());
}

TEST_F(TuneDlgTest, ControlsHaveTheirRangesTicksAndLabels) {
  EXPECT_EQ(dlg_.TrackBar1->minimum(), 0);
  EXPECT_EQ(dlg_.TrackBar1->maximum(), 1000);
  EXPECT_EQ(dlg_.TrackBar1->tickInterval(), 25);
  EXPECT_EQ(dlg_.TrackBar1->value(), 400);
  EXPECT_EQ(dlg_.TrackBar2->minimum(), 0);
  EXPECT_EQ(dlg_.TrackBar2->maximum(), 900);
  EXPECT_EQ(dlg_.TrackBar2->tickInterval(), 30);
  EXPECT_EQ(dlg_.TrackBar2->value(), 450);
  EXPECT_EQ(dlg_.TrackBar4->minimum(), -5);
  EXPECT_EQ(dlg_.TrackBar4->maximum(), 5);
  EXPECT_EQ(dlg_.TrackBar4->value(), 0);
  EXPECT_EQ(dlg_.TrackBar1->orientation(), Qt::Horizontal);
  EXPECT_EQ(dlg_.TrackBar2->orientation(), Qt::Horizontal);
  EXPECT_EQ(dlg_.TrackBar4->orientation(), Qt::Horizontal);
  EXPECT_EQ(dlg_.CheckBox1->text(), QStringLiteral("シンセティック"));
  EXPECT_TRUE(dlg_.CheckBox1->isChecked());

  EXPECT_EQ(dlg_.Label1->text(), QStringLiteral("Aパラメータ :"));
  EXPECT_EQ(dlg_.Label2->text(), QStringLiteral("Pパラメータ :"));
  EXPECT_EQ(dlg_.Label3->text(), QStringLiteral("< ゆるい"));
  EXPECT_EQ(dlg_.Label4->text(), QStringLiteral("つよい >"));
  EXPECT_EQ(dlg_.Label5->text(), QStringLiteral("精度と速度 :"));
  EXPECT_EQ(dlg_.Label6->text(), QStringLiteral("処理範囲 :"));
  EXPECT_EQ(dlg_.Label7->text(), QStringLiteral("Hz~"));
  EXPECT_EQ(dlg_.Label8->text(), QStringLiteral("Hz"));
  EXPECT_EQ(dlg_.Label9->text(), QStringLiteral("キーチェンジ:"));

  ASSERT_EQ(dlg_.ComboBox1->count(), kPrecisionLevels);
  for (int i = 0; i < kPrecisionLevels; ++i) {
    EXPECT_EQ(dlg_.ComboBox1->itemText(i), QString::fromUtf8(kPrecisionItems[static_cast<std::size_t>(i)]));
  }
  EXPECT_EQ(dlg_.ComboBox1->currentIndex(), 2);
  ASSERT_EQ(dlg_.ComboBox2->count(), static_cast<int>(kRangePresets.size()));
  for (int i = 0; i < dlg_.ComboBox2->count(); ++i) {
    EXPECT_EQ(dlg_.ComboBox2->itemText(i),
              QString::fromUtf8(kRangePresets[static_cast<std::size_t>(i)].Item));
  }
  EXPECT_EQ(dlg_.ComboBox2->currentIndex(), 2);
  EXPECT_FALSE(dlg_.ComboBox1->isEditable());
  EXPECT_FALSE(dlg_.ComboBox2->isEditable());
}

TEST_F(TuneDlgTest, ParameterControlsSitInTheGroupBoxAndTheRestOutside) {
  const std::vector<QWidget*> inside{
      dlg_.Label1,    dlg_.Label2,    dlg_.Label3,    dlg_.Label4,    dlg_.Label5,    dlg_.Label6,
      dlg_.Label7,    dlg_.Label8,    dlg_.Label9,    dlg_.TrackBar1, dlg_.TrackBar2, dlg_.TrackBar4,
      dlg_.CheckBox1, dlg_.ComboBox1, dlg_.ComboBox2, dlg_.Edit3,     dlg_.Edit4};
  const QRect groupArea(QPoint(0, 0), dlg_.GroupBox1->size());
  for (std::size_t i = 0; i < inside.size(); ++i) {
    EXPECT_EQ(inside[i]->parentWidget(), dlg_.GroupBox1) << i;
    EXPECT_TRUE(groupArea.contains(inside[i]->geometry())) << i;
    for (std::size_t j = i + 1; j < inside.size(); ++j) {
      EXPECT_FALSE(inside[i]->geometry().intersects(inside[j]->geometry())) << i << " overlaps " << j;
    }
  }
  const QRect client(QPoint(0, 0), dlg_.size());
  EXPECT_TRUE(client.contains(dlg_.GroupBox1->geometry()));
  EXPECT_EQ(dlg_.StaticText1->parentWidget(), &dlg_);
  EXPECT_TRUE(client.contains(dlg_.StaticText1->geometry()));
  EXPECT_FALSE(dlg_.StaticText1->geometry().intersects(dlg_.GroupBox1->geometry()));
  EXPECT_EQ(dlg_.Panel3->parentWidget(), &dlg_);
  EXPECT_EQ(dlg_.StaticText4->parentWidget(), dlg_.Panel3);
}

TEST_F(TuneDlgTest, NoticeBubbleAndTimerStartIdle) {
  dlg_.show();
  EXPECT_FALSE(dlg_.StaticText1->isVisible());
  EXPECT_FALSE(dlg_.Panel3->isVisible());
  EXPECT_FALSE(dlg_.Timer3->isActive());
  EXPECT_EQ(dlg_.Timer3->interval(), 500);
  EXPECT_FALSE(dlg_.Suppressing());
  EXPECT_FALSE(dlg_.KeyChangedRecently());
}

// ---------------------------------------------------------------------------------------------
// Values the job receives.

TEST_F(TuneDlgTest, DefaultsGiveTheDefaultSettings) {
  const TuningControls controls = dlg_.Controls();
  EXPECT_EQ(controls.LowText, "150");
  EXPECT_EQ(controls.HighText, "14000");
  EXPECT_EQ(BlockSizeForPrecision(controls.PrecisionIndex), 8192);

  const ReductionSettings s = Settings();
  EXPECT_DOUBLE_EQ(s.A, 4.0);
  EXPECT_DOUBLE_EQ(s.PThreshold, std::numbers::pi / 4);
  EXPECT_TRUE(s.Synthetic);
  EXPECT_TRUE(s.RangeRestricted);
  EXPECT_EQ(s.LowHz, 150);
  EXPECT_EQ(s.HighHz, 14000);
  EXPECT_EQ(s.KeySemitones, 0);
}

TEST(TuneDlgConstruction, ConstructorAlreadyFillsTheDefaultRange) {
  TTuneDlg dlg;
  EXPECT_EQ(dlg.Edit3->text(), QStringLiteral("150"));
  EXPECT_EQ(dlg.Edit4->text(), QStringLiteral("14000"));
  EXPECT_EQ(dlg.ComboBox2->currentIndex(), 2);
  EXPECT_TRUE(dlg.Edit3->isEnabled());
  EXPECT_TRUE(dlg.Edit4->isEnabled());
  EXPECT_FALSE(dlg.Suppressing());
}

TEST_F(TuneDlgTest, ControlsReadEveryControl) {
  dlg_.TrackBar1->setValue(1000);
  dlg_.TrackBar2->setValue(120);
  dlg_.CheckBox1->setChecked(false);
  dlg_.ComboBox1->setCurrentIndex(0);
  dlg_.TrackBar4->setValue(4);
  const TuningControls c = dlg_.Controls();
  EXPECT_EQ(c.APosition, 1000);
  EXPECT_EQ(c.PPosition, 120);
  EXPECT_FALSE(c.Synthetic);
  EXPECT_EQ(c.PrecisionIndex, 0);
  EXPECT_EQ(c.RangeIndex, 2);
  EXPECT_EQ(c.KeyPosition, 4);

  const ReductionSettings s = Settings();
  EXPECT_DOUBLE_EQ(s.A, 10.0);
  EXPECT_FALSE(s.Synthetic);
  EXPECT_EQ(s.KeySemitones, 4);
  EXPECT_EQ(MakeSettings(c, ReductionToggles{.Inverse = true}).KeySemitones, 0);
}

TEST_F(TuneDlgTest, PAtItsEndsGivesZeroAndAQuarterTurn) {
  dlg_.TrackBar2->setValue(0);
  EXPECT_DOUBLE_EQ(Settings().PThreshold, 0.0);
  dlg_.TrackBar2->setValue(900);
  EXPECT_DOUBLE_EQ(Settings().PThreshold, std::numbers::pi / 2);
}

// ---------------------------------------------------------------------------------------------
// Processing range.

TEST_F(TuneDlgTest, PresetFillsTheBoxesAndStaysSelected) {
  SelectRange("高音ボーカル (250～15kHz)");
  EXPECT_EQ(dlg_.ComboBox2->currentIndex(), RangeIndexOf("高音ボーカル (250～15kHz)"));
  EXPECT_EQ(dlg_.Edit3->text(), QStringLiteral("250"));
  EXPECT_EQ(dlg_.Edit4->text(), QStringLiteral("15000"));
  EXPECT_FALSE(dlg_.Suppressing());
  const ReductionSettings s = Settings();
  EXPECT_TRUE(s.RangeRestricted);
  EXPECT_EQ(s.LowHz, 250);
  EXPECT_EQ(s.HighHz, 15000);

  SelectRange("低音ボーカル (100～12kHz)");
  EXPECT_EQ(dlg_.Edit3->text(), QStringLiteral("100"));
  EXPECT_EQ(dlg_.Edit4->text(), QStringLiteral("12000"));
  EXPECT_EQ(dlg_.ComboBox2->currentIndex(), 1);
}

TEST_F(TuneDlgTest, TypingInTheLowBoxMakesTheRangeCustom) {
  SelectRange("高音ボーカル (250～15kHz)");
  Type(dlg_.Edit3, Qt::Key_5, QStringLiteral("5"));
  EXPECT_EQ(dlg_.ComboBox2->currentText(), QStringLiteral("カスタム"));
  EXPECT_EQ(dlg_.Edit3->text(), QStringLiteral("2505"));
  EXPECT_EQ(dlg_.Edit4->text(), QStringLiteral("15000"));
  EXPECT_TRUE(dlg_.Edit3->isEnabled());
  EXPECT_EQ(Settings().LowHz, 2505);
}

TEST_F(TuneDlgTest, TypingInTheHighBoxMakesTheRangeCustom) {
  SelectRange("高音ボーカル (250～15kHz)");
  Type(dlg_.Edit4, Qt::Key_1, QStringLiteral("1"));
  EXPECT_EQ(dlg_.ComboBox2->currentIndex(), kRangeCustom);
  EXPECT_EQ(dlg_.Edit3->text(), QStringLiteral("250"));
  EXPECT_EQ(dlg_.Edit4->text(), QStringLiteral("150001"));
}

TEST_F(TuneDlgTest, CustomSelectionLeavesTheBoxesAsTheyAre) {
  dlg_.Edit3->setText(QStringLiteral("80"));
  ASSERT_EQ(dlg_.ComboBox2->currentIndex(), kRangeCustom);
  SelectRange("カスタム");
  EXPECT_EQ(dlg_.Edit3->text(), QStringLiteral("80"));
  EXPECT_EQ(dlg_.Edit4->text(), QStringLiteral("14000"));
  EXPECT_TRUE(dlg_.Edit3->isEnabled());
  EXPECT_TRUE(dlg_.Edit4->isEnabled());
}

TEST_F(TuneDlgTest, AllDisablesTheBoxesAndLiftsTheRange) {
  SelectRange("すべて (0Hz～)");
  EXPECT_FALSE(dlg_.Edit3->isEnabled());
  EXPECT_FALSE(dlg_.Edit4->isEnabled());
  EXPECT_EQ(dlg_.Edit3->text(), QStringLiteral("150"));
  EXPECT_EQ(dlg_.Edit4->text(), QStringLiteral("14000"));
  EXPECT_EQ(dlg_.ComboBox2->currentIndex(), 0);
  EXPECT_FALSE(Settings().RangeRestricted);

  // Any preset afterwards makes them usable again.
  SelectRange("通常ボーカル (150～14kHz)");
  EXPECT_TRUE(dlg_.Edit3->isEnabled());
  EXPECT_TRUE(dlg_.Edit4->isEnabled());
  EXPECT_TRUE(Settings().RangeRestricted);
}

TEST_F(TuneDlgTest, ReversedBoxesAreSwapped) {
  dlg_.Edit3->setText(QStringLiteral("15000"));
  dlg_.Edit4->setText(QStringLiteral("150"));
  const ReductionSettings s = Settings();
  EXPECT_EQ(s.LowHz, 150);
  EXPECT_EQ(s.HighHz, 15000);
}

TEST_F(TuneDlgTest, LettersCountAsTheDefaults) {
  dlg_.Edit3->setText(QStringLiteral("abc"));
  dlg_.Edit4->setText(QStringLiteral("xyz"));
  const ReductionSettings s = Settings();
  EXPECT_EQ(s.LowHz, 0);
  EXPECT_EQ(s.HighHz, 22050);
}

TEST_F(TuneDlgTest, SuppressFlagIsClearedAfterTheHandler) {
  for (int i = 0; i < dlg_.ComboBox2->count(); ++i) {
    dlg_.ComboBox2->setCurrentIndex(i);
    EXPECT_FALSE(dlg_.Suppressing()) << i;
    dlg_.ComboBox2Change();
    EXPECT_FALSE(dlg_.Suppressing()) << i;
    EXPECT_EQ(dlg_.ComboBox2->currentIndex(), i);
  }
}

// ---------------------------------------------------------------------------------------------
// Precision.

TEST_F(TuneDlgTest, PrecisionChangeReportsTheBlockSize) {
  std::vector<int> reported;
  QObject::connect(&dlg_, &TTuneDlg::PrecisionChanged, [&](int blockSize) { reported.push_back(blockSize); });
  dlg_.ComboBox1->setCurrentIndex(dlg_.ComboBox1->findText(QStringLiteral("Very High (slowest)")));
  ASSERT_EQ(reported.size(), 1u);
  EXPECT_EQ(reported[0], 32768);

  reported.clear();
  for (int i = 0; i < kPrecisionLevels; ++i) dlg_.ComboBox1->setCurrentIndex(i);
  EXPECT_EQ(reported, (std::vector<int>{2048, 4096, 8192, 16384, 32768}));
}

// ---------------------------------------------------------------------------------------------
// Key bubble.

TEST_F(TuneDlgTest, KeyChangeShowsTheBubbleUntilTwoQuietTicks) {
  dlg_.show();
  dlg_.TrackBar4->setValue(-3);
  EXPECT_EQ(dlg_.StaticText4->text(), QStringLiteral("-3"));
  EXPECT_TRUE(dlg_.Panel3->isVisible());
  EXPECT_TRUE(dlg_.Timer3->isActive());
  EXPECT_TRUE(dlg_.KeyChangedRecently());

  dlg_.Timer3Timer();  // the change was within this tick: keep showing
  EXPECT_TRUE(dlg_.Panel3->isVisible());
  EXPECT_TRUE(dlg_.Timer3->isActive());
  EXPECT_FALSE(dlg_.KeyChangedRecently());

  dlg_.Timer3Timer();  // a whole quiet tick: hide
  EXPECT_FALSE(dlg_.Panel3->isVisible());
  EXPECT_FALSE(dlg_.Timer3->isActive());
  EXPECT_FALSE(dlg_.KeyChangedRecently());
  EXPECT_EQ(dlg_.TrackBar4->value(), -3);
}

TEST_F(TuneDlgTest, AnotherChangeKeepsTheBubbleUp) {
  dlg_.show();
  dlg_.TrackBar4->setValue(-3);
  dlg_.Timer3Timer();
  dlg_.TrackBar4->setValue(2);
  EXPECT_EQ(dlg_.StaticText4->text(), QStringLiteral("2"));
  dlg_.Timer3Timer();
  EXPECT_TRUE(dlg_.Panel3->isVisible());
  dlg_.Timer3Timer();
  EXPECT_FALSE(dlg_.Panel3->isVisible());
}

TEST_F(TuneDlgTest, ClearedFlagLetsTheNextTickHide) {
  dlg_.show();
  dlg_.TrackBar4->setValue(5);
  dlg_.ClearTransientFlags();
  EXPECT_FALSE(dlg_.KeyChangedRecently());
  dlg_.Timer3Timer();
  EXPECT_FALSE(dlg_.Panel3->isVisible());
  EXPECT_FALSE(dlg_.Timer3->isActive());
}

TEST_F(TuneDlgTest, BubbleSitsLeftOfThePointerAboveTheKeyTrackBar) {
  dlg_.show();
  const QPoint target = dlg_.GroupBox1->mapToGlobal(QPoint(150, dlg_.TrackBar4->y() + 8));
  QCursor::setPos(target);
  dlg_.TrackBar4->setValue(-1);

  // The expectation follows wherever the platform puts the pointer, kept inside the client area.
  const int pointerX = dlg_.GroupBox1->mapFromGlobal(QCursor::pos()).x();
  const QPoint inGroup = dlg_.GroupBox1->mapFrom(&dlg_, dlg_.Panel3->pos());
  EXPECT_EQ(inGroup.y(), dlg_.TrackBar4->y() - 10);
  const int unclamped = dlg_.GroupBox1->mapTo(&dlg_, QPoint(pointerX - 20, 0)).x();
  const int expected = std::clamp(unclamped, 0, dlg_.width() - dlg_.Panel3->width());
  EXPECT_EQ(dlg_.Panel3->x(), expected);
  if (QCursor::pos() == target) {
    EXPECT_EQ(inGroup.x(), 130);
  }
  EXPECT_TRUE(QRect(QPoint(0, 0), dlg_.size()).contains(dlg_.Panel3->geometry()));
}

TEST_F(TuneDlgTest, BubbleHidesBetweenHalfASecondAndASecondAfterTheChange) {
  dlg_.show();
  std::vector<bool> ticks;  // whether the bubble shows after each tick
  // Connected after the dialog's own handler, so each entry sees the state that tick left.
  QObject::connect(dlg_.Timer3, &QTimer::timeout, [&] { ticks.push_back(dlg_.Panel3->isVisible()); });

  dlg_.TrackBar4->setValue(-3);
  // The change starts a repeating half-second timer: its first tick comes half a second after the
  // change, its second a second after.
  ASSERT_TRUE(dlg_.Timer3->isActive());
  EXPECT_EQ(dlg_.Timer3->interval(), 500);
  EXPECT_FALSE(dlg_.Timer3->isSingleShot());
  EXPECT_TRUE(dlg_.Panel3->isVisible());
  // The ticks are handed to the timer here rather than waited for, so that a loaded machine, which
  // delivers them late or bunched, cannot change the outcome.
  TickTimer(*dlg_.Timer3);
  EXPECT_TRUE(dlg_.Panel3->isVisible());  // the first tick only clears the recent-change flag
  EXPECT_TRUE(dlg_.Timer3->isActive());
  TickTimer(*dlg_.Timer3);
  EXPECT_FALSE(dlg_.Panel3->isVisible());  // the second one hides
  EXPECT_FALSE(dlg_.Timer3->isActive());
  EXPECT_EQ(ticks, (std::vector<bool>{true, false}));
}

// ---------------------------------------------------------------------------------------------
// Notice and closing.

TEST_F(TuneDlgTest, NoticeShowsWhileAJobRuns) {
  dlg_.show();
  EXPECT_EQ(dlg_.StaticText1->text(), QStringLiteral("いま変更しても適用されません"));
  EXPECT_TRUE(dlg_.StaticText1->font().bold());
  EXPECT_EQ(dlg_.StaticText1->palette().color(QPalette::WindowText), QColor(Qt::red));
  dlg_.SetJobRunning(true);
  EXPECT_TRUE(dlg_.StaticText1->isVisible());
  dlg_.SetJobRunning(false);
  EXPECT_FALSE(dlg_.StaticText1->isVisible());
}

TEST_F(TuneDlgTest, ClosingCallsOnCloseWhileStillShowing) {
  dlg_.show();
  int calls = 0;
  bool showingDuringCall = false;
  dlg_.OnClose = [&] {
    ++calls;
    showingDuringCall = dlg_.isVisible();
  };
  EXPECT_TRUE(dlg_.close());
  EXPECT_EQ(calls, 1);
  EXPECT_TRUE(showingDuringCall);
  EXPECT_FALSE(dlg_.isVisible());

  // The dialog survives closing and opens again with its values.
  dlg_.TrackBar1->setValue(10);
  dlg_.show();
  EXPECT_TRUE(dlg_.isVisible());
  EXPECT_EQ(dlg_.Controls().APosition, 10);
}

TEST_F(TuneDlgTest, EscapeClosesLikeTheCloseBox) {
  dlg_.show();
  int calls = 0;
  dlg_.OnClose = [&] { ++calls; };
  Type(&dlg_, Qt::Key_Escape, QString());
  EXPECT_EQ(calls, 1);
  EXPECT_FALSE(dlg_.isVisible());
}

TEST_F(TuneDlgTest, ClosingWithoutCallbackIsHarmless) {
  dlg_.show();
  EXPECT_TRUE(dlg_.close());
  EXPECT_FALSE(dlg_.isVisible());
}

}  // namespace
}  // namespace merolune
