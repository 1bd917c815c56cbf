// The window's pictures, drawn in code.

#include "Icons.h"

#include <QLinearGradient>
#include <QPainter>
#include <QPainterPath>
#include <QPolygonF>

#include "Fonts.h"

namespace merolune {

namespace {

constexpr int kGlyphSize = 16;

QPixmap Canvas(int w, int h) {
  QPixmap pixmap(w, h);
  pixmap.fill(Qt::transparent);
  return pixmap;
}

void DrawGlyph(QPainter& p, Glyph glyph) {
  const QColor ink(40, 40, 48);
  const QColor accent(200, 60, 60);
  const QColor blue(50, 100, 200);
  p.setRenderHint(QPainter::Antialiasing);
  QPen pen(ink, 1.4);
  p.setPen(pen);
  switch (glyph) {
    case Glyph::Open: {
      p.setBrush(QColor(240, 200, 90));
      QPolygonF folder;
      folder << QPointF(1.5, 4) << QPointF(6, 4) << QPointF(7.5, 5.5) << QPointF(14.5, 5.5) << QPointF(14.5, 13.5)
             << QPointF(1.5, 13.5);
      p.drawPolygon(folder);
      break;
    }
    case Glyph::Save: {
      p.setBrush(blue);
      p.drawRoundedRect(QRectF(2, 2, 12, 12), 1.5, 1.5);
      p.setBrush(Qt::white);
      p.drawRect(QRectF(4.5, 2.5, 7, 4.5));
      p.setBrush(QColor(220, 220, 230));
      p.drawRect(QRectF(4.5, 9.5, 7, 4));
      break;
    }
    case Glyph::Run: {
      p.setBrush(accent);
      QPolygonF play;
      play << QPointF(3.5, 2) << QPointF(13.5, 8) << QPointF(3.5, 14);
      p.drawPolygon(play);
      break;
    }
    case Glyph::Cancel: {
      p.setPen(QPen(accent, 2.4, Qt::SolidLine, Qt::RoundCap));
      p.drawLine(QPointF(4, 4), QPointF(12, 12));
      p.drawLine(QPointF(12, 4), QPointF(4, 12));
      break;
    }
    case Glyph::BypassAll: {
      p.setPen(QPen(ink, 1.6, Qt::SolidLine, Qt::RoundCap));
      p.drawLine(QPointF(2, 8), QPointF(13, 8));
      p.drawLine(QPointF(10, 5), QPointF(13, 8));
      p.drawLine(QPointF(10, 11), QPointF(13, 8));
      p.drawArc(QRectF(4, 2, 6, 12), 0, 180 * 16);
      break;
    }
    case Glyph::Inverse: {
      p.setPen(QPen(blue, 1.8, Qt::SolidLine, Qt::RoundCap));
      QPainterPath wave;
      wave.moveTo(1.5, 8);
      wave.cubicTo(4, 1, 6, 1, 8, 8);
      wave.cubicTo(10, 15, 12, 15, 14.5, 8);
      p.setBrush(Qt::NoBrush);
      p.drawPath(wave);
      p.setPen(QPen(accent, 1.4));
      p.drawLine(QPointF(1.5, 14), QPointF(14.5, 2));
      break;
    }
    case Glyph::SubtractionBypass: {
      p.setPen(QPen(ink, 2.2, Qt::SolidLine, Qt::RoundCap));
      p.drawLine(QPointF(3, 8), QPointF(13, 8));
      p.setPen(QPen(accent, 1.4));
      p.setBrush(Qt::NoBrush);
      p.drawEllipse(QRectF(1.5, 1.5, 13, 13));
      break;
    }
    case Glyph::Enhancer: {
      p.setPen(QPen(blue, 1.6, Qt::SolidLine, Qt::RoundCap));
      p.setBrush(Qt::NoBrush);
      p.drawArc(QRectF(5, 5, 6, 6), 0, 360 * 16);
      p.drawArc(QRectF(2.5, 2.5, 11, 11), -50 * 16, 100 * 16);
      p.drawArc(QRectF(2.5, 2.5, 11, 11), 130 * 16, 100 * 16);
      break;
    }
    case Glyph::Play: {
      p.setBrush(QColor(40, 150, 60));
      QPolygonF play;
      play << QPointF(4, 2.5) << QPointF(13, 8) << QPointF(4, 13.5);
      p.drawPolygon(play);
      break;
    }
    case Glyph::Stop: {
      p.setBrush(ink);
      p.drawRect(QRectF(3.5, 3.5, 9, 9));
      break;
    }
  }
}

}  // namespace

QIcon GlyphIcon(Glyph glyph) {
  QIcon icon;
  for (int scale : {1, 2}) {
    QPixmap pixmap = Canvas(kGlyphSize * scale, kGlyphSize * scale);
    pixmap.setDevicePixelRatio(scale);
    QPainter p(&pixmap);
    DrawGlyph(p, glyph);
    p.end();
    icon.addPixmap(pixmap);
  }
  return icon;
}

QPixmap PictureLabel(const QString& text, int width, int height) {
  QPixmap pixmap = Canvas(width, height);
  QPainter p(&pixmap);
  p.setRenderHint(QPainter::Antialiasing);
  QLinearGradient plate(0, 0, 0, height);
  plate.setColorAt(0, QColor(96, 112, 160));
  plate.setColorAt(1, QColor(52, 62, 104));
  p.setPen(Qt::NoPen);
  p.setBrush(plate);
  p.drawRoundedRect(QRectF(0.5, 0.5, width - 1, height - 1), height / 3.0, height / 3.0);
  p.setFont(UiFont(UiFace::Sans, height * 11 / 20, true));
  p.setPen(Qt::white);
  p.drawText(QRect(0, 0, width, height), Qt::AlignCenter, text);
  return pixmap;
}

QIcon ApplicationIcon() {
  QIcon icon;
  for (int size : {16, 32, 48, 64, 128}) {
    QPixmap pixmap = Canvas(size, size);
    QPainter p(&pixmap);
    p.setRenderHint(QPainter::Antialiasing);
    p.scale(size / 64.0, size / 64.0);
    QLinearGradient disc(0, 0, 64, 64);
    disc.setColorAt(0, QColor(120, 90, 200));
    disc.setColorAt(1, QColor(40, 30, 90));
    p.setPen(Qt::NoPen);
    p.setBrush(disc);
    p.drawEllipse(QRectF(2, 2, 60, 60));
    // A moon-like crescent over two stereo bars: the voice taken out of the middle.
    p.setBrush(QColor(250, 230, 150));
    QPainterPath moon;
    moon.addEllipse(QRectF(14, 10, 30, 30));
    QPainterPath bite;
    bite.addEllipse(QRectF(22, 6, 28, 28));
    p.drawPath(moon.subtracted(bite));
    p.setBrush(QColor(255, 255, 255, 220));
    p.drawRoundedRect(QRectF(14, 44, 10, 10), 2, 2);
    p.drawRoundedRect(QRectF(40, 44, 10, 10), 2, 2);
    p.end();
    icon.addPixmap(pixmap);
  }
  return icon;
}

}  // namespace merolune
