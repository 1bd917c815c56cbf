#pragma once
// The window's pictures, drawn in code: toolbar glyphs, button glyphs and the picture labels.

#include <QIcon>
#include <QPixmap>
#include <QString>

namespace merolune {

enum class Glyph { Open, Save, Run, Cancel, BypassAll, Inverse, SubtractionBypass, Enhancer, Play, Stop };

// A 16 x 16 glyph (drawn at the screen's device pixel ratio) for toolbar and button icons.
QIcon GlyphIcon(Glyph glyph);

// A picture label: a short caption on a small rounded plate, `width` x `height` pixels.
QPixmap PictureLabel(const QString& text, int width, int height);

// The program's icon, also installed for the desktop's menus.
QIcon ApplicationIcon();

}  // namespace merolune
