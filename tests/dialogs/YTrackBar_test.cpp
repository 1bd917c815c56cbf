// The seek bar: its position, its drawing and the user dragging its thumb.

#include "YTrackBar.h"
#include "Pixels.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QEvent>
#include <QImage>
#include <QMouseEvent>
#include <QPaintEvent>
#include <QPixmap>
#include <QRegion>
#include <string>
#include <vector>

namespace merolune {
namespace {

// Colours chosen to be told apart from black, white and from each other. Unpainted pixels show
// the window background, which a top-level widget's grab paints first.
const QColor kWindow(10, 200, 30);
const QColor kWindowInverted(245, 55, 225);
const QColor kThumb(192, 128, 64);
const QColor kGage(0, 0, 255);

using test::Grab;
using test::Name;
using test::PixelAt;

void SetWindowColor(QWidget& widget) {
  QPalette palette = widget.palette();
  palette.setColor(QPalette::Window, kWindow);
  widget.setPalette(palette);
}

// The main window's seek bar: 113 x 17, range 0..100, ThumbWidth 10 (set, but equal to the
// default, so the side margins stay 4 and the track runs from x 4 to 109).
void MakeSeekBar(TYTrackBar& bar) {
  bar.resize(113, 17);
  bar.SetMin(0);
  bar.SetMax(100);
  bar.SetThumbWidth(10);
  bar.SetThumbColor(kThumb);
  SetWindowColor(bar);
}

// Delivers a synthesized mouse event straight to the widget. A move carries the left button as
// held; a press or release names the button that went down or up.
void SendMouse(QWidget& widget, QEvent::Type type, double x, double y = 8.0,
               Qt::MouseButton button = Qt::LeftButton) {
  Qt::MouseButton changed = button;
  Qt::MouseButtons held = button;
  if (type == QEvent::MouseMove) changed = Qt::NoButton;
  if (type == QEvent::MouseMove) held = Qt::LeftButton;
  if (type == QEvent::MouseButtonRelease) held = Qt::NoButton;
  const QPointF local(x, y);
  QMouseEvent event(type, local, widget.mapToGlobal(local), changed, held, Qt::NoModifier);
  QApplication::sendEvent(&widget, &event);
}

void Press(QWidget& widget, double x, Qt::MouseButton button = Qt::LeftButton) {
  SendMouse(widget, QEvent::MouseButtonPress, x, 8.0, button);
}
void Move(QWidget& widget, double x) { SendMouse(widget, QEvent::MouseMove, x); }
void Release(QWidget& widget, double x, Qt::MouseButton button = Qt::LeftButton) {
  SendMouse(widget, QEvent::MouseButtonRelease, x, 8.0, button);
}

// Records the paint events a widget receives.
class PaintRecorder : public QObject {
 public:
  explicit PaintRecorder(QWidget& widget) { widget.installEventFilter(this); }
  std::vector<QRegion> regions;

 protected:
  bool eventFilter(QObject*, QEvent* event) override {
    if (event->type() == QEvent::Paint) regions.push_back(static_cast<QPaintEvent*>(event)->region());
    return false;
  }
};

// The solid thumb centred at x 56 on the 113 x 17 bar: black from x 51 to 60 and y 1 to 15, a
// white highlight up x 52 (y 2..14) and along y 2 (x 52..59), the thumb colour in between.
void ExpectSolidThumbAt56(const QImage& image) {
  for (int y = 1; y <= 15; ++y) {
    EXPECT_EQ(PixelAt(image, 51, y), "#000000") << "y " << y;
    EXPECT_EQ(PixelAt(image, 60, y), "#000000") << "y " << y;
    EXPECT_EQ(PixelAt(image, 50, y), y == 7 || y == 8 ? (y == 7 ? "#000000" : "#ffffff") : Name(kWindow))
        << "y " << y;
    EXPECT_EQ(PixelAt(image, 61, y), y == 7 || y == 8 ? (y == 7 ? "#000000" : "#ffffff") : Name(kWindow))
        << "y " << y;
  }
  for (int x = 51; x <= 60; ++x) {
    EXPECT_EQ(PixelAt(image, x, 1), "#000000") << "x " << x;
    EXPECT_EQ(PixelAt(image, x, 0), Name(kWindow)) << "x " << x;
    EXPECT_EQ(PixelAt(image, x, 16), Name(kWindow)) << "x " << x;
  }
  for (int y = 2; y <= 14; ++y) EXPECT_EQ(PixelAt(image, 52, y), "#ffffff") << "y " << y;
  EXPECT_EQ(PixelAt(image, 52, 15), "#000000");
  for (int x = 52; x <= 59; ++x) EXPECT_EQ(PixelAt(image, x, 2), "#ffffff") << "x " << x;
  for (int y = 3; y <= 13; ++y) {
    for (int x = 53; x <= 59; ++x) EXPECT_EQ(PixelAt(image, x, y), Name(kThumb)) << x << "," << y;
  }
  for (int x = 53; x <= 59; ++x) {
    EXPECT_EQ(PixelAt(image, x, 14), "#000000") << "x " << x;
    EXPECT_EQ(PixelAt(image, x, 15), "#000000") << "x " << x;
  }
}

TEST(TYTrackBarTest, StartsWithTheDesignedDefaults) {
  TYTrackBar bar;
  EXPECT_EQ(bar.Max(), 100);
  EXPECT_EQ(bar.Min(), 0);
  EXPECT_EQ(bar.Position(), 0);
  EXPECT_EQ(bar.ThumbWidth(), 10);
  EXPECT_EQ(bar.ThumbColor(), bar.palette().color(QPalette::Button));
  EXPECT_EQ(bar.GageColor(), QColor(Qt::white));
  EXPECT_EQ(bar.size(), QSize(160, 30));
  // The side margin starts at 4, not at ThumbWidth div 2 + 1.
  EXPECT_EQ(bar.SideMargin(), 4);
  EXPECT_EQ(bar.TrackLength(), 152);
  EXPECT_FALSE(bar.Dragging());
}

TEST(TYTrackBarTest, ThumbWidthChangesTheMarginsOnlyWhenItChanges) {
  TYTrackBar bar;
  bar.SetThumbWidth(10);
  EXPECT_EQ(bar.SideMargin(), 4);
  bar.SetThumbWidth(12);
  EXPECT_EQ(bar.ThumbWidth(), 12);
  EXPECT_EQ(bar.SideMargin(), 7);
  bar.SetThumbWidth(2);
  bar.SetThumbWidth(1);
  bar.SetThumbWidth(-8);
  EXPECT_EQ(bar.ThumbWidth(), 12);
  EXPECT_EQ(bar.SideMargin(), 7);
  bar.SetThumbWidth(3);
  EXPECT_EQ(bar.ThumbWidth(), 3);
  EXPECT_EQ(bar.SideMargin(), 2);
  bar.SetThumbWidth(10);
  EXPECT_EQ(bar.SideMargin(), 6);
  EXPECT_EQ(bar.TrackLength(), 160 - 12);
}

TEST(TYTrackBarTest, MaxAndMinIgnoreValuesThatWouldEmptyTheRange) {
  TYTrackBar bar;
  bar.SetMax(0);
  EXPECT_EQ(bar.Max(), 100);
  bar.SetMax(-5);
  EXPECT_EQ(bar.Max(), 100);
  bar.SetMin(100);
  EXPECT_EQ(bar.Min(), 0);
  bar.SetMin(150);
  EXPECT_EQ(bar.Min(), 0);
  bar.SetMax(1);
  EXPECT_EQ(bar.Max(), 1);
  bar.SetMin(-7);
  EXPECT_EQ(bar.Min(), -7);
  bar.SetMin(1);
  EXPECT_EQ(bar.Min(), -7);
  bar.SetMax(-7);
  EXPECT_EQ(bar.Max(), 1);
  bar.SetMax(-6);
  EXPECT_EQ(bar.Max(), -6);
}

TEST(TYTrackBarTest, MaxAndMinDoNotReclampThePosition) {
  TYTrackBar bar;
  bar.SetPosition(80);
  bar.SetMax(50);
  EXPECT_EQ(bar.Position(), 80);
  bar.SetMin(-10);
  bar.SetPosition(-10);
  bar.SetMin(0);
  EXPECT_EQ(bar.Position(), -10);
}

TEST(TYTrackBarTest, PositionIsClampedAndDoesNotSignalAChange) {
  TYTrackBar bar;
  int changes = 0;
  QObject::connect(&bar, &TYTrackBar::OnChange, [&] { ++changes; });
  bar.SetPosition(150);
  EXPECT_EQ(bar.Position(), 100);
  bar.SetPosition(-5);
  EXPECT_EQ(bar.Position(), 0);
  bar.SetPosition(42);
  EXPECT_EQ(bar.Position(), 42);
  EXPECT_EQ(changes, 0);
}

TEST(TYTrackBarTest, SeekBarDrawsTheThumbAtTheTruncatedCentre) {
  TYTrackBar bar;
  MakeSeekBar(bar);
  bar.SetPosition(50);
  EXPECT_EQ(bar.TrackLength(), 105);
  EXPECT_EQ(bar.ThumbCentre(), 56);  // 4 + trunc(52.5)
  const QImage image = Grab(bar);
  ExpectSolidThumbAt56(image);
}

TEST(TYTrackBarTest, SeekBarDrawsTheTrackLines) {
  TYTrackBar bar;
  MakeSeekBar(bar);
  bar.SetPosition(50);
  const QImage image = Grab(bar);
  // On a 17-pixel bar the track's inside is empty (top margin 8 > 17 - 10). The black stroke
  // covers x 3..4 from y 6 to 8 and y 7..8 from x 3 to 109; the white line runs down x 110 from
  // y 7 and back along y 8 to x 5, over the black.
  for (int y : {6, 7, 8}) {
    EXPECT_EQ(PixelAt(image, 3, y), "#000000") << "y " << y;
    EXPECT_EQ(PixelAt(image, 4, y), "#000000") << "y " << y;
  }
  EXPECT_EQ(PixelAt(image, 3, 5), Name(kWindow));
  EXPECT_EQ(PixelAt(image, 3, 9), Name(kWindow));
  EXPECT_EQ(PixelAt(image, 2, 7), Name(kWindow));
  EXPECT_EQ(PixelAt(image, 5, 6), Name(kWindow));
  for (int x = 5; x <= 109; ++x) {
    if (x >= 51 && x <= 60) continue;  // the thumb
    EXPECT_EQ(PixelAt(image, x, 7), "#000000") << "x " << x;
    EXPECT_EQ(PixelAt(image, x, 8), "#ffffff") << "x " << x;
    EXPECT_EQ(PixelAt(image, x, 6), Name(kWindow)) << "x " << x;
    EXPECT_EQ(PixelAt(image, x, 9), Name(kWindow)) << "x " << x;
  }
  EXPECT_EQ(PixelAt(image, 110, 7), "#ffffff");
  EXPECT_EQ(PixelAt(image, 110, 8), "#ffffff");
  EXPECT_EQ(PixelAt(image, 110, 6), Name(kWindow));
  EXPECT_EQ(PixelAt(image, 110, 9), Name(kWindow));
  EXPECT_EQ(PixelAt(image, 111, 7), Name(kWindow));
  EXPECT_EQ(PixelAt(image, 111, 8), Name(kWindow));
}

TEST(TYTrackBarTest, TallBarFillsTheTrackWithTheGageColour) {
  TYTrackBar bar;  // 160 x 30: margins 4, top 8, bottom 10
  SetWindowColor(bar);
  bar.SetGageColor(kGage);
  bar.SetPosition(50);  // centre 4 + 76 = 80, the thumb from x 75 to 84
  QImage image = Grab(bar);
  // The inside: x 4..155, y 8..19.
  EXPECT_EQ(PixelAt(image, 5, 9), Name(kGage));
  EXPECT_EQ(PixelAt(image, 100, 19), Name(kGage));
  EXPECT_EQ(PixelAt(image, 150, 9), Name(kGage));
  EXPECT_EQ(PixelAt(image, 100, 20), Name(kWindow));
  // Black on the left (x 3..4, y 7..20) and the top (y 7..8, x 3..156).
  EXPECT_EQ(PixelAt(image, 3, 20), "#000000");
  EXPECT_EQ(PixelAt(image, 4, 20), "#000000");
  EXPECT_EQ(PixelAt(image, 4, 12), "#000000");
  EXPECT_EQ(PixelAt(image, 3, 21), Name(kWindow));
  EXPECT_EQ(PixelAt(image, 100, 7), "#000000");
  EXPECT_EQ(PixelAt(image, 100, 8), "#000000");
  EXPECT_EQ(PixelAt(image, 100, 6), Name(kWindow));
  // White on the right (x 157, y 7..21) and the bottom (y 21, x 5..157).
  EXPECT_EQ(PixelAt(image, 157, 7), "#ffffff");
  EXPECT_EQ(PixelAt(image, 157, 21), "#ffffff");
  EXPECT_EQ(PixelAt(image, 157, 22), Name(kWindow));
  EXPECT_EQ(PixelAt(image, 5, 21), "#ffffff");
  EXPECT_EQ(PixelAt(image, 100, 21), "#ffffff");
  EXPECT_EQ(PixelAt(image, 4, 21), Name(kWindow));
  // At the far end the thumb covers the right edge: centre 4 + 152 = 156, the thumb from x 151
  // to 160, cut at 159.
  bar.SetPosition(100);
  image = Grab(bar);
  EXPECT_EQ(PixelAt(image, 157, 10), Name(bar.ThumbColor()));
  EXPECT_EQ(PixelAt(image, 151, 1), "#000000");
  EXPECT_EQ(PixelAt(image, 152, 10), "#ffffff");
  EXPECT_EQ(PixelAt(image, 150, 1), Name(kWindow));
  EXPECT_EQ(PixelAt(image, 159, 0), Name(kWindow));
}

TEST(TYTrackBarTest, ThumbShareIsMeasuredFromMin) {
  TYTrackBar bar;
  MakeSeekBar(bar);
  bar.SetMax(120);
  bar.SetMin(20);
  bar.SetPosition(70);
  // (70 - 20) / (120 - 20) * 105 = 52.5: the same centre as 50 in 0..100.
  EXPECT_EQ(bar.ThumbCentre(), 56);
  ExpectSolidThumbAt56(Grab(bar));
}

TEST(TYTrackBarTest, PressWithinHalfTheThumbWidthStartsADrag) {
  TYTrackBar bar;
  MakeSeekBar(bar);
  bar.SetPosition(50);  // centre 56, half width 5
  Press(bar, 62);
  EXPECT_FALSE(bar.Dragging());
  Release(bar, 62);
  Press(bar, 50);
  EXPECT_FALSE(bar.Dragging());
  Release(bar, 50);
  // A press beside the thumb does not move it.
  EXPECT_EQ(bar.Position(), 50);
  Press(bar, 61);
  EXPECT_TRUE(bar.Dragging());
  Release(bar, 61);
  EXPECT_FALSE(bar.Dragging());
  Press(bar, 51);
  EXPECT_TRUE(bar.Dragging());
  Release(bar, 51);
  // The pixel the mouse is in counts: 61.9 lies in pixel 61.
  Press(bar, 61.9);
  EXPECT_TRUE(bar.Dragging());
  Release(bar, 61.9);
  // Any button starts a drag and any button ends it; y is not looked at.
  SendMouse(bar, QEvent::MouseButtonPress, 56, 16.0, Qt::RightButton);
  EXPECT_TRUE(bar.Dragging());
  Release(bar, 56, Qt::MiddleButton);
  EXPECT_FALSE(bar.Dragging());
  EXPECT_EQ(bar.Position(), 50);
}

TEST(TYTrackBarTest, DragMovesThePositionByTheTruncatedShare) {
  TYTrackBar bar;
  MakeSeekBar(bar);
  bar.SetPosition(50);
  Press(bar, 56);
  Move(bar, 77);  // 21 * 100 / 105 = 20
  EXPECT_EQ(bar.Position(), 70);
  Move(bar, 57);  // 1 * 100 / 105 = 0.95 -> 0
  EXPECT_EQ(bar.Position(), 50);
  Move(bar, 55);  // -0.95 -> 0, toward zero
  EXPECT_EQ(bar.Position(), 50);
  Move(bar, 54);  // -1.90 -> -1
  EXPECT_EQ(bar.Position(), 49);
  Move(bar, 35);  // -21 -> -20
  EXPECT_EQ(bar.Position(), 30);
  Move(bar, 500);  // clamped to Max
  EXPECT_EQ(bar.Position(), 100);
  Move(bar, -300);  // clamped to Min
  EXPECT_EQ(bar.Position(), 0);
  Move(bar, 98);  // 42 * 100 / 105 = 40
  Release(bar, 98);
  EXPECT_EQ(bar.Position(), 90);
  EXPECT_EQ(bar.ThumbCentre(), 98);  // 4 + trunc(94.5)
}

TEST(TYTrackBarTest, DragUsesTheWholeRangeForLargeValues) {
  TYTrackBar bar;
  MakeSeekBar(bar);
  // The monitor's byte range of a large file: the distance times the range exceeds 32 bits.
  bar.SetMax(2000000000);
  bar.SetMin(-2000000000);
  bar.SetPosition(0);
  const auto centre = static_cast<double>(bar.ThumbCentre());
  EXPECT_EQ(centre, 56.0);  // 4 + trunc(52.5)
  Press(bar, 56);
  Move(bar, 77);  // trunc(21 * 4e9 / 105) = 800000000
  EXPECT_EQ(bar.Position(), 800000000);
  Move(bar, 10);  // trunc(-46 * 4e9 / 105) = -1752380952
  EXPECT_EQ(bar.Position(), -1752380952);
  Release(bar, 10);
}

TEST(TYTrackBarTest, ChangeIsSignalledOnEveryMoveOfADragOnly) {
  TYTrackBar bar;
  MakeSeekBar(bar);
  bar.SetPosition(50);
  std::vector<std::string> log;
  QObject::connect(&bar, &TYTrackBar::OnChange, [&] { log.push_back("change"); });
  QObject::connect(&bar, &TYTrackBar::OnMouseDown, [&](QMouseEvent* event) {
    log.push_back("down " + std::to_string(static_cast<int>(event->position().x())));
  });
  QObject::connect(&bar, &TYTrackBar::OnMouseMove, [&](QMouseEvent* event) {
    log.push_back("move " + std::to_string(static_cast<int>(event->position().x())) +
                  (bar.Dragging() ? " dragging" : ""));
  });
  QObject::connect(&bar, &TYTrackBar::OnMouseUp, [&](QMouseEvent* event) {
    log.push_back("up " + std::to_string(static_cast<int>(event->position().x())) +
                  (bar.Dragging() ? " dragging" : ""));
  });

  Move(bar, 20);   // hovering
  Press(bar, 20);  // beside the thumb
  Move(bar, 30);
  Release(bar, 30);
  Press(bar, 56);
  Move(bar, 57);  // no change of position, still signalled
  Move(bar, 77);
  Move(bar, 77);
  Release(bar, 77);
  Move(bar, 90);

  const std::vector<std::string> expected = {
      "move 20",          "down 20", "move 30",          "up 30",  "down 56", "move 57 dragging", "change",
      "move 77 dragging", "change",  "move 77 dragging", "change", "up 77",   "move 90"};
  EXPECT_EQ(log, expected);
  EXPECT_EQ(bar.Position(), 70);
}

TEST(TYTrackBarTest, OutlineFollowsTheDragAndTheSolidThumbStays) {
  TYTrackBar bar;
  MakeSeekBar(bar);
  bar.SetPosition(50);
  Press(bar, 56);
  // Before the position changes there is no outline.
  Move(bar, 57);
  ExpectSolidThumbAt56(Grab(bar));

  Move(bar, 77);  // Position 70: centre 4 + trunc(73.5) = 77, outline from x 72 to 81
  ASSERT_EQ(bar.Position(), 70);
  QImage image = Grab(bar);
  ExpectSolidThumbAt56(image);
  // The outline inverts what lies beneath: the window, the black and the white track lines.
  for (int y : {1, 2, 5, 10, 15}) {
    EXPECT_EQ(PixelAt(image, 72, y), Name(kWindowInverted)) << "y " << y;
    EXPECT_EQ(PixelAt(image, 81, y), Name(kWindowInverted)) << "y " << y;
    EXPECT_EQ(PixelAt(image, 71, y), Name(kWindow)) << "y " << y;
    EXPECT_EQ(PixelAt(image, 82, y), Name(kWindow)) << "y " << y;
  }
  EXPECT_EQ(PixelAt(image, 72, 7), "#ffffff");
  EXPECT_EQ(PixelAt(image, 72, 8), "#000000");
  EXPECT_EQ(PixelAt(image, 81, 7), "#ffffff");
  EXPECT_EQ(PixelAt(image, 81, 8), "#000000");
  for (int x = 73; x <= 80; ++x) {
    EXPECT_EQ(PixelAt(image, x, 1), Name(kWindowInverted)) << "x " << x;
    EXPECT_EQ(PixelAt(image, x, 15), Name(kWindowInverted)) << "x " << x;
    EXPECT_EQ(PixelAt(image, x, 0), Name(kWindow)) << "x " << x;
    EXPECT_EQ(PixelAt(image, x, 16), Name(kWindow)) << "x " << x;
    // Inside the outline nothing is inverted.
    EXPECT_EQ(PixelAt(image, x, 5), Name(kWindow)) << "x " << x;
    EXPECT_EQ(PixelAt(image, x, 7), "#000000") << "x " << x;
    EXPECT_EQ(PixelAt(image, x, 8), "#ffffff") << "x " << x;
  }

  // Moving on removes the old outline and draws the new one.
  Move(bar, 87);  // 31 * 100 / 105 = 29.5 -> 29: Position 79, centre 4 + trunc(82.95) = 86
  ASSERT_EQ(bar.Position(), 79);
  image = Grab(bar);
  ExpectSolidThumbAt56(image);
  EXPECT_EQ(PixelAt(image, 72, 5), Name(kWindow));
  EXPECT_EQ(PixelAt(image, 72, 7), "#000000");
  EXPECT_EQ(PixelAt(image, 76, 1), Name(kWindow));
  EXPECT_EQ(PixelAt(image, 81, 5), Name(kWindowInverted));
  EXPECT_EQ(PixelAt(image, 90, 5), Name(kWindowInverted));
  EXPECT_EQ(PixelAt(image, 91, 5), Name(kWindow));
  EXPECT_EQ(PixelAt(image, 85, 1), Name(kWindowInverted));
}

TEST(TYTrackBarTest, OutlineStaysPutWhenThePositionReturnsToItsStart) {
  TYTrackBar bar;
  MakeSeekBar(bar);
  bar.SetPosition(50);
  Press(bar, 56);
  Move(bar, 77);  // outline from x 72 to 81
  Move(bar, 56);  // Position 50 again: nothing is painted
  ASSERT_EQ(bar.Position(), 50);
  QImage image = Grab(bar);
  EXPECT_EQ(PixelAt(image, 72, 5), Name(kWindowInverted));
  EXPECT_EQ(PixelAt(image, 81, 5), Name(kWindowInverted));
  ExpectSolidThumbAt56(image);
  Release(bar, 56);
  image = Grab(bar);
  EXPECT_EQ(PixelAt(image, 72, 5), Name(kWindow));
  ExpectSolidThumbAt56(image);
}

TEST(TYTrackBarTest, OutlineOverTheSolidThumbInvertsIt) {
  TYTrackBar bar;
  MakeSeekBar(bar);
  bar.SetPosition(50);
  Press(bar, 56);
  Move(bar, 58);  // 2 * 100 / 105 = 1.9 -> 1: Position 51, centre 4 + trunc(53.55) = 57
  ASSERT_EQ(bar.Position(), 51);
  const QImage image = Grab(bar);
  // The outline's left edge, x 52, lies on the solid thumb's highlight and black bottom.
  EXPECT_EQ(PixelAt(image, 52, 1), "#ffffff");
  EXPECT_EQ(PixelAt(image, 52, 5), "#000000");
  EXPECT_EQ(PixelAt(image, 52, 15), "#ffffff");
  // Its top and bottom rows run over the thumb's black edges, its right edge x 61 beside it.
  EXPECT_EQ(PixelAt(image, 55, 1), "#ffffff");
  EXPECT_EQ(PixelAt(image, 55, 15), "#ffffff");
  EXPECT_EQ(PixelAt(image, 60, 1), "#ffffff");
  EXPECT_EQ(PixelAt(image, 60, 5), "#000000");
  EXPECT_EQ(PixelAt(image, 61, 5), Name(kWindowInverted));
  EXPECT_EQ(PixelAt(image, 61, 7), "#ffffff");
  // The rest of the solid thumb is untouched.
  EXPECT_EQ(PixelAt(image, 51, 5), "#000000");
  EXPECT_EQ(PixelAt(image, 53, 2), "#ffffff");
  EXPECT_EQ(PixelAt(image, 55, 8), Name(kThumb));
}

TEST(TYTrackBarTest, ReleaseDrawsTheSolidThumbAtTheNewPosition) {
  TYTrackBar bar;
  MakeSeekBar(bar);
  bar.SetPosition(50);
  Press(bar, 56);
  Move(bar, 77);
  Release(bar, 77);
  EXPECT_EQ(bar.Position(), 70);
  const QImage image = Grab(bar);
  // Centre 77: black from x 72 to 81, highlight at x 73, the thumb colour from x 74 to 80.
  for (int y = 1; y <= 15; ++y) {
    EXPECT_EQ(PixelAt(image, 72, y), "#000000") << "y " << y;
    EXPECT_EQ(PixelAt(image, 81, y), "#000000") << "y " << y;
  }
  EXPECT_EQ(PixelAt(image, 73, 8), "#ffffff");
  EXPECT_EQ(PixelAt(image, 76, 2), "#ffffff");
  EXPECT_EQ(PixelAt(image, 76, 8), Name(kThumb));
  EXPECT_EQ(PixelAt(image, 82, 5), Name(kWindow));
  // Where the thumb was, the track shows again.
  EXPECT_EQ(PixelAt(image, 51, 5), Name(kWindow));
  EXPECT_EQ(PixelAt(image, 55, 7), "#000000");
  EXPECT_EQ(PixelAt(image, 55, 8), "#ffffff");
  EXPECT_EQ(PixelAt(image, 60, 1), Name(kWindow));
}

TEST(TYTrackBarTest, DragRepaintsOnlyTheOutlinesAndReleaseRepaintsAll) {
  QWidget window;
  window.resize(200, 40);
  TYTrackBar bar(&window);
  MakeSeekBar(bar);
  bar.SetPosition(50);
  window.show();
  QApplication::processEvents();
  ASSERT_TRUE(bar.isVisible());

  PaintRecorder recorder(bar);
  Press(bar, 56);
  Move(bar, 57);  // the position does not change: nothing to paint
  EXPECT_TRUE(recorder.regions.empty());
  Move(bar, 77);  // the first outline, x 72..81, painted at once
  ASSERT_EQ(recorder.regions.size(), 1u);
  EXPECT_EQ(recorder.regions[0], QRegion(QRect(72, 1, 10, 15)));
  Move(bar, 87);  // the old outline away, the new one at x 81..90
  ASSERT_EQ(recorder.regions.size(), 2u);
  EXPECT_EQ(recorder.regions[1], QRegion(QRect(72, 1, 10, 15)) + QRegion(QRect(81, 1, 10, 15)));
  QApplication::processEvents();
  EXPECT_EQ(recorder.regions.size(), 2u);

  Release(bar, 87);
  QApplication::processEvents();
  ASSERT_EQ(recorder.regions.size(), 3u);
  EXPECT_EQ(recorder.regions[2], QRegion(bar.rect()));
}

TEST(TYTrackBarTest, BarWithoutTrackDoesNotDrag) {
  TYTrackBar bar;
  bar.resize(8, 17);  // 8 - 2 * 4 = 0
  ASSERT_EQ(bar.TrackLength(), 0);
  int changes = 0;
  QObject::connect(&bar, &TYTrackBar::OnChange, [&] { ++changes; });
  bar.SetPosition(50);
  EXPECT_EQ(bar.ThumbCentre(), 4);
  Press(bar, 4);
  EXPECT_FALSE(bar.Dragging());
  Move(bar, 30);
  Release(bar, 30);
  EXPECT_EQ(bar.Position(), 50);
  EXPECT_EQ(changes, 0);
  const QImage image = Grab(bar);
  EXPECT_EQ(PixelAt(image, 0, 1), "#000000");  // the thumb, x -1..8, covers it all
  bar.resize(3, 17);
  EXPECT_EQ(bar.TrackLength(), -5);
  Press(bar, 1);
  EXPECT_FALSE(bar.Dragging());
  Release(bar, 1);
  Grab(bar);
}

}  // namespace
}  // namespace merolune
