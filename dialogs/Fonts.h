#pragma once
// The interface's fonts: each face the windows were laid out with, requested by name with fallbacks.

#include <QFont>
#include <QFontMetricsF>
#include <QString>
#include <QStringList>

namespace merolune {

// The faces the windows use, each named after the font the layout was made for.
enum class UiFace {
  JapaneseUi,  // "MS UI Gothic": the dialogs
  JapaneseP,   // "ＭＳ Ｐゴシック": the main window
  Sans,        // "Arial": Latin labels and the acknowledgements
  Serif,       // "Times New Roman": the banners and the main window's large readout
};

// The face by its classic name where it exists, else the fonts that stand in for it here: the CJK
// font the install scripts provide for the Japanese faces, the metric-compatible substitutes for the
// Latin ones (so texts fill the width they were laid out in); fontconfig supplies the system's choice
// of the style when none of them is there. A pixel size keeps the texts in proportion to the fixed
// pixel layout whatever the screen's DPI.
inline QFont UiFont(UiFace face, int pixelSize, bool bold = false) {
  QFont font;
  switch (face) {
    case UiFace::JapaneseUi:
      font.setFamilies({QStringLiteral("MS UI Gothic"), QStringLiteral("ＭＳ Ｐゴシック"),
                        QStringLiteral("Noto Sans CJK JP")});
      font.setStyleHint(QFont::SansSerif);
      break;
    case UiFace::JapaneseP:
      font.setFamilies({QStringLiteral("ＭＳ Ｐゴシック"), QStringLiteral("MS PGothic"),
                        QStringLiteral("Noto Sans CJK JP"), QStringLiteral("Noto Sans JP")});
      font.setStyleHint(QFont::SansSerif);
      break;
    case UiFace::Sans:
      font.setFamilies(
          {QStringLiteral("Arial"), QStringLiteral("Liberation Sans"), QStringLiteral("DejaVu Sans")});
      font.setStyleHint(QFont::SansSerif);
      break;
    case UiFace::Serif:
      font.setFamilies({QStringLiteral("Times New Roman"), QStringLiteral("Liberation Serif"),
                        QStringLiteral("Nimbus Roman"), QStringLiteral("DejaVu Serif")});
      font.setStyleHint(QFont::Serif);
      break;
  }
  font.setPixelSize(pixelSize);
  font.setBold(bold);
  return font;
}

// `font` with its letters drawn closer together, when needed, so that `text` takes at most `width`
// pixels: a line laid out for a proportional Japanese face keeps to its place with the fixed-pitch
// kana of the stand-in fonts.
inline QFont FittedFont(QFont font, const QString& text, int width) {
  const qreal natural = QFontMetricsF(font).horizontalAdvance(text);
  if (natural > width && text.size() > 1) {
    font.setLetterSpacing(QFont::AbsoluteSpacing, -(natural - width) / static_cast<qreal>(text.size() - 1));
  }
  return font;
}

}  // namespace merolune
