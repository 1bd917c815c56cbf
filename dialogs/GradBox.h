#pragma once
// The gradient box: a stepped colour gradient, the background of the decoding and encoding banners.

#include <QColor>
#include <QWidget>
#include <cstdint>

class QPaintEvent;

namespace merolune {

enum TGradDirection { gdHorizontal, gdVertical };

// TGradBox fills its whole area with GradStep + 2 bands of colour running from StartColor to
// EndColor, left to right (gdHorizontal) or top to bottom (gdVertical). It lives on the
// user-interface thread only; sizes are widget pixels and the default size is 128 x 128. A banner
// fills its form with it by putting it in a layout without margins.
//
// With n = GradStep + 1, every band is round(extent / n) pixels (at least 1) and band i, for i
// from 0 to n, has the colour start + round((end - start) / n * i) in each of red, green and
// blue; rounding is to nearest with halves to even. Bands past the far edge are cut off, and a
// gap left before the far edge takes the last band's colour (the end colour).
class TGradBox : public QWidget {
  Q_OBJECT

 public:
  explicit TGradBox(QWidget* parent = nullptr);

  QColor StartColor() const { return startColor_; }
  // Repaints and emits OnChange, also when the colour is the one already set.
  void SetStartColor(const QColor& value);
  QColor EndColor() const { return endColor_; }
  // Repaints and emits OnChange, also when the colour is the one already set.
  void SetEndColor(const QColor& value);
  std::uint8_t GradStep() const { return gradStep_; }
  // Repaints and emits OnChange, also when the value is the one already set.
  void SetGradStep(std::uint8_t value);
  TGradDirection Direction() const { return direction_; }
  // Ignored when equal; otherwise repaints and emits OnChange.
  void SetDirection(TGradDirection value);

  QSize sizeHint() const override;

 signals:
  void OnChange();

 protected:
  void paintEvent(QPaintEvent* event) override;

 private:
  QColor startColor_;
  QColor endColor_;
  std::uint8_t gradStep_ = 128;
  TGradDirection direction_ = gdVertical;
};

}  // namespace merolune
