#pragma once
// The seek bar: a flat track with a thumb that the user drags, the main window's YTrackBar1.

#include <QColor>
#include <QRect>
#include <QWidget>
#include <cstdint>

class QMouseEvent;
class QPainter;
class QPaintEvent;

namespace merolune {

// TYTrackBar shows Position within Min..Max as a thumb on a sunken track and lets the user drag
// the thumb. It lives on the user-interface thread only. Coordinates are widget pixels; the
// default size is 160 x 30.
//
// Layout: a side margin L (4 at construction, ThumbWidth div 2 + 1 once ThumbWidth is changed),
// a top margin of 8 and a bottom margin of 10. The track runs from x = L to x = Width - L and the
// thumb's centre is L + trunc((Position - Min) * track length / (Max - Min)).
//
// Dragging: a press within ThumbWidth div 2 of the thumb's centre starts a drag (a press beside
// the thumb does not move it; a bar narrower than twice its side margin has no track and never
// drags). Each mouse move then sets Position to its value at the press plus
// trunc(distance * (Max - Min) / track length), clamped, and emits OnChange, also when Position
// stays the same; no OnChange is emitted outside a drag. Any release ends the drag.
//
// While dragging, the solid thumb stays where the drag began and only a one-pixel outline that
// inverts the pixels beneath it follows the mouse. The outline moves only when Position differs
// from its value at the press; back at that value it stays where it last was until the next
// change or the release. Qt has no inverting pen on every paint engine, so the outline is not
// drawn over the old pixels the way an XOR pen would: each move repaints, at once, only the
// outline's old and new rectangles, and the painting puts the track and the solid thumb back
// there before it inverts the outline on top (with RasterOp_NotDestination, which the raster
// engine of the widget backing store has; a plain black outline where it does not). The whole
// control is repainted once, at the release.
//
// The mouse events are re-emitted as OnMouseDown/OnMouseMove/OnMouseUp after the control's own
// handling; moves without a button held also reach OnMouseMove (mouse tracking is on).
class TYTrackBar : public QWidget {
  Q_OBJECT

 public:
  explicit TYTrackBar(QWidget* parent = nullptr);

  std::int32_t Max() const { return max_; }
  // Accepted only when it differs and is greater than Min; Position is not re-clamped.
  void SetMax(std::int32_t value);
  std::int32_t Min() const { return min_; }
  // Accepted only when it differs and is less than Max; Position is not re-clamped.
  void SetMin(std::int32_t value);
  std::int32_t Position() const { return position_; }
  // Ignored when equal; otherwise clamped to Min..Max. Does not emit OnChange.
  void SetPosition(std::int32_t value);
  std::int32_t ThumbWidth() const { return thumbWidth_; }
  // Ignored when equal or not greater than 2; otherwise both side margins become value div 2 + 1.
  void SetThumbWidth(std::int32_t value);
  // The two colours are only stored; they show at the next paint.
  QColor ThumbColor() const { return thumbColor_; }
  void SetThumbColor(const QColor& value) { thumbColor_ = value; }
  QColor GageColor() const { return gageColor_; }
  void SetGageColor(const QColor& value) { gageColor_ = value; }

  bool Dragging() const { return dragging_; }
  std::int32_t SideMargin() const { return sideMargin_; }
  // Width - 2 x side margin; zero or less when the control is too narrow to have a track.
  std::int64_t TrackLength() const;
  // Where the thumb for the current Position is centred (during a drag: where the outline goes).
  std::int64_t ThumbCentre() const;

  QSize sizeHint() const override;

 signals:
  void OnChange();
  void OnMouseDown(QMouseEvent* event);
  void OnMouseUp(QMouseEvent* event);
  void OnMouseMove(QMouseEvent* event);

 protected:
  void paintEvent(QPaintEvent* event) override;
  void mousePressEvent(QMouseEvent* event) override;
  void mouseMoveEvent(QMouseEvent* event) override;
  void mouseReleaseEvent(QMouseEvent* event) override;

 private:
  static constexpr std::int32_t kTopMargin = 8;
  static constexpr std::int32_t kBottomMargin = 10;

  // The thumb's rectangle (right and bottom edges excluded) for a thumb centred at centre.
  QRect ThumbRect(std::int64_t centre) const;
  void PaintTrack(QPainter& painter) const;
  void PaintSolidThumb(QPainter& painter, std::int64_t centre) const;
  void PaintOutline(QPainter& painter, std::int64_t centre) const;

  std::int32_t max_ = 100;
  std::int32_t min_ = 0;
  std::int32_t position_ = 0;
  std::int32_t thumbWidth_ = 10;
  QColor thumbColor_;
  QColor gageColor_;
  std::int32_t sideMargin_ = 4;

  bool dragging_ = false;
  std::int64_t pressX_ = 0;
  std::int32_t pressPosition_ = 0;
  std::int64_t dragThumbCentre_ = 0;  // the solid thumb, left where the drag began
  bool outlineShown_ = false;         // no outline yet until the position first changes
  std::int64_t outlineCentre_ = 0;    // the outline on screen, when outlineShown_
};

}  // namespace merolune
