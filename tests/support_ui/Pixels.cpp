// Grabbing widgets into images and naming pixel colours.
#include "Pixels.h"

#include <gtest/gtest.h>

#include <QPixmap>
#include <QWidget>

namespace merolune::test {

std::string Name(const QColor& color) { return color.name().toStdString(); }

std::string PixelAt(const QImage& image, int x, int y) { return Name(QColor(image.pixel(x, y))); }

QImage Grab(QWidget& widget) {
  QImage image = widget.grab().toImage().convertToFormat(QImage::Format_RGB32);
  EXPECT_EQ(image.size(), widget.size());
  return image;
}

}  // namespace merolune::test
