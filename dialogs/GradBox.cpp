// The gradient box.

#include "GradBox.h"

#include <QPaintEvent>
#include <QPainter>
#include <cmath>

namespace merolune {

namespace {

// Round to nearest with halves to even: std::nearbyint under the default rounding mode, which
// nothing in the program changes.
int RoundHalfEven(double value) { return static_cast<int>(std::nearbyint(value)); }

// One channel of band i of n: start + round((end - start) / n * i).
int BandChannel(int start, int end, int n, int i) {
  return start + RoundHalfEven(static_cast<double>(end - start) / n * i);
}

}  // namespace

TGradBox::TGradBox(QWidget* parent) : QWidget(parent), startColor_(Qt::white), endColor_(Qt::black) {
  resize(128, 128);
}

QSize TGradBox::sizeHint() const { return QSize(128, 128); }

void TGradBox::SetStartColor(const QColor& value) {
  startColor_ = value;
  update();
  emit OnChange();
}

void TGradBox::SetEndColor(const QColor& value) {
  endColor_ = value;
  update();
  emit OnChange();
}

void TGradBox::SetGradStep(std::uint8_t value) {
  gradStep_ = value;
  update();
  emit OnChange();
}

void TGradBox::SetDirection(TGradDirection value) {
  if (value == direction_) return;
  direction_ = value;
  update();
  emit OnChange();
}

void TGradBox::paintEvent(QPaintEvent*) {
  QPainter painter(this);
  const int w = width();
  const int h = height();
  const bool vertical = direction_ == gdVertical;
  // The widget surface shows every 24-bit colour, so the nearest colour is the colour itself.
  const QColor start = startColor_.toRgb();
  const QColor end = endColor_.toRgb();

  const int n = gradStep_ + 1;
  const int extent = vertical ? h : w;
  int band = RoundHalfEven(static_cast<double>(extent) / n);
  if (band == 0) band = 1;

  int p = 0;
  QColor color = start;
  for (int i = 0; i <= n; ++i) {
    color = QColor(BandChannel(start.red(), end.red(), n, i), BandChannel(start.green(), end.green(), n, i),
                   BandChannel(start.blue(), end.blue(), n, i));
    // Bands past the far edge need no painting: the widget clips them away.
    if (p < extent) {
      painter.fillRect(vertical ? QRect(0, p, w, band) : QRect(p, 0, band, h), color);
    }
    p += band;
  }
  if (p < extent) {
    painter.fillRect(vertical ? QRect(0, p, w, h - p) : QRect(p, 0, w - p, h), color);
  }
}

}  // namespace merolune
