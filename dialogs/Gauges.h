#pragma once
// The progress gauge: a bar, text, pie or needle showing Progress within MinValue..MaxValue.

#include <QColor>
#include <QWidget>
#include <cstdint>

#include "Colors.h"

class QPainter;
class QPainterPath;
class QPaintEvent;

namespace merolune {

enum TGaugeKind { gkText, gkHorizontalBar, gkVerticalBar, gkPie, gkNeedle };
enum TBorderStyle { bsNone, bsSingle };

// TGauge shows how far Progress has got from MinValue to MaxValue, drawn as Kind says. It lives
// on the user-interface thread only; sizes are widget pixels, the default size 100 x 100. The
// values are 64-bit because the reduction job reports byte positions in large files. The main
// window's Gauge1 is a 107 x 5 horizontal bar without border or text.
//
// The inner area is the widget less a one-pixel black frame when BorderStyle is bsSingle. The
// bars fill trunc((Progress - MinValue) * extent / (MaxValue - MinValue)) pixels of it with
// ForeColor (from the left, or up from the bottom) and the rest with BackColor; an empty range
// (MaxValue == MinValue) shows nothing filled. With ShowText the percentage, "NN%", is centred
// in ForeColor over the background and in BackColor over the filled part, so it stays readable.
class TGauge : public QWidget {
  Q_OBJECT

 public:
  explicit TGauge(QWidget* parent = nullptr);

  TGaugeKind Kind() const { return kind_; }
  void SetKind(TGaugeKind value);
  std::int64_t MinValue() const { return minValue_; }
  // Progress is moved up to the new minimum when below it.
  void SetMinValue(std::int64_t value);
  std::int64_t MaxValue() const { return maxValue_; }
  // Progress is moved down to the new maximum when above it.
  void SetMaxValue(std::int64_t value);
  std::int64_t Progress() const { return progress_; }
  // Clamped to MinValue..MaxValue (while MinValue <= MaxValue; the two may be set in any order).
  void SetProgress(std::int64_t value);
  bool ShowText() const { return showText_; }
  void SetShowText(bool value);
  TBorderStyle BorderStyle() const { return borderStyle_; }
  void SetBorderStyle(TBorderStyle value);
  QColor ForeColor() const { return foreColor_; }
  void SetForeColor(const QColor& value);
  QColor BackColor() const { return backColor_; }
  void SetBackColor(const QColor& value);

  // The whole percentage done, trunc(100 * (Progress - MinValue) / (MaxValue - MinValue)),
  // 0 for an empty or inverted range.
  int PercentDone() const;
  // How many of extent pixels the bars fill for the current Progress: 0 .. extent.
  int FilledPixels(int extent) const;

  QSize sizeHint() const override;

 protected:
  void paintEvent(QPaintEvent* event) override;

 private:
  // Progress - MinValue and MaxValue - MinValue, exactly as long as neither exceeds 2^53.
  double Done() const;
  double Range() const;
  // The text over the gauge; filled is the part painted in ForeColor.
  void PaintText(QPainter& painter, const QRect& inner, const QPainterPath& filled) const;
  // The pie's slice for the current Progress, empty for none.
  QPainterPath PiePath(const QRect& inner) const;
  void PaintNeedle(QPainter& painter, const QRect& inner) const;

  TGaugeKind kind_ = gkHorizontalBar;
  std::int64_t minValue_ = 0;
  std::int64_t maxValue_ = 100;
  std::int64_t progress_ = 0;
  bool showText_ = true;
  TBorderStyle borderStyle_ = bsSingle;
  QColor foreColor_;
  QColor backColor_;
};

}  // namespace merolune
