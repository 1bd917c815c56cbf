// Draws the version dialog's picture (461 x 346 JPEG) from the program's icon and name.
//
//   merolune-versionpicture ICON.svg OUT.jpg
//
// The picture is drawn in code, with the fonts the install scripts provide, and committed as
// dialogs/ui/version.jpg; run it again after changing the icon or the design. The dialog puts its
// version label, the site's link and OK over the dark strip along the bottom (y 300 to 346).

#include <QFont>
#include <QGuiApplication>
#include <QImage>
#include <QImageWriter>
#include <QLinearGradient>
#include <QPainter>
#include <QPainterPath>
#include <QRadialGradient>
#include <QSvgRenderer>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <numbers>

namespace {

constexpr int kWidth = 461;
constexpr int kHeight = 346;
constexpr int kStripTop = 300;
constexpr int kJpegQuality = 92;

QFont Face(const QStringList& families, int pixelSize, int weight) {
  QFont font;
  font.setFamilies(families);
  font.setPixelSize(pixelSize);
  font.setWeight(static_cast<QFont::Weight>(weight));
  font.setHintingPreference(QFont::PreferNoHinting);
  return font;
}

// Two faint waveforms across the picture, left and right channel: they meet in the middle, where
// the voice sits and the program takes it away.
void DrawWaves(QPainter& p) {
  for (int channel = 0; channel < 2; ++channel) {
    QPainterPath wave;
    const double phase = channel == 0 ? 0.0 : std::numbers::pi;
    for (int x = 0; x <= kWidth; ++x) {
      const double t = static_cast<double>(x) / kWidth;
      // The swing shrinks towards the centre of the picture and grows again.
      const double swing = 6.0 + 26.0 * std::abs(t - 0.5) * 2.0;
      const double y = 236.0 + swing * std::sin(t * 9.0 * std::numbers::pi + phase) *
                                   std::sin(t * 2.3 * std::numbers::pi + 0.4);
      if (x == 0) wave.moveTo(x, y); else wave.lineTo(x, y);
    }
    p.setPen(QPen(channel == 0 ? QColor(170, 150, 255, 90) : QColor(250, 230, 150, 80), 2.0));
    p.setBrush(Qt::NoBrush);
    p.drawPath(wave);
  }
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: %s ICON.svg OUT.jpg\n", argv[0]);
    return 2;
  }
  ::setenv("QT_QPA_PLATFORM", "offscreen", 0);
  QGuiApplication app(argc, argv);

  QSvgRenderer icon(QString::fromLocal8Bit(argv[1]));
  if (!icon.isValid()) {
    std::fprintf(stderr, "%s: not a readable SVG icon\n", argv[1]);
    return 1;
  }

  QImage image(kWidth, kHeight, QImage::Format_RGB32);
  QPainter p(&image);
  p.setRenderHint(QPainter::Antialiasing);
  p.setRenderHint(QPainter::TextAntialiasing);

  // The night sky of the icon's disc: its two purples, lighter at the upper left.
  QLinearGradient sky(0, 0, kWidth, kHeight);
  sky.setColorAt(0.0, QColor(0x4a, 0x36, 0x8c));
  sky.setColorAt(0.55, QColor(0x2a, 0x1f, 0x5e));
  sky.setColorAt(1.0, QColor(0x16, 0x10, 0x34));
  p.fillRect(image.rect(), sky);
  // A glow behind the icon.
  QRadialGradient glow(QPointF(112, 128), 120);
  glow.setColorAt(0.0, QColor(250, 230, 150, 70));
  glow.setColorAt(1.0, QColor(250, 230, 150, 0));
  p.fillRect(image.rect(), glow);
  // A few stars, placed by a fixed rule so that every run draws the same picture.
  p.setPen(Qt::NoPen);
  for (int i = 0; i < 40; ++i) {
    const double x = std::fmod(i * 97.31 + 13.0, kWidth);
    const double y = std::fmod(i * 53.77 + 7.0, 200.0);
    const double r = 0.6 + (i % 3) * 0.4;
    p.setBrush(QColor(255, 255, 255, 70 + (i % 4) * 30));
    p.drawEllipse(QPointF(x, y), r, r);
  }
  DrawWaves(p);

  icon.render(&p, QRectF(40, 56, 144, 144));

  p.setPen(QColor(255, 255, 255));
  p.setFont(Face({"Liberation Sans", "DejaVu Sans"}, 54, QFont::Bold));
  p.drawText(QRectF(200, 70, 250, 70), Qt::AlignLeft | Qt::AlignVCenter, "Merolune");
  p.setPen(QColor(250, 230, 150));
  p.setFont(Face({"Noto Sans CJK JP", "Noto Sans JP"}, 15, QFont::Medium));
  p.drawText(QRectF(204, 140, 250, 28), Qt::AlignLeft | Qt::AlignVCenter, "ボーカルを消して、カラオケに。");
  p.setPen(QColor(200, 190, 240));
  p.setFont(Face({"Liberation Sans", "DejaVu Sans"}, 13, QFont::Normal));
  p.drawText(QRectF(204, 170, 250, 22), Qt::AlignLeft | Qt::AlignVCenter, "Karaoke maker for Linux");

  // The strip for the dialog's labels and button.
  p.fillRect(QRect(0, kStripTop, kWidth, kHeight - kStripTop), QColor(0x12, 0x0d, 0x2a));
  p.fillRect(QRect(0, kStripTop, kWidth, 1), QColor(250, 230, 150, 120));
  p.end();

  QImageWriter writer(QString::fromLocal8Bit(argv[2]), "jpeg");
  writer.setQuality(kJpegQuality);
  if (!writer.write(image)) {
    std::fprintf(stderr, "%s: %s\n", argv[2], qPrintable(writer.errorString()));
    return 1;
  }
  return 0;
}
