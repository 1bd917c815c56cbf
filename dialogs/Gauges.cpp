// The progress gauge.

#include "Gauges.h"

#include <QPaintEvent>
#include <QPainter>
#include <QPainterPath>
#include <QRegion>
#include <algorithm>
#include <cmath>
#include <numbers>

namespace merolune {

namespace {

// to - from when it is positive, else 0. The subtraction is done in unsigned arithmetic, which
// is exact for any pair of 64-bit values with to > from.
double Span(std::int64_t from, std::int64_t to) {
  if (to <= from) return 0.0;
  return static_cast<double>(static_cast<std::uint64_t>(to) - static_cast<std::uint64_t>(from));
}

}  // namespace

TGauge::TGauge(QWidget* parent) : QWidget(parent), foreColor_(Qt::black), backColor_(Qt::white) {
  resize(100, 100);
}

QSize TGauge::sizeHint() const { return QSize(100, 100); }

void TGauge::SetKind(TGaugeKind value) {
  if (value == kind_) return;
  kind_ = value;
  update();
}

void TGauge::SetMinValue(std::int64_t value) {
  if (value == minValue_) return;
  minValue_ = value;
  progress_ = std::max(progress_, value);
  update();
}

void TGauge::SetMaxValue(std::int64_t value) {
  if (value == maxValue_) return;
  maxValue_ = value;
  progress_ = std::min(progress_, value);
  update();
}

void TGauge::SetProgress(std::int64_t value) {
  if (minValue_ <= maxValue_) value = std::clamp(value, minValue_, maxValue_);
  if (value == progress_) return;
  progress_ = value;
  update();
}

void TGauge::SetShowText(bool value) {
  if (value == showText_) return;
  showText_ = value;
  update();
}

void TGauge::SetBorderStyle(TBorderStyle value) {
  if (value == borderStyle_) return;
  borderStyle_ = value;
  update();
}

void TGauge::SetForeColor(const QColor& value) {
  foreColor_ = value;
  update();
}

void TGauge::SetBackColor(const QColor& value) {
  backColor_ = value;
  update();
}

double TGauge::Range() const { return Span(minValue_, maxValue_); }

double TGauge::Done() const { return std::min(Span(minValue_, progress_), Range()); }

int TGauge::FilledPixels(int extent) const {
  const double range = Range();
  if (extent <= 0 || range == 0.0) return 0;
  // The product first and one division: a share that is a whole number of pixels comes out
  // exactly, where the fraction times the extent could land a hair below it.
  const double pixels = std::trunc(Done() * extent / range);
  return static_cast<int>(std::clamp(pixels, 0.0, static_cast<double>(extent)));
}

int TGauge::PercentDone() const { return FilledPixels(100); }

void TGauge::PaintText(QPainter& painter, const QRect& inner, const QPainterPath& filled) const {
  const QString text = QString::number(PercentDone()) + QLatin1Char('%');
  painter.save();
  painter.setFont(font());
  QPainterPath whole;
  whole.addRect(QRectF(inner));
  painter.setClipPath(whole.subtracted(filled));
  painter.setPen(foreColor_);
  painter.drawText(inner, Qt::AlignCenter, text);
  if (!filled.isEmpty()) {
    painter.setClipPath(filled.intersected(whole));
    painter.setPen(backColor_);
    painter.drawText(inner, Qt::AlignCenter, text);
  }
  painter.restore();
}

QPainterPath TGauge::PiePath(const QRect& inner) const {
  QPainterPath pie;
  const double range = Range();
  if (range == 0.0 || inner.isEmpty()) return pie;
  // Clockwise from twelve o'clock; Qt's angles run counter-clockwise from three o'clock.
  const double sweep = -360.0 * Done() / range;
  const QRectF box = QRectF(inner).adjusted(0.5, 0.5, -0.5, -0.5);
  pie.moveTo(box.center());
  pie.arcTo(box, 90.0, sweep);
  pie.closeSubpath();
  return pie;
}

void TGauge::PaintNeedle(QPainter& painter, const QRect& inner) const {
  // A half dial standing on the middle of the inner area's bottom edge, as large as fits; the
  // needle sweeps from the left (nothing done) over the top to the right (all done).
  const QRectF area(inner);
  const double radius = std::min(area.width() / 2.0, area.height());
  const QPointF hub(area.center().x(), area.bottom());
  const QRectF dial(hub.x() - radius, hub.y() - radius, 2.0 * radius, 2.0 * radius);
  painter.save();
  painter.setClipRect(inner);
  QPainterPath half;
  half.moveTo(hub);
  half.arcTo(dial, 0.0, 180.0);
  half.closeSubpath();
  painter.setPen(Qt::black);
  painter.setBrush(backColor_);
  painter.drawPath(half);

  const double range = Range();
  const double share = range == 0.0 ? 0.0 : Done() / range;
  const double angle = std::numbers::pi * (1.0 - share);
  const QPointF tip(hub.x() + std::cos(angle) * radius, hub.y() - std::sin(angle) * radius);
  painter.setPen(QPen(foreColor_, 2.0));
  painter.drawLine(hub, tip);
  painter.restore();
}

void TGauge::paintEvent(QPaintEvent*) {
  QPainter painter(this);
  QRect inner = rect();
  if (borderStyle_ == bsSingle) {
    inner = rect().adjusted(1, 1, -1, -1);
    const QRegion frame = QRegion(rect()).subtracted(QRegion(inner));
    for (const QRect& part : frame) painter.fillRect(part, Qt::black);
  }
  if (inner.isEmpty()) return;

  QPainterPath filled;
  switch (kind_) {
    case gkText:
      painter.fillRect(inner, backColor_);
      break;
    case gkHorizontalBar: {
      painter.fillRect(inner, backColor_);
      const QRect bar(inner.left(), inner.top(), FilledPixels(inner.width()), inner.height());
      painter.fillRect(bar, foreColor_);
      filled.addRect(QRectF(bar));
      break;
    }
    case gkVerticalBar: {
      painter.fillRect(inner, backColor_);
      const int height = FilledPixels(inner.height());
      const QRect bar(inner.left(), inner.top() + inner.height() - height, inner.width(), height);
      painter.fillRect(bar, foreColor_);
      filled.addRect(QRectF(bar));
      break;
    }
    case gkPie: {
      painter.setRenderHint(QPainter::Antialiasing);
      painter.setPen(Qt::black);
      painter.setBrush(backColor_);
      const QRectF box = QRectF(inner).adjusted(0.5, 0.5, -0.5, -0.5);
      painter.drawEllipse(box);
      filled = PiePath(inner);
      painter.setPen(Qt::NoPen);
      painter.setBrush(foreColor_);
      painter.drawPath(filled);
      break;
    }
    case gkNeedle:
      painter.setRenderHint(QPainter::Antialiasing);
      PaintNeedle(painter, inner);
      break;
  }
  if (showText_) PaintText(painter, inner, filled);
}

}  // namespace merolune
