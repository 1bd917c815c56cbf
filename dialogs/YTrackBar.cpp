// The seek bar.

#include "YTrackBar.h"

#include <QMouseEvent>
#include <QPaintEngine>
#include <QPaintEvent>
#include <QPainter>
#include <QRegion>
#include <algorithm>
#include <cmath>

namespace merolune {

namespace {

// Mouse x in whole pixels (the pixel the point falls in). Kept within +-2^30 so that the drag's
// 64-bit product of a distance and a 32-bit range cannot overflow, whatever the event says.
std::int64_t MouseX(const QMouseEvent* event) {
  constexpr double kLimit = 1073741824.0;
  return static_cast<std::int64_t>(std::clamp(std::floor(event->position().x()), -kLimit, kLimit));
}

// Truncation toward zero that saturates instead of overflowing; a Position far outside a range
// that was narrowed afterwards can put the thumb's centre a long way off the control.
std::int64_t TruncSaturated(double value) {
  constexpr double kLimit = 4611686018427387904.0;  // 2^62
  return static_cast<std::int64_t>(std::trunc(std::clamp(value, -kLimit, kLimit)));
}

// A drawing coordinate; anything this far outside the control is clipped away anyway.
int ToPixel(std::int64_t value) {
  constexpr std::int64_t kLimit = std::int64_t{1} << 24;
  return static_cast<int>(std::clamp(value, -kLimit, kLimit));
}

// Fills the pixels x0 <= x < x1, y0 <= y < y1 (the right and bottom edges excluded).
void FillSpan(QPainter& painter, int x0, int y0, int x1, int y1, const QColor& color) {
  if (x1 > x0 && y1 > y0) painter.fillRect(QRect(x0, y0, x1 - x0, y1 - y0), color);
}

// A one-pixel horizontal or vertical line from a towards b: a is drawn, b is not, so that a
// polyline draws each corner once.
void LineExcludingEnd(QPainter& painter, QPoint a, QPoint b, const QColor& color) {
  if (a.x() == b.x()) {
    if (b.y() > a.y()) FillSpan(painter, a.x(), a.y(), a.x() + 1, b.y(), color);
    if (b.y() < a.y()) FillSpan(painter, a.x(), b.y() + 1, a.x() + 1, a.y() + 1, color);
  } else if (a.y() == b.y()) {
    if (b.x() > a.x()) FillSpan(painter, a.x(), a.y(), b.x(), a.y() + 1, color);
    if (b.x() < a.x()) FillSpan(painter, b.x() + 1, a.y(), a.x() + 1, a.y() + 1, color);
  }
}

}  // namespace

TYTrackBar::TYTrackBar(QWidget* parent)
    : QWidget(parent), thumbColor_(palette().color(QPalette::Button)), gageColor_(Qt::white) {
  resize(160, 30);
  setMouseTracking(true);
}

QSize TYTrackBar::sizeHint() const { return QSize(160, 30); }

void TYTrackBar::SetMax(std::int32_t value) {
  if (value == max_ || value <= min_) return;
  max_ = value;
  update();
}

void TYTrackBar::SetMin(std::int32_t value) {
  if (value == min_ || value >= max_) return;
  min_ = value;
  update();
}

void TYTrackBar::SetPosition(std::int32_t value) {
  if (value == position_) return;
  position_ = std::clamp(value, min_, max_);
  update();
}

void TYTrackBar::SetThumbWidth(std::int32_t value) {
  if (value == thumbWidth_ || value <= 2) return;
  thumbWidth_ = value;
  sideMargin_ = value / 2 + 1;
  update();
}

std::int64_t TYTrackBar::TrackLength() const { return std::int64_t{width()} - 2 * std::int64_t{sideMargin_}; }

std::int64_t TYTrackBar::ThumbCentre() const {
  // (Position - Min) * track / (Max - Min) rather than the fraction times the track, so that a
  // centre that is a whole number mathematically does not come out one pixel short.
  const auto offset = static_cast<double>(std::int64_t{position_} - min_);
  const auto range = static_cast<double>(std::int64_t{max_} - min_);
  return sideMargin_ + TruncSaturated(offset * static_cast<double>(TrackLength()) / range);
}

QRect TYTrackBar::ThumbRect(std::int64_t centre) const {
  const std::int64_t half = thumbWidth_ / 2;
  const int left = ToPixel(centre - half);
  const int right = ToPixel(centre + half);
  return QRect(left, 1, right - left, height() - 2);
}

void TYTrackBar::PaintTrack(QPainter& painter) const {
  const int l = sideMargin_;
  const int t = kTopMargin;
  const int w = width();
  const int bottom = height() - kBottomMargin;

  // The track's inside; empty on a bar lower than the two margins (the main window's is).
  FillSpan(painter, l, t, w - l, bottom, gageColor_);

  // The black shadow on the left and top, a two-pixel stroke: it covers the pixel either side
  // of the mathematical line and reaches one pixel past each of its ends.
  FillSpan(painter, l - 1, std::min(t, bottom) - 1, l + 1, std::max(t, bottom) + 1, Qt::black);
  FillSpan(painter, l - 1, t - 1, w - l + 1, t + 1, Qt::black);

  // The white light on the right and bottom, one pixel outside the track's inside.
  const QPoint topRight(w - l + 1, t - 1);
  const QPoint bottomRight(w - l + 1, bottom + 1);
  const QPoint bottomLeft(l, bottom + 1);
  LineExcludingEnd(painter, topRight, bottomRight, Qt::white);
  LineExcludingEnd(painter, bottomRight, bottomLeft, Qt::white);
}

void TYTrackBar::PaintSolidThumb(QPainter& painter, std::int64_t centre) const {
  const QRect thumb = ThumbRect(centre);
  const int left = thumb.x();
  const int right = thumb.x() + thumb.width();
  const int h = height();
  FillSpan(painter, left, 1, right, h - 1, Qt::black);
  FillSpan(painter, left + 1, 2, right - 1, h - 3, thumbColor_);
  // The highlight: up the inner rectangle's left edge from its bottom-left corner, then along
  // its top edge towards its top-right corner.
  const QPoint innerBottomLeft(left + 1, h - 3);
  const QPoint innerTopLeft(left + 1, 2);
  const QPoint innerTopRight(right - 1, 2);
  LineExcludingEnd(painter, innerBottomLeft, innerTopLeft, Qt::white);
  LineExcludingEnd(painter, innerTopLeft, innerTopRight, Qt::white);
}

void TYTrackBar::PaintOutline(QPainter& painter, std::int64_t centre) const {
  const QRect thumb = ThumbRect(centre);
  if (thumb.isEmpty()) return;
  // The frame's pixels as non-overlapping rectangles, so that no pixel is inverted twice.
  const QRegion frame = QRegion(thumb).subtracted(QRegion(thumb.adjusted(1, 1, -1, -1)));
  const bool canInvert = painter.paintEngine()->hasFeature(QPaintEngine::RasterOpModes);
  painter.save();
  if (canInvert) painter.setCompositionMode(QPainter::RasterOp_NotDestination);
  for (const QRect& part : frame) painter.fillRect(part, Qt::black);
  painter.restore();
}

void TYTrackBar::paintEvent(QPaintEvent*) {
  QPainter painter(this);
  PaintTrack(painter);
  if (dragging_) {
    PaintSolidThumb(painter, dragThumbCentre_);
    if (outlineShown_) PaintOutline(painter, outlineCentre_);
  } else {
    PaintSolidThumb(painter, ThumbCentre());
  }
}

void TYTrackBar::mousePressEvent(QMouseEvent* event) {
  // A further button pressed during a drag leaves the drag as it is; any release ends it. A bar
  // too narrow to have a track has nothing to drag along.
  if (!dragging_ && TrackLength() > 0) {
    const std::int64_t x = MouseX(event);
    const std::int64_t centre = ThumbCentre();
    if (std::abs(x - centre) <= thumbWidth_ / 2) {
      dragging_ = true;
      pressX_ = x;
      pressPosition_ = position_;
      dragThumbCentre_ = centre;
      outlineShown_ = false;
    }
  }
  // Accepted, not passed on: the control keeps the implicit mouse grab for the whole drag.
  event->accept();
  emit OnMouseDown(event);
}

void TYTrackBar::mouseMoveEvent(QMouseEvent* event) {
  event->accept();
  const bool dragging = dragging_;
  if (dragging) {
    const std::int64_t track = TrackLength();
    if (track > 0) {
      // The distance times the range in 64-bit integers, the division in floating point.
      const std::int64_t product = (MouseX(event) - pressX_) * (std::int64_t{max_} - min_);
      const double moved =
          pressPosition_ + std::trunc(static_cast<double>(product) / static_cast<double>(track));
      position_ =
          static_cast<std::int32_t>(std::clamp(moved, static_cast<double>(min_), static_cast<double>(max_)));
      if (position_ != pressPosition_) {
        // Only the outline moves: repaint its old and its new rectangle, now rather than
        // through the event queue, so that it keeps up with the mouse.
        const std::int64_t centre = ThumbCentre();
        QRegion dirty(ThumbRect(centre));
        if (outlineShown_) dirty += ThumbRect(outlineCentre_);
        outlineShown_ = true;
        outlineCentre_ = centre;
        repaint(dirty);
      }
    }
  }
  emit OnMouseMove(event);
  if (dragging) emit OnChange();
}

void TYTrackBar::mouseReleaseEvent(QMouseEvent* event) {
  event->accept();
  if (dragging_) {
    dragging_ = false;
    outlineShown_ = false;
    update();
  }
  emit OnMouseUp(event);
}

}  // namespace merolune
