#pragma once
// The dialogs' Japanese UI font, requested by name with fallbacks.

#include <QFont>
#include <QStringList>

namespace merolune {

// The classic Japanese UI font where it exists, else the CJK font the install scripts provide;
// fontconfig supplies the system's choice when neither does. A pixel size keeps the texts in
// proportion to the fixed pixel layout whatever the screen's DPI.
inline QFont JapaneseUiFont(int pixelSize = 12) {
  QFont font;
  font.setFamilies({QStringLiteral("MS UI Gothic"), QStringLiteral("ＭＳ Ｐゴシック"),
                    QStringLiteral("Noto Sans CJK JP")});
  font.setStyleHint(QFont::SansSerif);
  font.setPixelSize(pixelSize);
  return font;
}

}  // namespace merolune
