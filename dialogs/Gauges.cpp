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

TGauge::TGauge(QWidget* parent) : QWidget(parent), m_foreColor(Qt::black), m_backColor(Qt::white) {
  resize(100, 100);
}

QSize TGauge::sizeHint() const { return QSize(100, 100); }

void TGauge::SetKind(TGaugeKind value) {
  if (value == m_kind) return;
  m_kind = value;
  update();
}

void TGauge::SetMinValue(std::int64_t value) {
  if (value == m_minValue) return;
  m_minValue = value;
  m_progress = std::max(m_progress, value);
  update();
}

void TGauge::SetMaxValue(std::int64_t value) {
  if (value == m_maxValue) return;
  m_maxValue = value;
  m_progress = std::min(m_progress, value);
  update();
}

void TGauge::SetProgress(std::int64_t value) {
  if (m_minValue <= m_maxValue) value = std::clamp(value, m_minValue, m_maxValue);
  if (value == m_progress) return;
  m_progress = value;
  update();
}

void TGauge::SetShowText(bool value) {
  if (value == m_showText) return;
  m_showText = value;
  update();
}

void TGauge::SetBorderStyle(TBorderStyle value) {
  if (value == m_borderStyle) return;
  m_borderStyle = value;
  update();
}

void TGauge::SetForeColor(const QColor& value) {
  m_foreColor = value;
  update();
}

void TGauge::SetBackColor(const QColor& value) {
  m_backColor = value;
  update();
}

double TGauge::Range() const { return Span(m_minValue, m_maxValue); }

double TGauge::Done() const { return std::min(Span(m_minValue, m_progress), Range()); }

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
  painter.setPen(m_foreColor);
  painter.drawText(inner, Qt::AlignCenter, text);
  if (!filled.isEmpty()) {
    painter.setClipPath(filled.intersected(whole));
    painter.setPen(m_backColor);
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
  painter.setBrush(m_backColor);
  painter.drawPath(half);

  const double range = Range();
  const double share = range == 0.0 ? 0.0 : Done() / range;
  const double angle = std::numbers::pi * (1.0 - share);
  const QPointF tip(hub.x() + std::cos(angle) * radius, hub.y() - std::sin(angle) * radius);
  painter.setPen(QPen(m_foreColor, 2.0));
  painter.drawLine(hub, tip);
  painter.restore();
}

void TGauge::paintEvent(QPaintEvent*) {
  QPainter painter(this);
  QRect inner = rect();
  if (m_borderStyle == bsSingle) {
    inner = rect().adjusted(1, 1, -1, -1);
    const QRegion frame = QRegion(rect()).subtracted(QRegion(inner));
    for (const QRect& part : frame) painter.fillRect(part, Qt::black);
  }
  if (inner.isEmpty()) return;

  QPainterPath filled;
  switch (m_kind) {
    case gkText:
      painter.fillRect(inner, m_backColor);
      break;
    case gkHorizontalBar: {
      painter.fillRect(inner, m_backColor);
      const QRect bar(inner.left(), inner.top(), FilledPixels(inner.width()), inner.height());
      painter.fillRect(bar, m_foreColor);
      filled.addRect(QRectF(bar));
      break;
    }
    case gkVerticalBar: {
      painter.fillRect(inner, m_backColor);
      const int height = FilledPixels(inner.height());
      const QRect bar(inner.left(), inner.top() + inner.height() - height, inner.width(), height);
      painter.fillRect(bar, m_foreColor);
      filled.addRect(QRectF(bar));
      break;
    }
    case gkPie: {
      painter.setRenderHint(QPainter::Antialiasing);
      painter.setPen(Qt::black);
      painter.setBrush(m_backColor);
      const QRectF box = QRectF(inner).adjusted(0.5, 0.5, -0.5, -0.5);
      painter.drawEllipse(box);
      filled = PiePath(inner);
      painter.setPen(Qt::NoPen);
      painter.setBrush(m_foreColor);
      painter.drawPath(filled);
      break;
    }
    case gkNeedle:
      painter.setRenderHint(QPainter::Antialiasing);
      PaintNeedle(painter, inner);
      break;
  }
  if (m_showText) PaintText(painter, inner, filled);
}

}  // namespace merolune
