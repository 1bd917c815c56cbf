#include "Translation.h"

#include <QCoreApplication>
#include <QTranslator>

#include "Language.h"

namespace merolune {

bool InstallTranslation(QCoreApplication& app) {
  if (InterfaceLanguage() != Language::English) return false;
  // One for the program's life: the application keeps only a pointer to it.
  static QTranslator english;
  if (english.isEmpty() && !english.load(QStringLiteral(":/i18n/merolune_en.qm"))) return false;
  return app.installTranslator(&english);
}

}  // namespace merolune
