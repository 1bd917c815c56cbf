// The gradient box: its steps and colours, drawn offscreen.

#include "GradBox.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QEvent>
#include <QImage>
#include <QPixmap>
#include <string>

#include "Colors.h"
#include "Pixels.h"

namespace merolune {
namespace {

using test::Grab;
using test::Name;
using test::PixelAt;

// The decoding banner's box: 69 high, horizontal, 128 steps (n = 129), white to red 162,
// green 220, blue 255 (16768162 = 0xFFDCA2).
void MakeDecodingBanner(TGradBox& box, int width) {
  box.resize(width, 69);
  box.SetDirection(gdHorizontal);
  box.SetGradStep(128);
  box.SetStartColor(Qt::white);
  box.SetEndColor(ColorFromTColor(16768162));
}

// Band i of the decoding banner, worked out by hand: red 255 + round(-93 / 129 * i), green
// 255 + round(-35 / 129 * i), blue 255 throughout.
struct Band {
  int i;
  int red;
  int green;
};
const Band kDecodingBands[] = {
    {0, 255, 255},    // the start colour
    {1, 254, 255},    // -0.72 -> -1, -0.27 -> 0
    {2, 254, 254},    // -1.44 -> -1, -0.54 -> -1
    {43, 224, 243},   // -31 exactly, -11.67 -> -12
    {64, 209, 238},   // -46.14 -> -46, -17.36 -> -17
    {100, 183, 228},  // -72.09 -> -72, -27.13 -> -27
    {119, 169, 223},  // -85.79 -> -86, -32.29 -> -32
    {128, 163, 220},  // -92.28 -> -92, -34.73 -> -35
    {129, 162, 220},  // the end colour
};

TEST(TGradBoxTest, StartsWithTheDesignedDefaults) {
  TGradBox box;
  EXPECT_EQ(box.StartColor(), QColor(Qt::white));
  EXPECT_EQ(box.EndColor(), QColor(Qt::black));
  EXPECT_EQ(box.GradStep(), 128);
  EXPECT_EQ(box.Direction(), gdVertical);
  EXPECT_EQ(box.size(), QSize(128, 128));
}

TEST(TGradBoxTest, WideBannerGetsTwoPixelBandsCutAtTheRightEdge) {
  TGradBox box;
  MakeDecodingBanner(box, 240);  // band round(240 / 129 = 1.86) = 2; 130 bands need 260 pixels
  const QImage image = Grab(box);
  for (const Band& band : kDecodingBands) {
    if (2 * band.i >= 240) continue;  // bands 120 to 129 are cut away
    const std::string expected = Name(QColor(band.red, band.green, 255));
    for (int x : {2 * band.i, 2 * band.i + 1}) {
      EXPECT_EQ(PixelAt(image, x, 0), expected) << "x " << x;
      EXPECT_EQ(PixelAt(image, x, 68), expected) << "x " << x;
    }
  }
  // The last pixels belong to band 119, not to the end colour.
  EXPECT_EQ(PixelAt(image, 239, 30), Name(QColor(169, 223, 255)));
}

TEST(TGradBoxTest, NarrowerBannerFillsTheRestWithTheEndColour) {
  TGradBox box;
  MakeDecodingBanner(box, 190);  // band round(190 / 129 = 1.47) = 1: 130 pixels of bands
  const QImage image = Grab(box);
  for (const Band& band : kDecodingBands) {
    EXPECT_EQ(PixelAt(image, band.i, 34), Name(QColor(band.red, band.green, 255))) << "i " << band.i;
  }
  for (int x = 129; x < 190; ++x) EXPECT_EQ(PixelAt(image, x, 10), "#a2dcff") << "x " << x;
}

TEST(TGradBoxTest, EncodingBannerColours) {
  TGradBox box;
  MakeDecodingBanner(box, 240);
  box.SetEndColor(ColorFromTColor(10789631));  // 0xA4A2FF: red 255, green 162, blue 164
  const QImage image = Grab(box);
  // Band 64: green 255 + round(-93 / 129 * 64) = 209, blue 255 + round(-91 / 129 * 64 = -45.15)
  // = 210.
  EXPECT_EQ(PixelAt(image, 128, 5), Name(QColor(255, 209, 210)));
  EXPECT_EQ(PixelAt(image, 129, 5), Name(QColor(255, 209, 210)));
  EXPECT_EQ(PixelAt(image, 0, 5), "#ffffff");
}

TEST(TGradBoxTest, VerticalBandsRunDownward) {
  TGradBox box;         // vertical by default
  box.resize(20, 300);  // band round(300 / 129 = 2.33) = 2: 260 pixels, then 40 of the end
  box.SetStartColor(QColor(0, 0, 0));
  box.SetEndColor(QColor(255, 0, 129));
  const QImage image = Grab(box);
  // Blue is 129 / 129 * i = i; red is round(255 / 129 * i).
  EXPECT_EQ(PixelAt(image, 0, 0), Name(QColor(0, 0, 0)));
  EXPECT_EQ(PixelAt(image, 19, 3), Name(QColor(2, 0, 1)));     // i 1: 1.98 -> 2
  EXPECT_EQ(PixelAt(image, 7, 100), Name(QColor(99, 0, 50)));  // i 50: 98.84 -> 99
  EXPECT_EQ(PixelAt(image, 7, 101), Name(QColor(99, 0, 50)));
  EXPECT_EQ(PixelAt(image, 7, 102), Name(QColor(101, 0, 51)));   // i 51: 100.81 -> 101
  EXPECT_EQ(PixelAt(image, 7, 257), Name(QColor(253, 0, 128)));  // i 128: 253.02 -> 253
  for (int y : {258, 259, 260, 280, 299}) {
    EXPECT_EQ(PixelAt(image, 3, y), Name(QColor(255, 0, 129))) << "y " << y;
  }
}

TEST(TGradBoxTest, HalvesRoundToEven) {
  TGradBox box;
  box.SetDirection(gdHorizontal);
  box.SetGradStep(1);  // n = 2
  box.SetStartColor(QColor(0, 0, 0));
  box.SetEndColor(QColor(1, 3, 5));
  // Band 1: 0.5 -> 0, 1.5 -> 2, 2.5 -> 2.
  box.resize(5, 4);  // band round(2.5) = 2
  QImage image = Grab(box);
  EXPECT_EQ(PixelAt(image, 0, 0), Name(QColor(0, 0, 0)));
  EXPECT_EQ(PixelAt(image, 1, 0), Name(QColor(0, 0, 0)));
  EXPECT_EQ(PixelAt(image, 2, 0), Name(QColor(0, 2, 2)));
  EXPECT_EQ(PixelAt(image, 3, 3), Name(QColor(0, 2, 2)));
  EXPECT_EQ(PixelAt(image, 4, 3), Name(QColor(1, 3, 5)));
  box.resize(7, 4);  // band round(3.5) = 4
  image = Grab(box);
  EXPECT_EQ(PixelAt(image, 3, 0), Name(QColor(0, 0, 0)));
  EXPECT_EQ(PixelAt(image, 4, 0), Name(QColor(0, 2, 2)));
  EXPECT_EQ(PixelAt(image, 6, 0), Name(QColor(0, 2, 2)));
}

TEST(TGradBoxTest, BandsAreAtLeastOnePixel) {
  TGradBox box;
  box.SetDirection(gdHorizontal);
  box.SetGradStep(255);  // n = 256, band round(100 / 256) = 0 -> 1
  box.SetStartColor(QColor(0, 0, 0));
  box.SetEndColor(QColor(255, 255, 255));
  box.resize(100, 3);
  const QImage image = Grab(box);
  EXPECT_EQ(PixelAt(image, 0, 1), Name(QColor(0, 0, 0)));
  EXPECT_EQ(PixelAt(image, 1, 1), Name(QColor(1, 1, 1)));      // 0.996 -> 1
  EXPECT_EQ(PixelAt(image, 99, 1), Name(QColor(99, 99, 99)));  // 98.61 -> 99
  EXPECT_EQ(PixelAt(image, 50, 1), Name(QColor(50, 50, 50)));  // 49.80 -> 50
}

TEST(TGradBoxTest, SingleStepIsTheStartColourWhenTheBandFillsTheBox) {
  TGradBox box;
  box.SetGradStep(0);  // n = 1: band = extent, so the end colour's band lies past the edge
  box.SetStartColor(QColor(10, 20, 30));
  box.SetEndColor(QColor(200, 100, 0));
  box.resize(10, 10);
  const QImage image = Grab(box);
  EXPECT_EQ(PixelAt(image, 0, 0), Name(QColor(10, 20, 30)));
  EXPECT_EQ(PixelAt(image, 9, 9), Name(QColor(10, 20, 30)));
}

TEST(TGradBoxTest, ColourAndStepSettersAlwaysSignal) {
  TGradBox box;
  int changes = 0;
  QObject::connect(&box, &TGradBox::OnChange, [&] { ++changes; });
  box.SetStartColor(box.StartColor());
  EXPECT_EQ(changes, 1);
  box.SetEndColor(box.EndColor());
  EXPECT_EQ(changes, 2);
  box.SetGradStep(box.GradStep());
  EXPECT_EQ(changes, 3);
  box.SetStartColor(Qt::red);
  EXPECT_EQ(changes, 4);
  EXPECT_EQ(box.StartColor(), QColor(Qt::red));
  box.SetGradStep(7);
  EXPECT_EQ(changes, 5);
  EXPECT_EQ(box.GradStep(), 7);
}

TEST(TGradBoxTest, DirectionSignalsOnlyWhenItChanges) {
  TGradBox box;
  int changes = 0;
  QObject::connect(&box, &TGradBox::OnChange, [&] { ++changes; });
  box.SetDirection(gdVertical);
  EXPECT_EQ(changes, 0);
  box.SetDirection(gdHorizontal);
  EXPECT_EQ(changes, 1);
  EXPECT_EQ(box.Direction(), gdHorizontal);
  box.SetDirection(gdHorizontal);
  EXPECT_EQ(changes, 1);
}

// Counts the paint events a widget receives.
class PaintCounter : public QObject {
 public:
  explicit PaintCounter(QWidget& widget) { widget.installEventFilter(this); }
  int paints = 0;

 protected:
  bool eventFilter(QObject*, QEvent* event) override {
    if (event->type() == QEvent::Paint) ++paints;
    return false;
  }
};

TEST(TGradBoxTest, UnchangedColourRepaintsButUnchangedDirectionDoesNot) {
  TGradBox box;
  box.show();
  QApplication::processEvents();
  ASSERT_TRUE(box.isVisible());
  PaintCounter counter(box);
  box.SetDirection(box.Direction());
  QApplication::processEvents();
  EXPECT_EQ(counter.paints, 0);
  box.SetStartColor(box.StartColor());
  QApplication::processEvents();
  EXPECT_EQ(counter.paints, 1);
}

}  // namespace
}  // namespace merolune
