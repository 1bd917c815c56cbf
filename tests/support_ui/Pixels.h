#pragma once
// Grabbing widgets into images and naming pixel colours, for the drawing tests.

#include <QColor>
#include <QImage>
#include <string>

class QWidget;

namespace merolune::test {

// "#rrggbb": readable in a failed comparison.
std::string Name(const QColor& color);
std::string PixelAt(const QImage& image, int x, int y);
// The widget as drawn, in 32-bit RGB, checked to have the widget's size.
QImage Grab(QWidget& widget);

}  // namespace merolune::test
