// The decoding and encoding banners: their texts, fonts, colours and placement.

#include "Banners.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QDir>
#include <QGuiApplication>
#include <QImage>
#include <QLabel>
#include <QScreen>
#include <QWindow>
#include <cstdlib>
#include <memory>
#include <string>

#include "GradBox.h"
#include "Pixels.h"

namespace merolune {
namespace {

using test::Grab;
using test::PixelAt;

struct BannerCase {
  const char* name;
  std::unique_ptr<TBannerForm> (*make)(QWidget* parent);
  const char* headline;
  bool staysOnTop;
  QColor farColour;  // where the gradient ends, at the right edge
};

const BannerCase kCases[] = {
    {"decoding", [](QWidget* parent) { return std::unique_ptr<TBannerForm>(new TDecodingDlg(parent)); },
     "Now Decoding...", true, QColor(162, 220, 255)},
    {"encoding", [](QWidget* parent) { return std::unique_ptr<TBannerForm>(new TEncodingDlg(parent)); },
     "Now Encoding...", false, QColor(255, 162, 164)},
};

class BannerTest : public ::testing::TestWithParam<BannerCase> {
 protected:
  BannerTest() : banner_(GetParam().make(nullptr)) {}
  std::unique_ptr<TBannerForm> banner_;
};

bool Near(const QColor& a, const QColor& b, int tolerance) {
  return std::abs(a.red() - b.red()) <= tolerance && std::abs(a.green() - b.green()) <= tolerance &&
         std::abs(a.blue() - b.blue()) <= tolerance;
}

bool Dark(const QColor& c) { return c.red() < 96 && c.green() < 96 && c.blue() < 96; }

int DarkPixelsIn(const QImage& image, const QRect& area) {
  int count = 0;
  for (int y = area.top(); y <= area.bottom(); ++y) {
    for (int x = area.left(); x <= area.right(); ++x) count += Dark(QColor(image.pixel(x, y))) ? 1 : 0;
  }
  return count;
}

TEST_P(BannerTest, IsABorderlessFixedSizeWindowCentredOnTheDesktop) {
  EXPECT_EQ(banner_->size(), QSize(240, 69));
  EXPECT_EQ(banner_->minimumSize(), QSize(240, 69));
  EXPECT_EQ(banner_->maximumSize(), QSize(240, 69));
  EXPECT_TRUE(banner_->isWindow());
  EXPECT_TRUE(banner_->windowFlags().testFlag(Qt::FramelessWindowHint));
  EXPECT_EQ(banner_->windowFlags().testFlag(Qt::WindowStaysOnTopHint), GetParam().staysOnTop);

  banner_->show();
  QCoreApplication::processEvents();
  const QPoint desktopCentre = QGuiApplication::primaryScreen()->availableGeometry().center();
  EXPECT_LE((banner_->frameGeometry().center() - desktopCentre).manhattanLength(), 2);
}

TEST_P(BannerTest, GradientFillsTheFormFromWhiteToTheBannerColour) {
  EXPECT_EQ(banner_->GradBox1->geometry(), QRect(0, 0, 240, 69));
  EXPECT_EQ(banner_->GradBox1->Direction(), gdHorizontal);
  EXPECT_EQ(banner_->GradBox1->GradStep(), 128);
  EXPECT_EQ(banner_->GradBox1->StartColor(), QColor(Qt::white));
  EXPECT_EQ(banner_->GradBox1->EndColor(), GetParam().farColour);

  const QImage image = Grab(*banner_);
  // Just inside the frame, below the texts. The bands are two pixels wide and the last ones fall
  // past the right edge, so the far edge shows a colour about ten steps short of the end colour.
  for (int y : {3, 63, 65}) {
    EXPECT_TRUE(Near(QColor(image.pixel(2, y)), Qt::white, 2)) << PixelAt(image, 2, y);
    EXPECT_TRUE(Near(QColor(image.pixel(237, y)), GetParam().farColour, 12)) << PixelAt(image, 237, y);
  }
  // Half way across the colour is half way between the two ends.
  const QColor middle(image.pixel(120, 65));
  const QColor far = GetParam().farColour;
  EXPECT_TRUE(Near(middle, QColor((255 + far.red()) / 2, (255 + far.green()) / 2, (255 + far.blue()) / 2), 4))
      << test::Name(middle);
}

TEST_P(BannerTest, FrameIsTwoBlackPixelsRoundTheEdge) {
  const QImage image = Grab(*banner_);
  const QColor black(Qt::black);
  for (int x = 0; x < 240; ++x) {
    for (int y : {0, 1, 67, 68}) EXPECT_EQ(QColor(image.pixel(x, y)), black) << x << "," << y;
  }
  for (int y = 0; y < 69; ++y) {
    for (int x : {0, 1, 238, 239}) EXPECT_EQ(QColor(image.pixel(x, y)), black) << x << "," << y;
  }
  // The third pixel in is the gradient again.
  EXPECT_FALSE(Dark(QColor(image.pixel(2, 34))));
  EXPECT_FALSE(Dark(QColor(image.pixel(237, 34))));
  EXPECT_FALSE(Dark(QColor(image.pixel(120, 2))));
  EXPECT_FALSE(Dark(QColor(image.pixel(120, 66))));
}

TEST_P(BannerTest, LabelsSayWhatHappensInTimesAtTheirPlaces) {
  EXPECT_EQ(banner_->Label1->text(), QString::fromUtf8(GetParam().headline));
  EXPECT_EQ(banner_->Label1->pos(), QPoint(16, 8));
  EXPECT_EQ(banner_->Label1->font().families().value(0), QStringLiteral("Times New Roman"));
  EXPECT_EQ(banner_->Label1->font().pixelSize(), 29);
  EXPECT_TRUE(banner_->Label1->font().bold());

  EXPECT_EQ(banner_->Label2->text(), QStringLiteral("Please wait."));
  EXPECT_EQ(banner_->Label2->pos(), QPoint(24, 40));
  EXPECT_EQ(banner_->Label2->font().families().value(0), QStringLiteral("Times New Roman"));
  EXPECT_EQ(banner_->Label2->font().pixelSize(), 16);
  EXPECT_FALSE(banner_->Label2->font().bold());

  // Both texts fit inside the frame.
  const QRect inside(2, 2, 236, 65);
  EXPECT_TRUE(inside.contains(banner_->Label1->geometry())) << banner_->Label1->width();
  EXPECT_TRUE(inside.contains(banner_->Label2->geometry())) << banner_->Label2->width();
}

TEST_P(BannerTest, TextsAreDrawnOverTheGradient) {
  const QImage image = Grab(*banner_);
  // The headline's strokes are thick: many dark pixels where it stands.
  EXPECT_GT(DarkPixelsIn(image, QRect(16, 8, 200, 30)), 300);
  EXPECT_GT(DarkPixelsIn(image, QRect(24, 40, 80, 18)), 60);
  // Right of "Please wait." and below the headline's descenders there is only gradient.
  EXPECT_EQ(DarkPixelsIn(image, QRect(130, 48, 100, 17)), 0);
  // The labels are transparent: between the letters the gradient shows, not a flat label colour.
  EXPECT_TRUE(Near(QColor(image.pixel(17, 9)), QColor(image.pixel(17, 64)), 2)) << PixelAt(image, 17, 9);

  if (const char* dir = std::getenv("MEROLUNE_SCREENSHOT_DIR")) {
    QDir().mkpath(QString::fromLocal8Bit(dir));
    const QString path =
        QDir(QString::fromLocal8Bit(dir)).filePath(QStringLiteral("%1.png").arg(GetParam().name));
    EXPECT_TRUE(image.save(path)) << path.toStdString();
  }
}

// Over the disabled window of a running job, as the window shows it: a frameless window of its own,
// transient for the job's window so that a click there cannot raise the job's window over it, and
// looking exactly as it does alone.
TEST_P(BannerTest, OverADisabledWindowItIsTransientForItAndLooksTheSame) {
  QWidget window;
  window.show();
  window.setEnabled(false);
  const std::unique_ptr<TBannerForm> over = GetParam().make(&window);
  over->show();
  QCoreApplication::processEvents();
  EXPECT_TRUE(over->isWindow());
  // The kind of window whose parent the X11 window manager is told of.
  EXPECT_EQ(over->windowType(), Qt::Tool);
  EXPECT_TRUE(over->windowFlags().testFlag(Qt::FramelessWindowHint));
  EXPECT_EQ(over->windowFlags().testFlag(Qt::WindowStaysOnTopHint), GetParam().staysOnTop);
  ASSERT_NE(over->windowHandle(), nullptr);
  EXPECT_EQ(over->windowHandle()->transientParent(), window.windowHandle());
  EXPECT_EQ(over->size(), banner_->size());
  EXPECT_EQ(over->pos(), banner_->pos());

  // A window disabled after the banner came does not grey it either.
  window.setEnabled(true);
  window.setEnabled(false);
  EXPECT_EQ(Grab(*over), Grab(*banner_));
}

INSTANTIATE_TEST_SUITE_P(Banners, BannerTest, ::testing::ValuesIn(kCases),
                         [](const ::testing::TestParamInfo<BannerCase>& param) { return param.param.name; });

}  // namespace
}  // namespace merolune
