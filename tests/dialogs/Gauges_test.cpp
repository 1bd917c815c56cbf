// The progress gauge: its kinds, its range and its text, drawn offscreen.

#include "Gauges.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QImage>
#include <QPixmap>
#include <cstdint>
#include <string>

#include "Colors.h"
#include "Pixels.h"

namespace merolune {
namespace {

const QColor kBtnFace(212, 208, 200);
const QColor kWindow(10, 200, 30);

using test::Grab;
using test::Name;
using test::PixelAt;

// The main window's Gauge1: 107 x 5, no border, no text, button-face background, foreground
// 16744576 (0xFF8080: red 0x80, green 0x80, blue 0xFF).
void MakeMainGauge(TGauge& gauge) {
  gauge.resize(107, 5);
  gauge.SetBorderStyle(bsNone);
  gauge.SetShowText(false);
  gauge.SetBackColor(kBtnFace);
  gauge.SetForeColor(ColorFromTColor(16744576));
}

// The number of foreground pixels from the left on row y, checking that the rest of the row is
// background.
int FilledWidth(const QImage& image, int y, const QColor& fore, const QColor& back) {
  int x = 0;
  while (x < image.width() && QColor(image.pixel(x, y)) == fore) ++x;
  const int filled = x;
  for (; x < image.width(); ++x) {
    EXPECT_EQ(PixelAt(image, x, y), Name(back)) << "x " << x << " y " << y;
  }
  return filled;
}

TEST(TGaugeTest, StartsWithTheDesignedDefaults) {
  TGauge gauge;
  EXPECT_EQ(gauge.Kind(), gkHorizontalBar);
  EXPECT_EQ(gauge.MinValue(), 0);
  EXPECT_EQ(gauge.MaxValue(), 100);
  EXPECT_EQ(gauge.Progress(), 0);
  EXPECT_TRUE(gauge.ShowText());
  EXPECT_EQ(gauge.BorderStyle(), bsSingle);
  EXPECT_EQ(gauge.ForeColor(), QColor(Qt::black));
  EXPECT_EQ(gauge.BackColor(), QColor(Qt::white));
  EXPECT_EQ(gauge.PercentDone(), 0);
}

TEST(TGaugeTest, TColorIntegersHoldRedInTheLowByte) {
  EXPECT_EQ(ColorFromTColor(16744576), QColor(0x80, 0x80, 0xFF));
  EXPECT_EQ(ColorFromTColor(16768162), QColor(0xA2, 0xDC, 0xFF));
  EXPECT_EQ(ColorFromTColor(0x00123456), QColor(0x56, 0x34, 0x12));
}

TEST(TGaugeTest, MainGaugeFillsTheTruncatedShareOfItsWidth) {
  TGauge gauge;
  MakeMainGauge(gauge);
  gauge.SetMaxValue(1000);
  const QColor fore(0x80, 0x80, 0xFF);
  struct Case {
    std::int64_t progress;
    int filled;
  };
  // filled = trunc(progress * 107 / 1000)
  const Case cases[] = {{0, 0}, {9, 0}, {10, 1}, {500, 53}, {934, 99}, {935, 100}, {999, 106}, {1000, 107}};
  for (const Case& c : cases) {
    gauge.SetProgress(c.progress);
    const QImage image = Grab(gauge);
    for (int y = 0; y < 5; ++y) {
      EXPECT_EQ(FilledWidth(image, y, fore, kBtnFace), c.filled) << "progress " << c.progress;
    }
  }
}

TEST(TGaugeTest, WholePixelSharesComeOutExactly) {
  TGauge gauge;
  MakeMainGauge(gauge);
  gauge.SetMaxValue(214);
  gauge.SetProgress(58);  // 58 * 107 / 214 = 29 exactly
  EXPECT_EQ(gauge.FilledPixels(107), 29);
  EXPECT_EQ(FilledWidth(Grab(gauge), 2, gauge.ForeColor(), kBtnFace), 29);
  gauge.SetMaxValue(100);
  gauge.SetProgress(29);  // 29 * 100 / 100 = 29, where 0.29 * 100 falls just short
  EXPECT_EQ(gauge.FilledPixels(100), 29);
  EXPECT_EQ(gauge.PercentDone(), 29);
}

TEST(TGaugeTest, ByteRangesOfLargeFiles) {
  TGauge gauge;
  MakeMainGauge(gauge);
  // As the job sets it: maximum the source file's size, minimum its data start.
  gauge.SetMaxValue(44 + 5000000000LL);
  gauge.SetMinValue(44);
  gauge.SetProgress(44 + 2500000000LL);  // half: 53.5 -> 53
  EXPECT_EQ(gauge.Progress(), 44 + 2500000000LL);
  EXPECT_EQ(FilledWidth(Grab(gauge), 0, gauge.ForeColor(), kBtnFace), 53);
  EXPECT_EQ(gauge.PercentDone(), 50);
  gauge.SetProgress(44 + 4999999999LL);  // 106.99999998 -> 106
  EXPECT_EQ(FilledWidth(Grab(gauge), 0, gauge.ForeColor(), kBtnFace), 106);
  EXPECT_EQ(gauge.PercentDone(), 99);
  gauge.SetProgress(44 + 5000000000LL);
  EXPECT_EQ(FilledWidth(Grab(gauge), 0, gauge.ForeColor(), kBtnFace), 107);
  EXPECT_EQ(gauge.PercentDone(), 100);
}

TEST(TGaugeTest, ProgressIsClampedToTheRange) {
  TGauge gauge;
  gauge.SetProgress(150);
  EXPECT_EQ(gauge.Progress(), 100);
  gauge.SetProgress(-5);
  EXPECT_EQ(gauge.Progress(), 0);
  gauge.SetProgress(80);
  gauge.SetMaxValue(50);
  EXPECT_EQ(gauge.Progress(), 50);
  gauge.SetMinValue(60);  // MinValue above MaxValue for a moment, while the job sets both
  EXPECT_EQ(gauge.Progress(), 60);
  EXPECT_EQ(gauge.PercentDone(), 0);
  EXPECT_EQ(gauge.FilledPixels(100), 0);
  gauge.SetMaxValue(160);
  EXPECT_EQ(gauge.Progress(), 60);
  EXPECT_EQ(gauge.PercentDone(), 0);
}

TEST(TGaugeTest, EmptyRangeFillsNothing) {
  TGauge gauge;
  MakeMainGauge(gauge);
  gauge.SetMaxValue(0);
  EXPECT_EQ(gauge.MaxValue(), 0);
  gauge.SetProgress(0);
  EXPECT_EQ(gauge.PercentDone(), 0);
  EXPECT_EQ(FilledWidth(Grab(gauge), 2, gauge.ForeColor(), kBtnFace), 0);
}

TEST(TGaugeTest, SingleBorderIsOneBlackPixelAroundTheBar) {
  TGauge gauge;
  gauge.resize(20, 10);
  gauge.SetShowText(false);
  gauge.SetForeColor(QColor(0, 0, 255));
  gauge.SetProgress(50);  // inner 18 wide: 9 filled
  const QImage image = Grab(gauge);
  for (int x = 0; x < 20; ++x) {
    EXPECT_EQ(PixelAt(image, x, 0), "#000000") << "x " << x;
    EXPECT_EQ(PixelAt(image, x, 9), "#000000") << "x " << x;
  }
  for (int y = 0; y < 10; ++y) {
    EXPECT_EQ(PixelAt(image, 0, y), "#000000") << "y " << y;
    EXPECT_EQ(PixelAt(image, 19, y), "#000000") << "y " << y;
  }
  for (int y = 1; y <= 8; ++y) {
    for (int x = 1; x <= 9; ++x) EXPECT_EQ(PixelAt(image, x, y), "#0000ff") << x << "," << y;
    for (int x = 10; x <= 18; ++x) EXPECT_EQ(PixelAt(image, x, y), "#ffffff") << x << "," << y;
  }
}

TEST(TGaugeTest, VerticalBarFillsUpFromTheBottom) {
  TGauge gauge;
  gauge.resize(10, 100);
  gauge.SetKind(gkVerticalBar);
  gauge.SetBorderStyle(bsNone);
  gauge.SetShowText(false);
  gauge.SetProgress(25);
  const QImage image = Grab(gauge);
  EXPECT_EQ(PixelAt(image, 5, 99), "#000000");
  EXPECT_EQ(PixelAt(image, 5, 75), "#000000");
  EXPECT_EQ(PixelAt(image, 5, 74), "#ffffff");
  EXPECT_EQ(PixelAt(image, 0, 0), "#ffffff");
}

// Pixels of the given colour in the rectangle.
int Count(const QImage& image, const QRect& area, const QColor& color) {
  int count = 0;
  for (int y = area.top(); y <= area.bottom(); ++y) {
    for (int x = area.left(); x <= area.right(); ++x) count += QColor(image.pixel(x, y)) == color;
  }
  return count;
}

TEST(TGaugeTest, TextShowsOverBothParts) {
  TGauge gauge;
  gauge.resize(200, 40);
  gauge.SetBorderStyle(bsNone);
  gauge.SetProgress(50);  // black on the left half, white on the right
  const QRect left(0, 0, 100, 40);
  const QRect right(100, 0, 100, 40);
  gauge.SetShowText(false);
  QImage image = Grab(gauge);
  EXPECT_EQ(Count(image, left, Qt::black), 100 * 40);
  EXPECT_EQ(Count(image, right, Qt::white), 100 * 40);
  // "50%" straddles the middle: lighter pixels on the black half, darker ones on the white.
  gauge.SetShowText(true);
  image = Grab(gauge);
  EXPECT_LT(Count(image, left, Qt::black), 100 * 40);
  EXPECT_LT(Count(image, right, Qt::white), 100 * 40);
  EXPECT_EQ(Count(image, QRect(0, 0, 200, 5), Qt::black), 100 * 5);
  EXPECT_EQ(Count(image, QRect(0, 0, 60, 40), Qt::black), 60 * 40);
}

TEST(TGaugeTest, TextKindShowsOnlyThePercentage) {
  TGauge gauge;
  gauge.resize(100, 30);
  gauge.SetKind(gkText);
  gauge.SetBorderStyle(bsNone);
  gauge.SetProgress(75);
  gauge.SetShowText(false);
  EXPECT_EQ(Count(Grab(gauge), gauge.rect(), Qt::white), 100 * 30);
  gauge.SetShowText(true);
  const QImage image = Grab(gauge);
  EXPECT_LT(Count(image, gauge.rect(), Qt::white), 100 * 30);
  EXPECT_EQ(Count(image, QRect(0, 0, 20, 30), Qt::white), 20 * 30);
}

TEST(TGaugeTest, PieFillsClockwiseFromTwelveOClock) {
  TGauge gauge;
  QPalette palette = gauge.palette();
  palette.setColor(QPalette::Window, kWindow);
  gauge.setPalette(palette);
  gauge.SetKind(gkPie);
  gauge.SetBorderStyle(bsNone);
  gauge.SetShowText(false);
  gauge.SetForeColor(QColor(0, 0, 255));
  gauge.SetProgress(25);  // the upper right quarter
  const QImage image = Grab(gauge);
  EXPECT_EQ(PixelAt(image, 70, 30), "#0000ff");
  EXPECT_EQ(PixelAt(image, 30, 30), "#ffffff");
  EXPECT_EQ(PixelAt(image, 70, 70), "#ffffff");
  EXPECT_EQ(PixelAt(image, 30, 70), "#ffffff");
  EXPECT_EQ(PixelAt(image, 1, 1), Name(kWindow));  // outside the circle
  gauge.SetProgress(75);
  const QImage more = Grab(gauge);
  EXPECT_EQ(PixelAt(more, 70, 70), "#0000ff");
  EXPECT_EQ(PixelAt(more, 30, 70), "#0000ff");
  EXPECT_EQ(PixelAt(more, 30, 30), "#ffffff");
}

TEST(TGaugeTest, NeedleSweepsFromLeftToRight) {
  TGauge gauge;  // 100 x 100 with a border: inner 98 x 98, the hub at (50, 99), radius 49
  gauge.SetKind(gkNeedle);
  gauge.SetShowText(false);
  gauge.SetForeColor(QColor(0, 0, 255));
  gauge.SetProgress(0);
  QImage image = Grab(gauge);
  EXPECT_EQ(PixelAt(image, 20, 98), "#0000ff");  // pointing left, two pixels wide
  EXPECT_EQ(PixelAt(image, 20, 99), "#000000");  // the border stays
  EXPECT_EQ(PixelAt(image, 50, 60), "#ffffff");
  gauge.SetProgress(50);
  image = Grab(gauge);
  EXPECT_EQ(PixelAt(image, 49, 60), "#0000ff");  // pointing up
  EXPECT_EQ(PixelAt(image, 50, 60), "#0000ff");
  EXPECT_EQ(PixelAt(image, 20, 90), "#ffffff");
}

}  // namespace
}  // namespace merolune
